// The in-memory index of one open queue. It holds nothing the log does not
// hold: every change goes through apply_record(), so a state rebuilt by
// replaying the log equals the state that live operation produced.
//
// Message ids are dense and mostly increasing, so entries live in chunks of
// 64 consecutive ids rather than in per-message nodes, each field in an
// array of its own: a dense queue costs about 21 bytes per live message (an
// enqueue time, a body offset and a body length, plus a share of the
// chunk's bitmaps and of the tables below). A lookup is one hash probe per
// chunk, and usually none, since consecutive operations touch the same
// chunk. The ready set is a 64-bit bitmap per chunk plus an ordered set of
// the chunks that hold ready messages; a message is in flight when it is
// present and not ready. Deadlines and delivery counts, which only delivered
// messages need, live beside the entries in a block that a chunk holds only
// while one of its messages has them. Even a pathologically sparse queue
// costs at most one chunk per live message. Chunks come from a pool of large
// slabs (block_pool.h) rather than one allocation each.
//
// Not thread-safe: the queue object guards it with its mutex (and, for a
// persistent queue, the process lock).
#ifndef FERROW_QUEUE_QUEUE_STATE_H_
#define FERROW_QUEUE_QUEUE_STATE_H_

#include <array>
#include <bit>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <queue>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "queue/block_pool.h"
#include "queue/flat_map.h"
#include "queue/log_format.h"

namespace ferrow {

// What the state knows of one message, assembled on request.
struct MessageEntry {
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
  QueueState(QueueState&&) noexcept = default;
  QueueState& operator=(QueueState&&) noexcept = default;
  QueueState(const QueueState&) = delete;
  QueueState& operator=(const QueueState&) = delete;

  // Applies one record. `record_offset` is the offset of the record's frame in
  // queue.log (only Enqueue uses it); `keep_body` keeps a copy of an Enqueue
  // body (":memory:" queues, which have no log to read it back from).
  // Records naming an absent seq change nothing. Never fails.
  void apply_record(const LogRecord& record, uint64_t record_offset, bool keep_body);

  // Empties every container and sets next_seq, live_bytes and the counters to 0.
  void reset();

  // Between these two, Lease records leave the schedule alone; the end
  // schedules each lease still running once. A replay of a long log thus
  // never holds a pair for every lease it ever saw.
  void begin_replay() { replaying_ = true; }
  void end_replay();

  // The entry of a present message; valid until the next call of find() or
  // change of the state.
  const MessageEntry* find(uint64_t seq) const;
  bool contains(uint64_t seq) const;
  // The delivery count of a present message.
  uint32_t deliveries_of(uint64_t seq) const;
  // The body kept for a message by a ":memory:" queue, if any.
  const std::string* kept_body(uint64_t seq) const;
  // The smallest ready seq, if any.
  std::optional<uint64_t> smallest_ready() const;
  // Up to `max` of the smallest ready seqs, ascending.
  std::vector<uint64_t> smallest_ready(uint64_t max) const;

  // The front of the lease schedule (possibly stale), and its removal.
  const LeasePair* schedule_front() const;
  void pop_schedule_front();

  // Compaction moves bodies to new offsets and changes nothing else.
  void set_body_offset(uint64_t seq, uint64_t body_offset);
  // Visits every present message in ascending seq order.
  void for_each_message(const std::function<void(uint64_t, const MessageEntry&)>& visit) const;

  uint64_t ready_count() const { return ready_count_; }
  uint64_t in_flight_count() const { return message_count_ - ready_count_; }
  uint64_t message_count() const { return message_count_; }

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
  static constexpr unsigned CHUNK_BITS = 6;
  static constexpr uint64_t CHUNK_LEN = uint64_t{1} << CHUNK_BITS;  // one bit per id in a word

  // What only delivered messages need, for the ids of one chunk: present
  // while any of them is in flight or was delivered before.
  struct Leases {
    uint64_t deadline_ms[CHUNK_LEN];  // meaningful while in flight
    uint32_t deliveries[CHUNK_LEN];
  };
  struct Chunk {
    uint64_t present = 0;  // bit i: id (chunk id * 64 + i) is present
    uint64_t ready = 0;    // bit i: present and not in flight
    uint64_t kept = 0;     // bit i: present with its body in `bodies`
    uint64_t leased = 0;   // bit i: present, with its lease fields in `leases`
    uint64_t enqueued_ts_ms[CHUNK_LEN];
    uint64_t body_offset[CHUNK_LEN];
    uint32_t body_len[CHUNK_LEN];
    std::unique_ptr<Leases> leases;  // while `leased` is not 0
    std::unique_ptr<std::array<std::string, CHUNK_LEN>> bodies;  // ":memory:" queues only
  };
  static_assert(alignof(Chunk) <= alignof(uint64_t), "the pool aligns blocks to 8 bytes");

  // The chunks by id, in memory of their own pool; destroys them with it.
  class ChunkTable {
   public:
    ChunkTable() = default;
    ~ChunkTable() { destroy_all(); }
    ChunkTable(ChunkTable&& other) noexcept { *this = std::move(other); }
    ChunkTable& operator=(ChunkTable&& other) noexcept;
    ChunkTable(const ChunkTable&) = delete;
    ChunkTable& operator=(const ChunkTable&) = delete;

    Chunk* find(uint64_t id) const { return map_.find(id); }
    // A new, empty chunk under an id that has none.
    Chunk* add(uint64_t id);
    // Removes an empty chunk (bits clear, no body kept).
    void remove(uint64_t id, Chunk* chunk);
    size_t size() const { return map_.size(); }
    template <typename Visit>
    void for_each(Visit&& visit) const {
      map_.for_each([&](uint64_t id, Chunk* chunk) { visit(id, *chunk); });
    }

   private:
    void destroy_all();

    FlatMap<Chunk*> map_;
    BlockPool pool_{sizeof(Chunk)};
    // An emptied chunk kept for the next insert, with its lease block and
    // kept bodies' array: a queue drained as fast as it fills would
    // otherwise free and build one per message.
    Chunk* spare_ = nullptr;
  };

  static uint64_t chunk_id(uint64_t seq) { return seq >> CHUNK_BITS; }
  static uint64_t bit(uint64_t seq) { return uint64_t{1} << (seq & (CHUNK_LEN - 1)); }
  static size_t slot(uint64_t seq) { return seq & (CHUNK_LEN - 1); }

  // Inline: every record of a replay passes through these.
  Chunk* chunk_of(uint64_t seq) const {
    const uint64_t id = chunk_id(seq);
    return id == cached_id_ ? cached_chunk_ : lookup_chunk(id);
  }
  Chunk* lookup_chunk(uint64_t id) const;
  Chunk& chunk_for_insert(uint64_t seq) {
    const uint64_t id = chunk_id(seq);
    if (id == cached_id_) return *cached_chunk_;
    // Ids past every chunk made so far (each new chunk of a replay) need
    // no lookup to know they have none.
    Chunk* chunk = id < chunk_ids_end_ ? lookup_chunk(id) : nullptr;
    return chunk != nullptr ? *chunk : add_chunk(id);
  }
  Chunk& add_chunk(uint64_t id);
  void release_chunk_if_empty(uint64_t id, Chunk& chunk);
  void set_ready(uint64_t seq, Chunk& chunk) {
    if (chunk.ready == 0) list_ready_chunk(chunk_id(seq));
    chunk.ready |= bit(seq);
    ready_count_++;
  }
  // A chunk whose last ready message leaves stays listed until a search for
  // the smallest ready id passes it: a queue that holds one message at a
  // time would otherwise add and remove a node of the set per operation.
  void clear_ready(uint64_t seq, Chunk& chunk) {
    chunk.ready &= ~bit(seq);
    ready_count_--;
  }
  // Puts a chunk's id into ready_chunks_ if it is not there yet.
  void list_ready_chunk(uint64_t id);
  // Removes listed chunks without ready messages from the front of the set.
  void prune_ready_chunks() const;
  // The lease fields of a message, which from now on count as set.
  Leases& leases_for(uint64_t seq, Chunk& chunk);
  void drop_lease(uint64_t seq, Chunk& chunk);

  void apply_enqueue(const EnqueueRecord& r, uint64_t record_offset, bool keep_body);
  void apply_lease(const LeaseRecord& r);
  void apply_requeue(const RequeueRecord& r);
  // Ack and Dead: removes a present message, returns whether it was present.
  bool remove(uint64_t seq);
  MessageEntry entry_at(uint64_t seq, const Chunk& chunk) const;

  ChunkTable chunks_;
  // 1 + the largest chunk id ever added (0: none).
  uint64_t chunk_ids_end_ = 0;
  // An emptied lease block kept for the next lease.
  std::unique_ptr<Leases> spare_leases_;
  // Consecutive operations mostly touch one chunk: remember the last one.
  mutable uint64_t cached_id_ = UINT64_MAX;
  mutable Chunk* cached_chunk_ = nullptr;
  mutable MessageEntry found_;  // what find() points to
  // The ids of all chunks that hold a ready message, and maybe of others
  // that held one (pruned from the front); the first holds the smallest.
  // Never the id of a chunk that is gone.
  mutable std::set<uint64_t> ready_chunks_;
  // Lapsed leases are found from the front; stale pairs (acked, requeued or
  // re-leased since) stay until they come due and are then discarded.
  std::priority_queue<LeasePair, std::vector<LeasePair>, std::greater<LeasePair>> lease_schedule_;
  bool replaying_ = false;

  uint64_t message_count_ = 0;
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
