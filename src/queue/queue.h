// The queue object that the binding owns: one open queue, in memory
// (":memory:") or in a directory holding queue.log and .proc_lock.
//
// Every public operation runs the same frame: take the in-process mutex; for
// a persistent queue take the process lock and catch up with what other
// processes appended; run the operation, which changes the state only by
// appending a record and then applying it; release both locks on every path.
// Errors are returned as values, after the locks are released.
//
// Thread-safe: operations on one Queue are serialised by its mutex.
#ifndef FERROW_QUEUE_QUEUE_H_
#define FERROW_QUEUE_QUEUE_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "queue/commit_marks.h"
#include "queue/log_storage.h"
#include "queue/log_verify.h"
#include "queue/mark_checks.h"
#include "queue/process_lock.h"
#include "queue/queue_state.h"
#include "queue/result.h"

namespace ferrow {

inline constexpr char MEMORY_PATH[] = ":memory:";
// Temporary files of the two operations that replace queue.log.
inline constexpr char COMPACT_TMP_NAME[] = "queue.compact.tmp";
inline constexpr char PURGE_TMP_NAME[] = "queue.purge.tmp";

struct QueueOptions {
  uint64_t sync_interval_ms = 0;              // 0: fsync after every record
  uint64_t default_lease_ms = 30000;
  uint64_t auto_compact_bytes = 67108864;     // 0: never compact automatically
  LockWait lock_wait;                         // timeout and interrupt hook of the lock wait
};

// What dequeue hands out: (seq, body, deliveries, enqueued_ts_ms).
struct DeliveredMessage {
  uint64_t seq;
  std::string body;
  uint32_t deliveries;
  uint64_t enqueued_ts_ms;
};

struct QueueStats {
  uint64_t ready;
  uint64_t in_flight;
  uint64_t total;
  uint64_t enqueued_total;
  uint64_t acked_total;
  uint64_t requeued_total;
  uint64_t dead_total;
  uint64_t next_seq;
  uint64_t live_bytes;
  uint64_t log_bytes;
  uint64_t generation;
  bool persistent;
};

class Queue {
 public:
  // Opens (creating if needed) the queue at `path`; ":memory:" gives a queue
  // without files. Never returns a half-opened queue.
  static Result<std::unique_ptr<Queue>> open(const std::string& path, const QueueOptions& options);

  Queue(const Queue&) = delete;
  Queue& operator=(const Queue&) = delete;
  // Fsyncs the log if the mutex is free (errors are ignored): every record
  // already reached the file when it was appended, so nothing is held back.
  // Then releases handles and mappings.
  ~Queue();

  Result<uint64_t> enqueue(std::string_view body);
  Result<std::vector<uint64_t>> enqueue_batch(const std::vector<std::string_view>& bodies);
  Result<std::optional<DeliveredMessage>> dequeue(uint64_t lease_ms);
  Result<std::vector<DeliveredMessage>> dequeue_batch(uint64_t max, uint64_t lease_ms);
  Result<bool> ack(uint64_t seq);
  Result<uint64_t> ack_batch(const std::vector<uint64_t>& seqs);
  Result<bool> nack(uint64_t seq, bool requeue);
  Result<bool> extend_lease(uint64_t seq, uint64_t lease_ms);
  Result<uint64_t> available();
  Result<uint64_t> in_flight();
  Result<QueueStats> stats();
  Status flush();
  Status compact();
  Status purge();
  Result<IntegrityReport> verify_integrity();

  const QueueOptions& options() const { return options_; }
  bool persistent() const { return lock_ != nullptr; }

 private:
  class Frame;
  // How long a call waits for another process's fsync before it runs its
  // own beside it.
  static constexpr uint64_t LEADER_WAIT_MS = 50;
  // Bounds of a new leader's wait for the processes that the last fsync
  // released; between them it waits as long as this process's last fsync.
  static constexpr uint64_t MIN_GATHER_NS = 50 * 1000;
  static constexpr uint64_t MAX_GATHER_NS = 1000 * 1000;

  Queue(std::string dir, const QueueOptions& options);

  // The bodies of the operations, run inside the frame.
  Status expire_leases(uint64_t now_ms);
  // The delivered form of a message just leased: its body read back.
  Result<DeliveredMessage> delivered(uint64_t seq);
  // Appends a record, applies it, and (unless batch) runs the sync policy.
  Status append_and_apply(const LogRecord& record, uint64_t record_offset, bool keep_body,
                          bool batch);
  // The same for the kinds other than Enqueue.
  Status append_and_apply(const LogRecord& record, bool batch);
  // Runs `operation` inside the frame and, if it succeeds, commits it.
  template <typename Operation>
  auto framed(bool catch_up, Operation&& operation) -> decltype(operation());
  // Group commit: the default policy (an fsync per call) on a persistent
  // queue syncs after releasing the process lock.
  bool group_commit() const { return persistent() && options_.sync_interval_ms == 0; }
  // The sync of an operation's records: by the policy at once, or (group
  // commit) left to the commit.
  Status sync_records(bool force);
  // Returns once a completed fsync covers the log up to `need`: led by this
  // process, or by another whose fsync covered it.
  Status make_durable(CommitMarks& marks, uint64_t generation, uint64_t need);
  // One fsync that covers `need` and whatever else was published before
  // it began, with the marks kept up to date (by the leader, also the size
  // of its round).
  Status sync_covering(CommitMarks& marks, uint64_t generation, uint64_t need, bool leading);
  // Whether the synced mark, which covers this call's records, can be
  // believed (see mark_checks.h).
  Result<bool> synced_mark_believed(CommitMarks& marks, uint64_t generation);
  // The fsync of a call whose covering mark was not believed; corrects the mark.
  Status sync_despite_mark(CommitMarks& marks, uint64_t generation, uint64_t need);
  // After this process replayed the log or cut its tail: marks that claim
  // more than the log now holds (its tail was damaged and cut, or it was
  // changed while no process had it open) are cleared, silently.
  void forget_marks_beyond(uint64_t end);
  // After a compaction or purge: the new log is durable as a whole.
  void note_durable_rewrite();
  // Compacts after a removal when the log is worth it. A failure is not the
  // removal's: it is reported once on standard error and retried later.
  void auto_compact_check();
  // Before the release: whether a call that appended had the log to itself
  // (see exclusive_check.cc). An error if not.
  Status check_held_alone(uint64_t start_pos, uint64_t start_generation, uint64_t start_next_seq);
  // Runs before the log is cut: a frame that looks damaged may be one that
  // another holder is still writing, if the lock word is no longer ours.
  Status before_cut();
  // After a release that found the lock word changed.
  void note_lock_word_changed();
  // Whole frames that others appended to the log this process is rewriting,
  // past *read_to, which moves past them (none unless the lock word was
  // changed), without Enqueues of ids the rewrite or `seen` already holds.
  // *repeats_held says whether an Enqueue of an id the rewrite holds was
  // left out.
  Result<std::string> appends_behind_rewrite(uint64_t* read_to,
                                             std::unordered_set<uint64_t>* seen,
                                             bool* repeats_held);
  // Appends frames carried over to the new log, durably.
  Status carry_over(const std::string& frames);
  // Applies what other processes appended, or reloads a replaced log.
  Status catch_up();
  // Replays the whole log into a fresh state and reopens the handles;
  // `replaced`: the path names another file than the one this process had.
  Status reload(bool replaced = false);
  // Rewrites the log to the present messages under generation + 1.
  Status compact_log();
  // Replaces the log by an empty one under generation + 1.
  Status purge_log();

  const std::string dir_;
  const QueueOptions options_;
  std::unique_ptr<ProcessLock> lock_;  // absent for ":memory:"

  std::mutex mutex_;  // guards everything below
  QueueState state_;
  LogStorage storage_;
  MarkChecks mark_checks_;
  // An operation was cut short by an exception; the next one replays the log.
  bool stale_ = false;
  // Automatic compaction that failed: when to try again, and whether the
  // failure has been reported.
  uint64_t auto_compact_retry_ms_ = 0;
  uint64_t auto_compact_backoff_ms_ = 0;
  bool auto_compact_failing_ = false;
  // How long this process's last fsync took.
  uint64_t last_fsync_ns_ = 0;
};

// Refuses a body that one log record cannot hold, before anything is written.
Status check_body_size(uint64_t body_len);

}  // namespace ferrow

#endif  // FERROW_QUEUE_QUEUE_H_
