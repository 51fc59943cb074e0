// The process lock's wait: its timeout, its interrupt hook, and what it makes
// of holders that are alive, dead, or cannot be identified.
#include "queue/process_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "queue/clock.h"
#include "temp_dir.h"

namespace ferrow {
namespace {

class ProcessLockTest : public TempDirTest {
 protected:
  std::unique_ptr<ProcessLock> Open() {
    auto lock = ProcessLock::open(dir_);
    EXPECT_TRUE(lock.ok());
    return std::move(lock.value());
  }
  void WriteWord(uint64_t word) {
    int fd = ::open((dir_ + "/.proc_lock").c_str(), O_WRONLY);
    ASSERT_EQ(::pwrite(fd, &word, 8, 0), 8);
    ::close(fd);
  }

};

bool always_interrupted() { return true; }

TEST_F(ProcessLockTest, AWordNobodyCanIdentifyIsWaitedOutOrInterrupted) {
  auto lock = Open();
  WriteWord(1);
  EXPECT_EQ(lock->holder(1), LockHolder::Unidentified);
  bool took_over = true;
  const uint64_t start = monotonic_ns();
  Status timed_out = lock->acquire(LockWait{50, nullptr}, &took_over);
  const uint64_t waited_ms = (monotonic_ns() - start) / 1000000;
  ASSERT_FALSE(timed_out.ok());
  EXPECT_EQ(timed_out.error().kind(), IoErrorKind::TimedOut);
  EXPECT_EQ(timed_out.error().message(), LOCK_TIMEOUT_TEXT);
  EXPECT_GE(waited_ms, 50u);
  EXPECT_LT(waited_ms, 2000u);
  EXPECT_FALSE(took_over);

  Status interrupted = lock->acquire(LockWait{30000, always_interrupted}, &took_over);
  ASSERT_FALSE(interrupted.ok());
  EXPECT_EQ(interrupted.error().form(), QueueError::Form::Interrupted);
  WriteWord(0);
  ASSERT_TRUE(lock->acquire(LockWait{}, &took_over).ok());
  lock->release();
}

TEST_F(ProcessLockTest, ALiveHolderKeepsTheWord) {
  auto holder = Open();
  auto waiter = Open();
  bool took_over = false;
  ASSERT_TRUE(holder->acquire(LockWait{}, &took_over).ok());
  EXPECT_EQ(waiter->holder(holder->token()), LockHolder::Alive);
  Status status = waiter->acquire(LockWait{100, nullptr}, &took_over);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().kind(), IoErrorKind::TimedOut);
  holder->release();
  ASSERT_TRUE(waiter->acquire(LockWait{}, &took_over).ok());
  EXPECT_FALSE(took_over);
  waiter->release();
}

// A holder that goes away without releasing (its slot's lock dropped, as
// the kernel drops it for a dead process) is taken over by exactly one of
// the waiters; the others get the word in turn.
TEST_F(ProcessLockTest, ADeadHoldersWordIsTakenOverByExactlyOneWaiter) {
  auto doomed = Open();
  bool took_over = false;
  ASSERT_TRUE(doomed->acquire(LockWait{}, &took_over).ok());
  const uint64_t dead_token = doomed->token();
  doomed.reset();

  constexpr int WAITERS = 4;
  std::vector<std::unique_ptr<ProcessLock>> locks;
  for (int i = 0; i < WAITERS; i++) locks.push_back(Open());
  EXPECT_EQ(locks[0]->holder(dead_token), LockHolder::Dead);
  std::atomic<int> takeovers{0}, inside{0}, overlaps{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < WAITERS; i++) {
    threads.emplace_back([&, i] {
      bool mine = false;
      ASSERT_TRUE(locks[i]->acquire(LockWait{}, &mine).ok());
      if (inside.fetch_add(1) != 0) overlaps++;
      takeovers += mine;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      inside--;
      locks[i]->release();
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(takeovers.load(), 1);
  EXPECT_EQ(overlaps.load(), 0);
}

// A lock file cut under a holder is grown back by the fault handler instead
// of killing it with SIGBUS; a removed one is left for the file the path
// names now, so that the old and the new process share one word.
TEST_F(ProcessLockTest, ACutOrRemovedLockFileNeitherCrashesNorSplitsTheLock) {
  const std::string path = dir_ + "/.proc_lock";
  bool took_over = false;
  auto old_user = Open();
  ASSERT_TRUE(old_user->acquire(LockWait{}, &took_over).ok());
  ASSERT_EQ(::truncate(path.c_str(), 0), 0);
  old_user->release();  // touches the vanished page
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(static_cast<uint64_t>(st.st_size), LOCK_FILE_LEN);

  ASSERT_EQ(::unlink(path.c_str()), 0);
  auto newcomer = Open();
  ASSERT_TRUE(newcomer->acquire(LockWait{}, &took_over).ok());
  EXPECT_FALSE(old_user->acquire(LockWait{100, nullptr}, &took_over).ok());
  newcomer->release();
  ASSERT_TRUE(old_user->acquire(LockWait{}, &took_over).ok());
  EXPECT_FALSE(newcomer->acquire(LockWait{100, nullptr}, &took_over).ok());
  old_user->release();
  ASSERT_TRUE(newcomer->acquire(LockWait{}, &took_over).ok());
  newcomer->release();
}

}  // namespace
}  // namespace ferrow
