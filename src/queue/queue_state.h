// The in-memory index of one open queue. It holds nothing the log does not
// hold: every change goes through apply_record(), so a state rebuilt by
// replaying the log equals the state that live operation produced.
//
// Not thread-safe: the queue object guards it with its mutex (and, for a
// persistent queue, the process lock).
#ifndef FERROW_QUEUE_QUEUE_STATE_H_
#define FERROW_QUEUE_QUEUE_STATE_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <queue>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "queue/log_format.h"

namespace ferrow {

struct MessageEntry {
  // Present only for entries made by a live enqueue on a ":memory:" queue;
  // every other body is read back from the log at body_offset.
  std::unique_ptr<std::string> body;
  uint64_t enqueued_ts_ms = 0;
  uint64_t body_offset = 0;  // absolute offset of the first body byte in queue.log
  uint64_t deadline_ms = 0;  // the current lease deadline; meaningful while in_flight
  uint32_t deliveries = 0;
  uint32_t body_len = 0;
  bool in_flight = false;    // leased; otherwise ready
};

// A pair of the lease schedule, ordered by deadline first and seq second.
using LeasePair = std::pair<uint64_t, uint64_t>;  // (deadline_ms, seq)

class QueueState {
 public:
  QueueState() = default;
  QueueState(QueueState&&) = default;
  QueueState& operator=(QueueState&&) = default;
  QueueState(const QueueState&) = delete;
  QueueState& operator=(const QueueState&) = delete;

  // Applies one record (an Enqueue body is copied only when kept). `record_offset` is the offset of the record's frame in
  // queue.log (only Enqueue uses it); `keep_body` keeps an Enqueue body in the
  // entry. Records naming an absent seq change nothing. Never fails.
  void apply_record(const LogRecord& record, uint64_t record_offset, bool keep_body);

  // Empties every container and sets next_seq, live_bytes and the counters to 0.
  void reset();

  const MessageEntry* find(uint64_t seq) const;
  // The smallest ready seq, if any.
  std::optional<uint64_t> smallest_ready();

  // The front of the lease schedule (possibly stale), and its removal.
  const LeasePair* schedule_front() const;
  void pop_schedule_front();

  // Compaction moves bodies to new offsets and changes nothing else.
  void set_body_offset(uint64_t seq, uint64_t body_offset);
  const std::unordered_map<uint64_t, MessageEntry>& messages() const { return messages_; }

  uint64_t ready_count() const { return ready_count_; }
  uint64_t in_flight_count() const { return messages_.size() - ready_count_; }
  uint64_t message_count() const { return messages_.size(); }

  uint64_t next_seq() const { return next_seq_; }
  // Whether n more ids can be assigned. The largest id is never assigned, so
  // next_seq never wraps back to ids that may still be present.
  bool ids_left(uint64_t n) const { return next_seq_ != UINT64_MAX && n <= UINT64_MAX - next_seq_; }
  uint64_t live_bytes() const { return live_bytes_; }
  uint64_t enqueued_total() const { return enqueued_total_; }
  uint64_t acked_total() const { return acked_total_; }
  uint64_t dead_total() const { return dead_total_; }
  uint64_t requeued_total() const { return requeued_total_; }

 private:
  void apply(const EnqueueRecord& r, uint64_t record_offset, bool keep_body);
  void apply(const LeasePair& deadline_and_seq, uint32_t deliveries);
  void apply_requeue(uint64_t seq, uint32_t deliveries);
  // Ack and Dead: removes a present message, returns whether it was present.
  bool remove(uint64_t seq);

  // Lapsed leases are found from the front; stale pairs (acked, requeued or
  // re-leased since) stay until they come due and are then discarded.
  std::priority_queue<LeasePair, std::vector<LeasePair>, std::greater<LeasePair>> lease_schedule_;
  std::unordered_map<uint64_t, MessageEntry> messages_;
  // `ready` is the set of present entries that are not in flight. It is kept
  // as a min-heap of seqs with lazy deletion: an entry is pushed when it
  // becomes ready and skipped when it reaches the top no longer ready.
  std::priority_queue<uint64_t, std::vector<uint64_t>, std::greater<uint64_t>> ready_heap_;
  uint64_t ready_count_ = 0;
  uint64_t next_seq_ = 0;
  uint64_t live_bytes_ = 0;
  uint64_t enqueued_total_ = 0;
  uint64_t acked_total_ = 0;
  uint64_t dead_total_ = 0;
  uint64_t requeued_total_ = 0;
};

}  // namespace ferrow

#endif  // FERROW_QUEUE_QUEUE_STATE_H_
