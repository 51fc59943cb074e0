// How far the shared log is known to be written and durable, kept in
// `.proc_lock` beside the lock word, so that a process can release the lock
// before its fsync and still return only what a power loss cannot undo.
//
//   offset 24  appended (u64): end of the records written so far; stored by
//              the lock holder before it releases the lock.
//   offset 32  syncing (u64): the largest end an fsync now running covers.
//   offset 40  synced (u64): the largest end a completed fsync covered.
//   offset 48  sleepers (u32): processes waiting for `synced` to rise (a
//              futex on its lower half).
//   offset 56  leader (u64): lock token of the process whose fsync set
//              `syncing` last, so that a waiter can tell it died.
//
// Each mark is tag << 48 | offset, the tag being the log's generation
// modulo 2^16: a mark of another generation says nothing about this one's
// file, and a slow process that finishes an fsync of a log already
// rewritten must not lower a newer generation's mark. 0 knows nothing, which
// is what builds without these marks leave (their processes fsync inside
// the lock, so treating everything as unsynced costs an fsync, never
// durability).
//
// An fsync covers every byte written before it began: a process that reads
// `appended` and then fsyncs may raise `synced` to what it read.
#ifndef FERROW_QUEUE_COMMIT_MARKS_H_
#define FERROW_QUEUE_COMMIT_MARKS_H_

#include <cstdint>
#include <functional>

namespace ferrow {

class CommitMarks {
 public:
  // `header` is the start of the shared mapping of `.proc_lock`.
  explicit CommitMarks(char* header) : header_(header) {}

  // REQUIRES: the process lock. Records that the log of `generation` holds
  // written records up to `end`.
  void publish_appended(uint64_t generation, uint64_t end);
  // The end last published for this generation, or 0.
  uint64_t appended(uint64_t generation) const;

  bool synced_covers(uint64_t generation, uint64_t end) const;
  bool syncing_covers(uint64_t generation, uint64_t end) const;
  // Says that an fsync covering `end` has begun (by the owner of `token`) /
  // has completed.
  void announce_syncing(uint64_t generation, uint64_t end, uint64_t token);
  void raise_synced(uint64_t generation, uint64_t end);
  // After a failed fsync: clears the leader (if still `token`) and wakes
  // the waiters, who then sync for themselves.
  void abandon_syncing(uint64_t token);
  uint64_t leader() const;
  // Sleeps until `synced` covers `end`, at most `timeout_ms` and only while
  // `leader_alive()` says so (asked at each wake-up, at least every
  // millisecond); says whether it does.
  bool wait_synced(uint64_t generation, uint64_t end, uint64_t timeout_ms,
                   const std::function<bool()>& leader_alive);

 private:
  void wake_sleepers();
  char* header_;
};

}  // namespace ferrow

#endif  // FERROW_QUEUE_COMMIT_MARKS_H_
