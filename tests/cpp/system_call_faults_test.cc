// Every entry of the system-call table made to fail, in every step of a
// workload that reaches it: a failure is either reported as an OS error of
// the injected number that names the call and its file, or (for the calls whose failure costs nothing: a
// close, an unmap, a group change, a slot lock) absorbed; the step after it
// succeeds; and what the queue object believes at the end is what a queue
// opened afresh on a copy of its files finds.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

#include "fault_injection.h"
#include "queue/process_lock.h"
#include "queue/queue.h"
#include "temp_dir.h"

namespace ferrow {
namespace {

constexpr uint64_t LONG_LEASE_MS = 3600000;

struct Workload {
  std::string dir;
  std::unique_ptr<Queue> a, b;
};

Status status_of_result(const auto& result) {
  if (result.ok()) return {};
  return result.error();
}

Status open_into(std::unique_ptr<Queue>* q, const std::string& dir) {
  auto opened = Queue::open(dir, {});
  if (!opened.ok()) return opened.error();
  *q = std::move(opened.value());
  return {};
}

// Two objects on one directory, so that catch-up and the reload after a
// compaction happen; every operation at least once. A step whose object is
// missing (its open failed) opens it first.
const std::vector<std::pair<const char*, std::function<Status(Workload&)>>>& steps() {
  static const std::vector<std::pair<const char*, std::function<Status(Workload&)>>> all = {
      {"open a", [](Workload& w) { return open_into(&w.a, w.dir); }},
      {"enqueue_batch",
       [](Workload& w) {
         return status_of_result(w.a->enqueue_batch({"m0", std::string(9000, 'b'), "m2", "m3"}));
       }},
      {"enqueue", [](Workload& w) { return status_of_result(w.a->enqueue("m4")); }},
      {"dequeue", [](Workload& w) { return status_of_result(w.a->dequeue(LONG_LEASE_MS)); }},
      {"ack", [](Workload& w) { return status_of_result(w.a->ack(0)); }},
      {"nack", [](Workload& w) { return status_of_result(w.a->nack(1, true)); }},
      {"open b", [](Workload& w) { return open_into(&w.b, w.dir); }},
      {"b enqueue", [](Workload& w) { return status_of_result(w.b->enqueue("m5")); }},
      {"dequeue_batch",
       [](Workload& w) { return status_of_result(w.a->dequeue_batch(2, LONG_LEASE_MS)); }},
      {"extend_lease", [](Workload& w) { return status_of_result(w.a->extend_lease(2, 0)); }},
      {"compact", [](Workload& w) { return w.a->compact(); }},
      {"b stats", [](Workload& w) { return status_of_result(w.b->stats()); }},
      {"b ack_batch", [](Workload& w) { return status_of_result(w.b->ack_batch({3, 9})); }},
      {"available", [](Workload& w) { return status_of_result(w.a->available()); }},
      {"verify", [](Workload& w) { return status_of_result(w.a->verify_integrity()); }},
      {"flush", [](Workload& w) { return w.a->flush(); }},
  };
  return all;
}

using Delivered = std::tuple<uint64_t, std::string, uint32_t>;

// Counts and deliveries of a queue: the state a fresh open must agree with.
std::tuple<uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, std::vector<Delivered>> picture(
    Queue& q) {
  const QueueStats s = q.stats().value();
  std::vector<Delivered> delivered;
  auto batch = q.dequeue_batch(100, LONG_LEASE_MS);
  EXPECT_TRUE(batch.ok());
  for (const DeliveredMessage& m : batch.value()) {
    delivered.emplace_back(m.seq, m.body, m.deliveries);
  }
  return {s.total, s.in_flight, s.next_seq, s.live_bytes, s.generation, delivered};
}

// The calls whose failure the engine absorbs by design.
bool absorbed(SystemCall call, const std::string& step) {
  switch (call) {
    case SystemCall::Close:      // nothing to do about it; the descriptor is gone
    case SystemCall::Munmap:     // the address space is lost, not data
    case SystemCall::Fchown:     // a group the owner may not give is kept as it is
    case SystemCall::FcntlLock:  // without a slot the lock works as older builds do
    case SystemCall::Lseek:      // the exclusive check falls back to fstat
      return true;
    case SystemCall::Unlink:
      // Opening removes a dead rewriter's temporary file if it can; the
      // next rewrite removes it otherwise.
      return step.starts_with("open");
    default:
      return false;
  }
}

class SystemCallFaultTest : public TempDirTest, public ::testing::WithParamInterface<SystemCall> {
 protected:
  // Runs the workload; before step `failing_step` (none if past the end)
  // the next call of the parameter's kind is armed to fail with EIO.
  // Returns each step's count of calls of that kind.
  std::vector<uint64_t> Run(size_t failing_step) {
    const std::string dir = dir_ + "/q" + std::to_string(failing_step);
    Workload w{dir, nullptr, nullptr};
    std::vector<uint64_t> counts;
    bool fired = false;
    for (size_t i = 0; i < steps().size(); i++) {
      const auto& [name, step] = steps()[i];
      if (i == failing_step) faults_.fail(GetParam(), EIO);
      const uint64_t before = faults_.calls(GetParam());
      const uint64_t injected = faults_.injected(GetParam());
      if (!w.a && i > 0) {
        EXPECT_TRUE(open_into(&w.a, dir).ok());
      }
      if (!w.b && i > 6) {
        EXPECT_TRUE(open_into(&w.b, dir).ok());
      }
      const Status status = step(w);
      counts.push_back(faults_.calls(GetParam()) - before);
      faults_.disarm();
      if (i != failing_step) {
        EXPECT_TRUE(status.ok()) << name << ": " << status.error().message();
        continue;
      }
      fired = faults_.injected(GetParam()) > injected;
      EXPECT_TRUE(fired) << name;
      if (status.ok()) {
        EXPECT_TRUE(absorbed(GetParam(), name)) << name << ": a failed call went unreported";
      } else {
        // Reported as the failure of this call on a named file.
        const QueueError& error = status.error();
        EXPECT_EQ(error.error_number(), EIO) << name << ": " << error.message();
        EXPECT_STREQ(error.call(), system_call_name(GetParam())) << name;
        EXPECT_FALSE(error.path().empty()) << name;
      }
    }
    if (failing_step < steps().size() && fired) {
      // What a fresh open finds on a copy of the files (so that looking
      // changes nothing here) is what the objects believe.
      const std::string copy = dir + ".copy";
      std::filesystem::copy(dir, copy);
      auto fresh = Queue::open(copy, {});
      EXPECT_TRUE(fresh.ok());
      EXPECT_EQ(picture(*w.a), picture(*fresh.value())) << steps()[failing_step].first;
      EXPECT_EQ(w.b->stats().value().total, fresh.value()->stats().value().total);
    }
    return counts;
  }

  FaultInjection faults_;
};

TEST_P(SystemCallFaultTest, EveryFailureIsReportedOrAbsorbedAndLeavesTheStateTrue) {
  const std::vector<uint64_t> counts = Run(steps().size());
  size_t reached = 0;
  for (size_t i = 0; i < counts.size(); i++) {
    if (counts[i] == 0) continue;
    reached++;
    Run(i);
  }
  EXPECT_GT(reached, 0u) << "the workload makes no " << system_call_name(GetParam()) << " call";
}

// lstat is the fallback of a statx that the kernel or a filter refuses, and
// a futex is waited on only by a process that finds the word taken: each
// has a test of its own below.
const SystemCall SWEPT[] = {
    SystemCall::Open,   SystemCall::Close,  SystemCall::Pread,  SystemCall::Write,
    SystemCall::Fsync,  SystemCall::Ftruncate, SystemCall::Fstat, SystemCall::Statx,
    SystemCall::Stat,   SystemCall::Mkdir,  SystemCall::Rename, SystemCall::Unlink,
    SystemCall::Fchmod, SystemCall::Fchown, SystemCall::Lseek,  SystemCall::Mmap,
    SystemCall::Munmap, SystemCall::FcntlLock,
};

INSTANTIATE_TEST_SUITE_P(Table, SystemCallFaultTest, ::testing::ValuesIn(SWEPT),
                         [](const auto& info) { return system_call_name(info.param); });

TEST(SystemCallTable, EveryEntryIsMadeToFailByATest) {
  std::set<SystemCall> covered(std::begin(SWEPT), std::end(SWEPT));
  covered.insert({SystemCall::Lstat, SystemCall::Futex});
  EXPECT_EQ(covered.size(), static_cast<size_t>(SYSTEM_CALL_COUNT));
}

class FallbackFaultTest : public TempDirTest {
 protected:
  FaultInjection faults_;
};

TEST_F(FallbackFaultTest, AQueueWorksWithoutStatxAndReportsAFailedLstat) {
  faults_.fail(SystemCall::Statx, ENOSYS, 0, UINT64_MAX);
  auto q = Queue::open(dir_, {});
  ASSERT_TRUE(q.ok());
  ASSERT_TRUE(q.value()->enqueue("a").ok());
  EXPECT_GT(faults_.calls(SystemCall::Lstat), 0u);
  faults_.fail(SystemCall::Lstat, EIO);
  auto failed = q.value()->stats();
  ASSERT_FALSE(failed.ok());
  EXPECT_NE(failed.error().message().find("(os error 5)"), std::string::npos);
  EXPECT_EQ(q.value()->stats().value().total, 1u);
}

// A waiter sleeps on the lock word (a futex) and is woken by the releaser.
// Failed sleeps and failed wake-ups cost time, never the lock: the waiter
// looks at the word again every few milliseconds.
TEST_F(FallbackFaultTest, AFailingFutexOnlyCostsTheWaiterItsSleep) {
  auto holder = ProcessLock::open(dir_);
  auto waiter = ProcessLock::open(dir_);
  ASSERT_TRUE(holder.ok() && waiter.ok());
  bool took_over = false;
  ASSERT_TRUE(holder.value()->acquire(LockWait{}, &took_over).ok());
  faults_.fail(SystemCall::Futex, EINTR, 0, UINT64_MAX);
  std::thread waiting([&] {
    bool mine = false;
    EXPECT_TRUE(waiter.value()->acquire(LockWait{10000, nullptr}, &mine).ok());
    waiter.value()->release();
  });
  while (faults_.injected(SystemCall::Futex) < 3) std::this_thread::yield();
  holder.value()->release();  // its wake-up fails too
  waiting.join();
  EXPECT_GT(faults_.injected(SystemCall::Futex), 3u);
}

}  // namespace
}  // namespace ferrow
