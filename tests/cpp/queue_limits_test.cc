// Ids and delivery counts at the top of their range: nothing wraps, and a
// rewrite of the log keeps every message.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "queue/queue.h"
#include "temp_dir.h"

namespace ferrow {
namespace {

class QueueLimitsTest : public TempDirTest {
 protected:
  void WriteLog(const std::vector<LogRecord>& records) {
    std::string bytes = encode_file_header(0);
    for (const LogRecord& r : records) append_record_frame(r, &bytes);
    int fd = ::open((dir_ + "/queue.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
  }
  std::unique_ptr<Queue> Open() {
    auto q = Queue::open(dir_, QueueOptions{});
    EXPECT_TRUE(q.ok());
    return std::move(q.value());
  }

};

TEST_F(QueueLimitsTest, CompactionKeepsTheTopTwoIds) {
  WriteLog({EnqueueRecord{UINT64_MAX - 1, 1, "a"}, EnqueueRecord{UINT64_MAX, 1, "b"}});
  auto q = Open();
  ASSERT_TRUE(q->compact().ok());
  q.reset();
  q = Open();
  auto stats = q->stats();
  ASSERT_TRUE(stats.ok());
  EXPECT_EQ(stats.value().total, 2u);
  auto first = q->dequeue(1000);
  ASSERT_TRUE(first.ok() && first.value().has_value());
  EXPECT_EQ(first.value()->seq, UINT64_MAX - 1);
  EXPECT_EQ(first.value()->body, "a");
}

TEST_F(QueueLimitsTest, DeliveryCountsStopAtTheirLargestValue) {
  WriteLog({EnqueueRecord{0, 1, "a"}, LeaseRecord{0, 0, UINT32_MAX}});
  auto q = Open();
  auto single = q->dequeue(0);  // the lapsed lease comes back, delivered again
  ASSERT_TRUE(single.ok() && single.value().has_value());
  EXPECT_EQ(single.value()->deliveries, UINT32_MAX);
  auto batch = q->dequeue_batch(1, 1000);
  ASSERT_TRUE(batch.ok());
  ASSERT_EQ(batch.value().size(), 1u);
  EXPECT_EQ(batch.value()[0].deliveries, UINT32_MAX);
}

}  // namespace
}  // namespace ferrow
