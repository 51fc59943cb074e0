// What a process makes of shared state that others may have written wrongly:
// commit marks it cannot believe, and two Enqueue records of one id.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "queue/log_format.h"
#include "queue/mark_checks.h"
#include "queue/shared_writes.h"
#include "temp_dir.h"

namespace ferrow {
namespace {

std::string frames(std::initializer_list<LogRecord> records) {
  std::string out;
  for (const LogRecord& r : records) append_record_frame(r, &out);
  return out;
}

TEST(SharedWrites, TheFirstMessageOfARepeatedIdIsWrittenAgainOnce) {
  const std::string first = frames({EnqueueRecord{5, 1, "returned"}});
  std::string log = first + frames({EnqueueRecord{6, 1, "alone"}, AckRecord{6},
                                    EnqueueRecord{5, 2, "failed"}});
  EXPECT_EQ(first_enqueues_again(log, 5), first);
  log += first;  // put back: nothing more to do, by anyone who looks again
  EXPECT_EQ(first_enqueues_again(log, 5), "");
  // Seen from a call that began once id 5 was in the log, before these
  // frames: the failed Enqueue is the first it sees, but not the first.
  const std::string from_failed = frames({EnqueueRecord{5, 2, "failed"}}) + first;
  EXPECT_EQ(first_enqueues_again(from_failed, 6), "");
  // A torn frame at the end is not a whole frame.
  const std::string torn = log + frames({EnqueueRecord{7, 1, "torn"}}).substr(0, 20);
  EXPECT_EQ(whole_frames(torn), log);
}

class MarkChecksTest : public TempDirTest {};

TEST_F(MarkChecksTest, AMarkBeyondTheLogOrMovingBackIsNotBelieved) {
  const std::string path = dir_ + "/queue.log";
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, 1000), 0);
  MarkChecks checks;
  auto believed = [&](uint64_t generation, uint64_t end) {
    Result<bool> answer = checks.believe_synced(generation, end, fd, "log", "lock");
    return answer.ok() && answer.value();
  };
  EXPECT_TRUE(believed(3, 900));
  EXPECT_FALSE(believed(3, 1001));  // past the end
  EXPECT_FALSE(believed(3, 800));   // below what was believed
  EXPECT_TRUE(believed(3, 1000));
  EXPECT_TRUE(believed(4, 100));  // a new generation starts over
  ::close(fd);
}

}  // namespace
}  // namespace ferrow
