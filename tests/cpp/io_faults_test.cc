// Failures of the operating system's file calls, made through the system
// call table: what a failing operation reports, what it leaves in the queue
// object that saw the failure, and what the log holds afterwards (seen by a
// queue opened afresh, with no fault armed).
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <tuple>
#include <vector>

#include "fault_injection.h"
#include "queue/log_format.h"
#include "queue/queue.h"
#include "temp_dir.h"

namespace ferrow {
namespace {

constexpr uint64_t LEASE_MS = 30000;
using Delivered = std::tuple<uint64_t, std::string, uint32_t>;

class IoFaultTest : public TempDirTest {
 protected:
  std::unique_ptr<Queue> Open(QueueOptions options = {}) {
    auto opened = Queue::open(dir_, options);
    EXPECT_TRUE(opened.ok()) << opened.error().message();
    return opened.ok() ? std::move(opened.value()) : nullptr;
  }
  std::string LogPath() const { return dir_ + "/queue.log"; }
  std::string ReadLog() const {
    std::ifstream in(LogPath(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  void AppendToLog(const std::string& bytes) {
    std::ofstream(LogPath(), std::ios::binary | std::ios::app) << bytes;
  }
  // A queue opened without faults, after a check of the whole log: every
  // byte of the file belongs to an intact record.
  std::unique_ptr<Queue> ReopenClean() {
    faults_.disarm();
    auto q = Open();
    auto report = q->verify_integrity();
    EXPECT_TRUE(report.ok() && report.value().ok);
    EXPECT_EQ(report.value().bytes, std::filesystem::file_size(LogPath()));
    EXPECT_EQ(q->stats().value().log_bytes, report.value().bytes);
    return q;
  }
  static std::vector<Delivered> Drain(Queue& q) {
    std::vector<Delivered> got;
    auto batch = q.dequeue_batch(1000, LEASE_MS);
    EXPECT_TRUE(batch.ok());
    for (const DeliveredMessage& m : batch.value()) {
      got.emplace_back(m.seq, m.body, m.deliveries);
    }
    return got;
  }

  FaultInjection faults_;
};

// The error of a failed call: an OS error with the injected number.
template <typename R>
void ExpectOsError(const R& result, int error_number) {
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().form(), QueueError::Form::IoFailure);
  const std::string suffix = "(os error " + std::to_string(error_number) + ")";
  const std::string text = result.error().message();
  EXPECT_TRUE(text.size() >= suffix.size() &&
              text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0)
      << text;
}

TEST_F(IoFaultTest, TheTableCountsSkipsFailsAndCutsWritesShort) {
  const std::string path = dir_ + "/plain";
  const int fd = system_calls.open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  ASSERT_GE(fd, 0);
  faults_.fail(SystemCall::Fsync, EIO, /*skip=*/1, /*count=*/2);
  std::vector<int> outcomes;
  for (int i = 0; i < 4; i++) outcomes.push_back(system_calls.fsync(fd) == 0 ? 0 : errno);
  EXPECT_EQ(outcomes, (std::vector<int>{0, EIO, EIO, 0}));
  EXPECT_EQ(faults_.calls(SystemCall::Fsync), 4u);
  EXPECT_EQ(faults_.injected(SystemCall::Fsync), 2u);
  faults_.short_write(1);
  EXPECT_EQ(system_calls.write(fd, "abc", 3), 1);
  EXPECT_EQ(system_calls.write(fd, "bc", 2), 2);
  system_calls.close(fd);
  EXPECT_EQ(std::filesystem::file_size(path), 3u);
  EXPECT_EQ(faults_.calls(SystemCall::Open), 1u);
}

// The write reached the file but the fsync of the sync policy failed: the
// call reports the error, yet the record counts, in the process and in the
// log, so that no id or lease is handed out twice.

TEST_F(IoFaultTest, AnEnqueueWhoseSyncFailedKeepsItsId) {
  auto q = Open();
  faults_.fail(SystemCall::Fsync, EIO);
  ExpectOsError(q->enqueue("first"), EIO);
  const uint64_t fsyncs = faults_.calls(SystemCall::Fsync);
  EXPECT_EQ(q->enqueue("second").value(), 1u);
  EXPECT_EQ(faults_.calls(SystemCall::Fsync) - fsyncs, 1u);
  const QueueStats s = q->stats().value();
  EXPECT_EQ(std::make_tuple(s.total, s.ready, s.next_seq), std::make_tuple(2u, 2u, 2u));
  q.reset();
  auto fresh = ReopenClean();
  EXPECT_EQ(fresh->verify_integrity().value().records, 2u);
  EXPECT_EQ(Drain(*fresh), (std::vector<Delivered>{{0, "first", 1}, {1, "second", 1}}));
}

TEST_F(IoFaultTest, ADequeueWhoseSyncFailedKeepsTheLease) {
  auto q = Open();
  ASSERT_TRUE(q->enqueue_batch({"a", "b"}).ok());
  faults_.fail(SystemCall::Fsync, EIO);
  ExpectOsError(q->dequeue(LEASE_MS), EIO);
  EXPECT_EQ(q->in_flight().value(), 1u);
  EXPECT_EQ(q->available().value(), 1u);
  // The leased message is not handed out again while its lease runs.
  EXPECT_EQ(q->dequeue(LEASE_MS).value()->seq, 1u);
  q.reset();
  auto fresh = ReopenClean();
  EXPECT_EQ(fresh->in_flight().value(), 2u);
  // The lease is in the log with its delivery counted.
  ASSERT_TRUE(fresh->extend_lease(0, 0).value());
  const DeliveredMessage again = *fresh->dequeue(LEASE_MS).value();
  EXPECT_EQ(std::make_tuple(again.seq, again.body, again.deliveries),
            std::make_tuple(0u, std::string("a"), 2u));
}

TEST_F(IoFaultTest, AnAckWhoseSyncFailedRemovesTheMessage) {
  auto q = Open();
  ASSERT_TRUE(q->enqueue_batch({"a", "b"}).ok());
  ASSERT_TRUE(q->dequeue(LEASE_MS).ok());
  faults_.fail(SystemCall::Fsync, EIO);
  ExpectOsError(q->ack(0), EIO);
  EXPECT_FALSE(q->ack(0).value());
  const QueueStats s = q->stats().value();
  EXPECT_EQ(std::make_tuple(s.total, s.in_flight, s.acked_total), std::make_tuple(1u, 0u, 1u));
  q.reset();
  auto fresh = ReopenClean();
  EXPECT_FALSE(fresh->ack(0).value());
  EXPECT_EQ(Drain(*fresh), (std::vector<Delivered>{{1, "b", 1}}));
}

TEST_F(IoFaultTest, ABatchKeepsEveryRecordWhenItsClosingSyncFails) {
  auto q = Open();
  faults_.fail(SystemCall::Fsync, EIO);
  ExpectOsError(q->enqueue_batch({"x", "y", "z"}), EIO);
  EXPECT_EQ(q->enqueue("w").value(), 3u);
  q.reset();
  auto fresh = ReopenClean();
  EXPECT_EQ(Drain(*fresh),
            (std::vector<Delivered>{{0, "x", 1}, {1, "y", 1}, {2, "z", 1}, {3, "w", 1}}));
}

// The frame did not reach the file: the call reports the error and nothing
// changes, in the process or in the log.

class FailedWriteTest : public IoFaultTest, public ::testing::WithParamInterface<int> {};

TEST_P(FailedWriteTest, AnEnqueueChangesNothing) {
  auto q = Open();
  ASSERT_EQ(q->enqueue("first").value(), 0u);
  const QueueStats before = q->stats().value();
  faults_.fail(SystemCall::Write, GetParam());
  ExpectOsError(q->enqueue("lost"), GetParam());
  const QueueStats after = q->stats().value();
  EXPECT_EQ(std::make_tuple(after.total, after.next_seq, after.log_bytes),
            std::make_tuple(before.total, before.next_seq, before.log_bytes));
  EXPECT_EQ(q->verify_integrity().value().bytes, before.log_bytes);
  // The id of the failed enqueue goes to the next one.
  EXPECT_EQ(q->enqueue("second").value(), 1u);
  q.reset();
  auto fresh = ReopenClean();
  EXPECT_EQ(Drain(*fresh), (std::vector<Delivered>{{0, "first", 1}, {1, "second", 1}}));
}

INSTANTIATE_TEST_SUITE_P(Errors, FailedWriteTest, ::testing::Values(EIO, ENOSPC));

TEST_F(IoFaultTest, ATornFrameNeverPrecedesALaterRecord) {
  // A short write puts part of the frame in the file before the rest of it
  // fails; the next append must not land behind those bytes.
  auto q = Open();
  ASSERT_TRUE(q->enqueue("first").ok());
  const uint64_t end = q->stats().value().log_bytes;
  faults_.short_write(10);
  faults_.fail(SystemCall::Write, ENOSPC, /*skip=*/1);
  ::testing::internal::CaptureStderr();
  ExpectOsError(q->enqueue(std::string(40, 'l')), ENOSPC);
  EXPECT_EQ(q->stats().value().log_bytes, end);
  EXPECT_EQ(q->enqueue("second").value(), 1u);
  EXPECT_TRUE(q->verify_integrity().value().ok);
  // Its own torn frame is cut silently: the failed call already said so.
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  q.reset();
  auto fresh = ReopenClean();
  EXPECT_EQ(Drain(*fresh), (std::vector<Delivered>{{0, "first", 1}, {1, "second", 1}}));
}

TEST_F(IoFaultTest, ATornFrameLeftByTheLastOperationIsCutOnOpen) {
  auto q = Open();
  ASSERT_TRUE(q->enqueue("first").ok());
  const uint64_t end = q->stats().value().log_bytes;
  faults_.short_write(10);
  faults_.fail(SystemCall::Write, ENOSPC, /*skip=*/1);
  ExpectOsError(q->enqueue(std::string(40, 'l')), ENOSPC);
  q.reset();
  EXPECT_EQ(std::filesystem::file_size(LogPath()), end + 10);
  ::testing::internal::CaptureStderr();
  auto fresh = ReopenClean();
  EXPECT_NE(::testing::internal::GetCapturedStderr().find(
                "log tail at byte " + std::to_string(end) + " "),
            std::string::npos);
  EXPECT_EQ(fresh->stats().value().next_seq, 1u);
  EXPECT_EQ(Drain(*fresh), (std::vector<Delivered>{{0, "first", 1}}));
}

TEST_F(IoFaultTest, AFailedLeaseOrAckChangesNothing) {
  auto q = Open();
  ASSERT_TRUE(q->enqueue_batch({"a", "b"}).ok());
  faults_.fail(SystemCall::Write, EIO);
  ExpectOsError(q->dequeue(LEASE_MS), EIO);
  EXPECT_EQ(q->in_flight().value(), 0u);
  // Still the first delivery of the smallest id.
  const DeliveredMessage leased = *q->dequeue(LEASE_MS).value();
  EXPECT_EQ(std::make_tuple(leased.seq, leased.deliveries), std::make_tuple(0u, 1u));
  faults_.fail(SystemCall::Write, EIO);
  ExpectOsError(q->ack(0), EIO);
  EXPECT_TRUE(q->ack(0).value());
  q.reset();
  auto fresh = ReopenClean();
  EXPECT_EQ(Drain(*fresh), (std::vector<Delivered>{{1, "b", 1}}));
}

TEST_F(IoFaultTest, ABatchKeepsWhatItWroteBeforeTheFailure) {
  // The batch goes out in one write: it hands over the first frame (34
  // bytes) and part of the second, then fails.
  auto q = Open();
  faults_.short_write(34 + 10);
  faults_.fail(SystemCall::Write, EIO, /*skip=*/1);
  ExpectOsError(q->enqueue_batch({"x", "y", "z"}), EIO);
  EXPECT_EQ(q->stats().value().total, 1u);
  EXPECT_EQ(q->enqueue("w").value(), 1u);
  q.reset();
  auto fresh = ReopenClean();
  EXPECT_EQ(Drain(*fresh), (std::vector<Delivered>{{0, "x", 1}, {1, "w", 1}}));
}

TEST_F(IoFaultTest, ABatchAppliesExactlyTheFramesThatReachedTheFile) {
  struct Case {
    std::function<Status(Queue&)> batch;
    uint64_t frame_len;
    uint64_t total, in_flight;
  };
  const Case cases[] = {
      // One lease reached the file; the failed batch handed it back.
      {[](Queue& q) -> Status {
         auto r = q.dequeue_batch(3, 600000);
         return r.ok() ? Status() : Status(r.error());
       },
       FRAME_HEADER_LEN + LEASE_PAYLOAD_LEN, 4, 0},
      // One ack did.
      {[](Queue& q) -> Status {
         auto r = q.ack_batch({0, 1, 2});
         return r.ok() ? Status() : Status(r.error());
       },
       FRAME_HEADER_LEN + ACK_PAYLOAD_LEN, 3, 0},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(dir_);
    auto q = Open();
    ASSERT_TRUE(q->enqueue_batch({"a", "b", "c"}).ok());
    faults_.short_write(c.frame_len + 5);
    faults_.fail(SystemCall::Write, ENOSPC, /*skip=*/1);
    ExpectOsError(c.batch(*q), ENOSPC);
    EXPECT_EQ(q->enqueue("d").value(), 3u);
    EXPECT_EQ(std::make_tuple(q->stats().value().total, q->in_flight().value()),
              std::make_tuple(c.total, c.in_flight));
    q.reset();
    auto fresh = ReopenClean();
    EXPECT_EQ(std::make_tuple(fresh->stats().value().total, fresh->in_flight().value()),
              std::make_tuple(c.total, c.in_flight));
  }
}

TEST_F(IoFaultTest, AWriteThatTakesNoBytesIsAnError) {
  auto q = Open();
  ASSERT_TRUE(q->enqueue("first").ok());
  faults_.short_write(0);
  auto failed = q->enqueue("lost");
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().kind(), IoErrorKind::WriteZero);
  EXPECT_EQ(failed.error().message(), "failed to write the buffered data");
  EXPECT_EQ(q->enqueue("second").value(), 1u);
  q.reset();
  auto fresh = ReopenClean();
  EXPECT_EQ(Drain(*fresh), (std::vector<Delivered>{{0, "first", 1}, {1, "second", 1}}));
}

// A signal arriving during a file call makes it fail with EINTR; the engine
// retries it, so no operation reports it and nothing is lost. Skipping one
// pread gets past the header probe to the reads of the tail.
class InterruptedCallTest
    : public IoFaultTest,
      public ::testing::WithParamInterface<std::tuple<SystemCall, uint64_t>> {};

TEST_P(InterruptedCallTest, EveryOperationRetriesAndSucceeds) {
  const auto [call, skip] = GetParam();
  auto q = Open();
  auto interrupted = [&, call = call, skip = skip](const char* step, auto operation) {
    faults_.fail(call, EINTR, skip, 3);
    auto result = operation();
    EXPECT_TRUE(result.ok()) << step << ": " << result.error().message();
    return result;
  };
  (void)interrupted("enqueue", [&] { return q->enqueue("a"); });
  EXPECT_EQ(interrupted("batch", [&] { return q->enqueue_batch({"b", "c", "d"}); }).value(),
            (std::vector<uint64_t>{1, 2, 3}));
  (void)interrupted("dequeue", [&] { return q->dequeue(60000); });
  (void)interrupted("ack", [&] { return q->ack(0); });
  (void)interrupted("nack", [&] { return q->nack(1, false); });
  AppendToLog("torn");  // the next opener cuts it (ftruncate)
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(interrupted("open other",
                        [&]() -> Result<uint64_t> {
                          auto other = Queue::open(dir_, {});
                          if (!other.ok()) return other.error();
                          return other.value()->stats().value().total;
                        })
                .value(),
            2u);
  ::testing::internal::GetCapturedStderr();
  (void)interrupted("compact", [&] { return q->compact(); });
  EXPECT_EQ(interrupted("enqueue after compact", [&] { return q->enqueue("e"); }).value(), 4u);
  EXPECT_TRUE(interrupted("verify", [&] { return q->verify_integrity(); }).value().ok);
  (void)interrupted("flush", [&] { return q->flush(); });
  const QueueStats s = interrupted("stats", [&] { return q->stats(); }).value();
  EXPECT_EQ(std::make_tuple(s.ready, s.total), std::make_tuple(3u, 3u));
  EXPECT_GT(faults_.injected(call), 0u);
  q.reset();
  auto fresh = ReopenClean();
  EXPECT_EQ(Drain(*fresh), (std::vector<Delivered>{{2, "c", 1}, {3, "d", 1}, {4, "e", 1}}));
}

INSTANTIATE_TEST_SUITE_P(
    Calls, InterruptedCallTest,
    ::testing::Values(std::make_tuple(SystemCall::Write, 0), std::make_tuple(SystemCall::Fsync, 0),
                      std::make_tuple(SystemCall::Open, 0),
                      std::make_tuple(SystemCall::Ftruncate, 0),
                      std::make_tuple(SystemCall::Pread, 0), std::make_tuple(SystemCall::Pread, 1)),
    [](const auto& info) {
      return std::string(system_call_name(std::get<0>(info.param))) +
             std::to_string(std::get<1>(info.param));
    });

TEST_F(IoFaultTest, AQueueAtTheEmptyPathSyncsItsDirectoryToo) {
  // The empty path is the working directory; renaming a compacted log into
  // it must be made durable with a sync of "." like any other directory.
  const std::filesystem::path was = std::filesystem::current_path();
  std::filesystem::current_path(dir_);
  auto named = Open();
  auto here = Queue::open("", {});
  ASSERT_TRUE(here.ok());
  std::vector<std::pair<uint64_t, uint64_t>> counts;
  for (Queue* q : {named.get(), here.value().get()}) {
    ASSERT_TRUE(q->enqueue("x").ok());
    ASSERT_TRUE(q->stats().ok());
    const uint64_t fsyncs = faults_.calls(SystemCall::Fsync);
    const uint64_t opens = faults_.calls(SystemCall::Open);
    ASSERT_TRUE(q->compact().ok());
    counts.emplace_back(faults_.calls(SystemCall::Fsync) - fsyncs,
                        faults_.calls(SystemCall::Open) - opens);
  }
  std::filesystem::current_path(was);
  EXPECT_EQ(counts[0], counts[1]);
  EXPECT_EQ(counts[0].first, 2u);  // the new log, then its directory
}

// Cutting a damaged tail off the log can fail as well. The call that found
// the damage reports the error and applies nothing past it; the next call
// cuts the tail and goes on. The calls of a cut, counted from the start of
// the call that makes it: truncate, sync the log, open and sync its
// directory (opening the queue first opens .proc_lock twice, for its mapping
// and its slot, and queue.log; an operation opens nothing before it).
struct CutCase {
  SystemCall call;
  uint64_t skip_at_open;
  uint64_t skip_in_catch_up;
};
class FailedCutTest
    : public IoFaultTest,
      public ::testing::WithParamInterface<std::tuple<CutCase, bool, bool>> {};

TEST_P(FailedCutTest, TheFailureIsReportedAndTheNextCallCuts) {
  const auto [cut, torn, at_open] = GetParam();
  auto q = Open();
  ASSERT_TRUE(q->enqueue("kept").ok());
  // A frame cut inside its header, or a whole frame with a good checksum
  // whose record cannot be decoded.
  std::string damage = "FWR";
  if (!torn) {
    damage.clear();
    encode_frame(std::string("\x09") + std::string(8, '\0'), &damage);
  }
  AppendToLog(damage);
  auto total = [&, at_open = at_open]() -> Result<uint64_t> {
    if (!at_open) {
      auto s = q->stats();
      if (!s.ok()) return s.error();
      return s.value().total;
    }
    auto other = Queue::open(dir_, {});
    if (!other.ok()) return other.error();
    return other.value()->stats().value().total;
  };
  faults_.fail(cut.call, EIO, at_open ? cut.skip_at_open : cut.skip_in_catch_up);
  ::testing::internal::CaptureStderr();
  ExpectOsError(total(), EIO);
  EXPECT_EQ(total().value(), 1u);
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(q->enqueue("next").value(), 1u);
  q.reset();
  auto fresh = ReopenClean();
  EXPECT_EQ(Drain(*fresh), (std::vector<Delivered>{{0, "kept", 1}, {1, "next", 1}}));
}

INSTANTIATE_TEST_SUITE_P(
    Cuts, FailedCutTest,
    ::testing::Combine(::testing::Values(CutCase{SystemCall::Ftruncate, 0, 0},
                                         CutCase{SystemCall::Fsync, 0, 0},
                                         CutCase{SystemCall::Fsync, 1, 1},
                                         CutCase{SystemCall::Open, 3, 0}),
                       ::testing::Bool(), ::testing::Bool()));

TEST_F(IoFaultTest, AFailedRequeueOfALapsedLeaseFailsTheCallAndKeepsTheMessage) {
  for (int op = 0; op < 3; op++) {
    std::filesystem::remove_all(dir_);
    auto q = Open();
    ASSERT_TRUE(q->enqueue("a").ok());
    ASSERT_TRUE(q->dequeue(600000).ok());
    ASSERT_TRUE(q->extend_lease(0, 0).ok());
    faults_.fail(SystemCall::Write, EIO);
    if (op == 0) {
      ExpectOsError(q->dequeue(LEASE_MS), EIO);
      EXPECT_EQ(q->dequeue(LEASE_MS).value()->deliveries, 2u);
    } else if (op == 1) {
      ExpectOsError(q->dequeue_batch(5, LEASE_MS), EIO);
      EXPECT_EQ(q->dequeue_batch(5, LEASE_MS).value().at(0).deliveries, 2u);
    } else {
      ExpectOsError(q->stats(), EIO);
      EXPECT_EQ(std::make_tuple(q->stats().value().ready, q->stats().value().in_flight),
                std::make_tuple(1u, 0u));
    }
  }
}

TEST_F(IoFaultTest, AnAckWhoseAutomaticCompactionFailsStandsAndSaysSoOnce) {
  QueueOptions options;
  options.auto_compact_bytes = 1;
  auto small = Open(options);
  ASSERT_TRUE(small->enqueue_batch({std::string(200, 'x'), "b", "c"}).ok());
  ASSERT_TRUE(small->dequeue(LEASE_MS).ok());
  ASSERT_TRUE(small->dequeue(LEASE_MS).ok());
  ::testing::internal::CaptureStderr();
  faults_.fail(SystemCall::Rename, EIO);
  EXPECT_TRUE(small->ack(0).value());
  faults_.fail(SystemCall::Rename, EIO);
  EXPECT_TRUE(small->ack(1).value());  // no second attempt, no second line yet
  const std::string warned = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(small->stats().value().total, 1u);
  EXPECT_EQ(small->stats().value().generation, 0u);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/queue.compact.tmp"));
  size_t lines = 0;
  for (size_t at = warned.find("Ferrow: automatic compaction failed"); at != std::string::npos;
       at = warned.find("Ferrow: automatic compaction failed", at + 1)) {
    lines++;
  }
  EXPECT_EQ(lines, 1u) << warned;
  small.reset();
  auto fresh = ReopenClean();
  EXPECT_EQ(Drain(*fresh), (std::vector<Delivered>{{2, "c", 1}}));
}

// Compaction and purge replace the log by renaming a finished temporary file
// over it: a failure before the rename leaves the old log in charge.
class FailedCompactionTest
    : public IoFaultTest,
      public ::testing::WithParamInterface<std::tuple<SystemCall, int>> {};

TEST_P(FailedCompactionTest, ChangesNothingButTheTemporaryFile) {
  const auto [call, error] = GetParam();
  auto q = Open();
  ASSERT_TRUE(q->enqueue_batch({"a", "b", "c"}).ok());
  ASSERT_TRUE(q->ack(0).ok());
  ASSERT_TRUE(q->dequeue(600000).ok());
  const QueueStats before = q->stats().value();
  const std::string log = ReadLog();
  faults_.fail(call, error);
  ExpectOsError(q->compact(), error);
  const QueueStats after = q->stats().value();
  EXPECT_EQ(std::make_tuple(after.total, after.in_flight, after.log_bytes, after.generation),
            std::make_tuple(before.total, before.in_flight, before.log_bytes, before.generation));
  EXPECT_EQ(ReadLog(), log);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/queue.compact.tmp"));
  EXPECT_EQ(q->dequeue(LEASE_MS).value()->body, "c");
  ASSERT_TRUE(q->compact().ok());
  q.reset();
  auto fresh = ReopenClean();
  const QueueStats s = fresh->stats().value();
  EXPECT_EQ(std::make_tuple(s.generation, s.total, s.in_flight, s.next_seq),
            std::make_tuple(1u, 2u, 2u, 3u));
}

INSTANTIATE_TEST_SUITE_P(Calls, FailedCompactionTest,
                         ::testing::Values(std::make_tuple(SystemCall::Rename, EIO),
                                           std::make_tuple(SystemCall::Fsync, EIO),
                                           std::make_tuple(SystemCall::Write, ENOSPC)));

TEST_F(IoFaultTest, CompactionWritesNothingMoreAfterAFailedWrite) {
  // 30 KiB of bodies take several staging flushes; the first one fails.
  auto q = Open();
  std::vector<std::string> bodies;
  for (char i = 0; i < 3; i++) bodies.push_back(std::string(10000, i));
  ASSERT_TRUE(q->enqueue_batch({bodies.begin(), bodies.end()}).ok());
  faults_.fail(SystemCall::Write, ENOSPC, /*skip=*/1);
  const uint64_t writes = faults_.calls(SystemCall::Write);
  ExpectOsError(q->compact(), ENOSPC);
  EXPECT_EQ(faults_.calls(SystemCall::Write) - writes, 2u);  // the header, the failed flush
  ASSERT_TRUE(q->compact().ok());
  q.reset();
  auto fresh = ReopenClean();
  std::vector<std::string> got;
  for (const Delivered& m : Drain(*fresh)) got.push_back(std::get<1>(m));
  EXPECT_EQ(got, bodies);
}

TEST_F(IoFaultTest, CompactionThatCannotMapTheBodiesChangesNothing) {
  // A fresh object has not mapped the log yet: compaction maps it to copy
  // the bodies.
  auto q = Open();
  ASSERT_TRUE(q->enqueue_batch({"a", "b"}).ok());
  auto fresh = Open();
  const std::string log = ReadLog();
  faults_.fail(SystemCall::Mmap, ENOMEM);
  ExpectOsError(fresh->compact(), ENOMEM);
  EXPECT_EQ(ReadLog(), log);
  ASSERT_TRUE(fresh->compact().ok());
  EXPECT_EQ(fresh->dequeue(LEASE_MS).value()->body, "a");
}

class FailedPurgeTest : public IoFaultTest, public ::testing::WithParamInterface<SystemCall> {};

TEST_P(FailedPurgeTest, KeepsEveryMessage) {
  auto q = Open();
  ASSERT_TRUE(q->enqueue_batch({"a", "b"}).ok());
  faults_.fail(GetParam(), EIO);
  ExpectOsError(q->purge(), EIO);
  // Not emptied in memory while the log it follows is full.
  EXPECT_EQ(std::make_tuple(q->stats().value().total, q->stats().value().generation),
            std::make_tuple(2u, 0u));
  EXPECT_EQ(q->dequeue(LEASE_MS).value()->body, "a");
  q.reset();
  EXPECT_EQ(ReopenClean()->stats().value().total, 2u);
}

INSTANTIATE_TEST_SUITE_P(Calls, FailedPurgeTest,
                         ::testing::Values(SystemCall::Rename, SystemCall::Fsync));

}  // namespace
}  // namespace ferrow
