// A rewrite of the log racing a holder let in beside it (the lock word was
// changed under one of them), at the two steps where a returned message
// could go missing, each made to happen at the worst moment through the
// system call table.
#include "queue/settled_replay.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include "queue/log_format.h"
#include "queue/queue.h"
#include "queue/system_calls.h"
#include "temp_dir.h"

namespace ferrow {
namespace {

constexpr uint64_t kGeneration = 3;

// The rewriter's last step, run by the replay's read that reaches the end
// of the log, once that read has returned: so the replay has read the whole
// log without the carried frame.
struct Rewriter {
  std::string log_path;
  char* marks_header = nullptr;
  bool finished = false;
  uint64_t next_seq = 1;
} rewriter;

ssize_t pread_then_finish(int fd, void* dst, size_t n, off_t offset) {
  const ssize_t got = posix_system_calls().pread(fd, dst, n, offset);
  if (got == 0 && !rewriter.finished) {
    rewriter.finished = true;
    std::ofstream(rewriter.log_path, std::ios::binary | std::ios::app)
        << encode_record_frame(EnqueueRecord{rewriter.next_seq++, 2000, "carried over"});
    CommitMarks(rewriter.marks_header)
        .publish_appended(kGeneration, std::ifstream(rewriter.log_path, std::ios::ate).tellg());
  }
  return got;
}

class RewriteRace : public TempDirTest {};

// The rewriter carries over what others appended to the old log, then
// publishes the new log's end: a replay that read the new log before the
// carry-over must not pass for settled.
TEST_F(RewriteRace, ARewriteThatFinishesDuringTheReplayIsReplayedAgain) {
  rewriter.log_path = dir_ + "/queue.log";
  std::ofstream(rewriter.log_path, std::ios::binary)
      << encode_file_header(kGeneration) + encode_record_frame(EnqueueRecord{0, 1000, "kept"});
  alignas(64) char header[64] = {};
  rewriter.marks_header = header;
  CommitMarks marks(header);
  for (bool announced_before : {true, false}) {
    SCOPED_TRACE(announced_before ? "announced before the replay" : "renamed before it");
    rewriter.finished = false;
    if (announced_before) marks.announce_rewrite(kGeneration);
    system_calls.pread = pread_then_finish;
    Result<ReplayResult> replayed = replay_settled_log(rewriter.log_path, marks, nullptr);
    system_calls = posix_system_calls();
    ASSERT_TRUE(replayed.ok());
    ASSERT_TRUE(rewriter.finished);
    EXPECT_EQ(replayed.value().state.message_count(), rewriter.next_seq);  // all of them
    EXPECT_EQ(replayed.value().state.next_seq(), rewriter.next_seq);
    std::memset(header, 0, sizeof(header));  // the next round's rewrite was not announced
  }
}

// A failed call's Enqueue came after the returned message of its id, so
// replay keeps it; the call then wrote the returned message again, and that
// copy arrives while a compaction forces its new log.
std::string old_log_path;
int fsyncs_seen = 0;

int fsync_after_copy(int fd) {
  if (fsyncs_seen++ == 0) {
    std::ofstream(old_log_path, std::ios::binary | std::ios::app)
        << encode_record_frame(EnqueueRecord{0, 1000, "returned"});
  }
  return posix_system_calls().fsync(fd);
}

TEST_F(RewriteRace, ACompactionThatMeetsACopyOfAnIdItHoldsGivesUp) {
  old_log_path = dir_ + "/queue.log";
  std::ofstream(old_log_path, std::ios::binary)
      << encode_file_header(0) + encode_record_frame(EnqueueRecord{0, 1000, "returned"}) +
             encode_record_frame(EnqueueRecord{0, 1001, "failed"});
  {
    Result<std::unique_ptr<Queue>> q = Queue::open(dir_, QueueOptions{});
    ASSERT_TRUE(q.ok());
    system_calls.fsync = fsync_after_copy;
    const Status compacted = q.value()->compact();
    system_calls = posix_system_calls();
    ASSERT_GT(fsyncs_seen, 0);
    EXPECT_FALSE(compacted.ok());
  }
  Result<std::unique_ptr<Queue>> q = Queue::open(dir_, QueueOptions{});
  ASSERT_TRUE(q.ok());
  auto message = q.value()->dequeue(1000);
  ASSERT_TRUE(message.ok() && message.value().has_value());
  EXPECT_EQ(message.value()->body, "returned");
}

}  // namespace
}  // namespace ferrow
