#include "queue/queue_state.h"

#include <algorithm>
#include <new>
#include <type_traits>
#include <utility>
#include <variant>

namespace ferrow {

void QueueState::apply_record(const LogRecord& record, uint64_t record_offset, bool keep_body) {
  // By kind, not by position in the variant: a kind without its transition
  // does not compile.
  std::visit(
      [&](const auto& r) {
        using T = std::decay_t<decltype(r)>;
        if constexpr (std::is_same_v<T, EnqueueRecord>) {
          apply_enqueue(r, record_offset, keep_body);
        } else if constexpr (std::is_same_v<T, AckRecord>) {
          if (remove(r.seq)) acked_total_++;
        } else if constexpr (std::is_same_v<T, LeaseRecord>) {
          apply_lease(r);
        } else if constexpr (std::is_same_v<T, RequeueRecord>) {
          apply_requeue(r);
        } else {
          static_assert(std::is_same_v<T, DeadRecord>, "every record kind has its transition");
          if (remove(r.seq)) dead_total_++;
        }
      },
      record);
}

QueueState::ChunkTable& QueueState::ChunkTable::operator=(ChunkTable&& other) noexcept {
  if (this == &other) return *this;
  destroy_all();
  map_ = std::move(other.map_);
  pool_ = std::move(other.pool_);
  spare_ = std::exchange(other.spare_, nullptr);
  return *this;
}

void QueueState::ChunkTable::destroy_all() {
  // The pool's slabs go with it; only what the chunks own needs freeing.
  map_.for_each([](uint64_t, Chunk* chunk) { chunk->~Chunk(); });
  map_.clear();
  if (spare_ != nullptr) spare_->~Chunk();
  spare_ = nullptr;
}

QueueState::Chunk* QueueState::ChunkTable::add(uint64_t id) {
  Chunk* chunk = std::exchange(spare_, nullptr);
  // Default-initialised: the entry arrays are written when ids arrive, so
  // zeroing them first would only cost time.
  if (chunk == nullptr) chunk = new (pool_.allocate()) Chunk;
  try {
    map_.insert(id, chunk);
  } catch (...) {  // the map could not grow: the chunk goes back
    spare_ = chunk;
    throw;
  }
  return chunk;
}

void QueueState::ChunkTable::remove(uint64_t id, Chunk* chunk) {
  map_.erase(id);
  if (spare_ == nullptr) {
    spare_ = chunk;
    return;
  }
  chunk->~Chunk();
  pool_.release(chunk);
}

QueueState::Chunk* QueueState::lookup_chunk(uint64_t id) const {
  Chunk* found = chunks_.find(id);
  if (found == nullptr) return nullptr;
  cached_id_ = id;
  cached_chunk_ = found;
  return found;
}

QueueState::Chunk& QueueState::add_chunk(uint64_t id) {
  Chunk* chunk = chunks_.add(id);
  if (id >= chunk_ids_end_) chunk_ids_end_ = id + 1;
  cached_id_ = id;
  cached_chunk_ = chunk;
  return *chunk;
}

void QueueState::release_chunk_if_empty(uint64_t id, Chunk& chunk) {
  // The chunk that the next id belongs to stays, empty: a queue that holds
  // one message at a time would otherwise remove and add it per message.
  if (chunk.present != 0 || id == chunk_id(next_seq_)) return;
  if (cached_id_ == id) {
    cached_id_ = UINT64_MAX;
    cached_chunk_ = nullptr;
  }
  ready_chunks_.erase(id);
  // Empty means every bit is clear and every kept body released, which is
  // all a reused chunk needs: entries are overwritten when ids arrive.
  chunks_.remove(id, &chunk);
}

void QueueState::list_ready_chunk(uint64_t id) {
  // Chunks mostly become ready in ascending order: at the end, no search.
  if (ready_chunks_.empty() || id > *ready_chunks_.rbegin()) {
    ready_chunks_.emplace_hint(ready_chunks_.end(), id);
  } else {
    ready_chunks_.insert(id);
  }
}

void QueueState::prune_ready_chunks() const {
  while (!ready_chunks_.empty()) {
    const uint64_t id = *ready_chunks_.begin();
    Chunk* chunk = chunk_of(id << CHUNK_BITS);
    if (chunk->ready != 0) return;
    ready_chunks_.erase(ready_chunks_.begin());
  }
}

QueueState::Leases& QueueState::leases_for(uint64_t seq, Chunk& chunk) {
  if (!chunk.leases) {
    chunk.leases = spare_leases_ ? std::move(spare_leases_) : std::make_unique<Leases>();
  }
  if (!(chunk.leased & bit(seq))) {
    chunk.leased |= bit(seq);
    chunk.leases->deliveries[slot(seq)] = 0;
    chunk.leases->deadline_ms[slot(seq)] = 0;
  }
  return *chunk.leases;
}

void QueueState::drop_lease(uint64_t seq, Chunk& chunk) {
  chunk.leased &= ~bit(seq);
  if (chunk.leased == 0 && chunk.leases) spare_leases_ = std::move(chunk.leases);
}

void QueueState::apply_enqueue(const EnqueueRecord& r, uint64_t record_offset, bool keep_body) {
  // Saturates rather than wrapping: a (foreign) log holding the largest id
  // leaves no ids to hand out, instead of restarting at 0 over live ones.
  if (r.seq >= next_seq_) {
    const uint64_t head = chunk_id(next_seq_);
    next_seq_ = r.seq == UINT64_MAX ? UINT64_MAX : r.seq + 1;
    // The chunk kept empty for the next id is not that chunk any more.
    if (chunk_id(next_seq_) != head && head < chunk_ids_end_) {
      if (Chunk* previous = chunk_of(head << CHUNK_BITS)) release_chunk_if_empty(head, *previous);
    }
  }
  live_bytes_ += r.body.size() + ENQUEUE_BODY_OFFSET;

  Chunk& chunk = chunk_for_insert(r.seq);
  const uint64_t b = bit(r.seq);
  const size_t i = slot(r.seq);
  // An entry already stored under seq is replaced, standing and all. Only a
  // log this system did not write repeats a seq.
  if (chunk.present & b) {
    if (chunk.ready & b) clear_ready(r.seq, chunk);
    drop_lease(r.seq, chunk);
  } else {
    chunk.present |= b;
    message_count_++;
  }
  chunk.enqueued_ts_ms[i] = r.enqueued_ts_ms;
  chunk.body_offset[i] = record_offset + ENQUEUE_BODY_OFFSET;
  chunk.body_len[i] = static_cast<uint32_t>(r.body.size());
  if (keep_body) {
    if (!chunk.bodies) chunk.bodies = std::make_unique<std::array<std::string, CHUNK_LEN>>();
    (*chunk.bodies)[i].assign(r.body);
    chunk.kept |= b;
  } else if (chunk.kept & b) {
    (*chunk.bodies)[i] = std::string();
    chunk.kept &= ~b;
  }
  set_ready(r.seq, chunk);
  enqueued_total_++;
}

void QueueState::apply_lease(const LeaseRecord& r) {
  Chunk* chunk = chunk_of(r.seq);
  if (chunk == nullptr || !(chunk->present & bit(r.seq))) return;
  Leases& leases = leases_for(r.seq, *chunk);
  leases.deliveries[slot(r.seq)] = r.deliveries;
  leases.deadline_ms[slot(r.seq)] = r.deadline_ms;
  if (chunk->ready & bit(r.seq)) clear_ready(r.seq, *chunk);
  if (!replaying_) lease_schedule_.push(LeasePair(r.deadline_ms, r.seq));
}

void QueueState::apply_requeue(const RequeueRecord& r) {
  Chunk* chunk = chunk_of(r.seq);
  if (chunk == nullptr || !(chunk->present & bit(r.seq))) return;
  // A message that was never delivered needs no lease entry to say so.
  if (r.deliveries == 0) {
    drop_lease(r.seq, *chunk);
  } else {
    leases_for(r.seq, *chunk).deliveries[slot(r.seq)] = r.deliveries;
  }
  if (!(chunk->ready & bit(r.seq))) set_ready(r.seq, *chunk);
  requeued_total_++;
}

bool QueueState::remove(uint64_t seq) {
  Chunk* chunk = chunk_of(seq);
  if (chunk == nullptr || !(chunk->present & bit(seq))) return false;
  const size_t i = slot(seq);
  const uint64_t size = uint64_t{chunk->body_len[i]} + ENQUEUE_BODY_OFFSET;
  live_bytes_ = live_bytes_ >= size ? live_bytes_ - size : 0;
  if (chunk->ready & bit(seq)) clear_ready(seq, *chunk);
  drop_lease(seq, *chunk);
  if (chunk->kept & bit(seq)) (*chunk->bodies)[i] = std::string();
  chunk->kept &= ~bit(seq);
  chunk->present &= ~bit(seq);
  message_count_--;
  release_chunk_if_empty(chunk_id(seq), *chunk);
  return true;
}

void QueueState::reset() { *this = QueueState(); }

void QueueState::end_replay() {
  replaying_ = false;
  std::vector<LeasePair> running;
  running.reserve(message_count_ - ready_count_);
  chunks_.for_each([&](uint64_t id, const Chunk& chunk) {
    for (uint64_t bits = chunk.present & ~chunk.ready; bits != 0; bits &= bits - 1) {
      const unsigned i = static_cast<unsigned>(std::countr_zero(bits));
      running.emplace_back(chunk.leases->deadline_ms[i], (id << CHUNK_BITS) + i);
    }
  });
  lease_schedule_ = decltype(lease_schedule_)(std::greater<LeasePair>(), std::move(running));
}

MessageEntry QueueState::entry_at(uint64_t seq, const Chunk& chunk) const {
  const size_t i = slot(seq);
  MessageEntry entry;
  entry.enqueued_ts_ms = chunk.enqueued_ts_ms[i];
  entry.body_offset = chunk.body_offset[i];
  entry.body_len = chunk.body_len[i];
  entry.in_flight = !(chunk.ready & bit(seq));
  if (chunk.leased & bit(seq)) {
    entry.deliveries = chunk.leases->deliveries[i];
    if (entry.in_flight) entry.deadline_ms = chunk.leases->deadline_ms[i];
  }
  return entry;
}

const MessageEntry* QueueState::find(uint64_t seq) const {
  const Chunk* chunk = chunk_of(seq);
  if (chunk == nullptr || !(chunk->present & bit(seq))) return nullptr;
  found_ = entry_at(seq, *chunk);
  return &found_;
}

bool QueueState::contains(uint64_t seq) const {
  const Chunk* chunk = chunk_of(seq);
  return chunk != nullptr && (chunk->present & bit(seq));
}

uint32_t QueueState::deliveries_of(uint64_t seq) const {
  const Chunk* chunk = chunk_of(seq);
  if (chunk == nullptr || !(chunk->leased & bit(seq))) return 0;
  return chunk->leases->deliveries[slot(seq)];
}

const std::string* QueueState::kept_body(uint64_t seq) const {
  const Chunk* chunk = chunk_of(seq);
  if (chunk == nullptr || !(chunk->kept & bit(seq))) return nullptr;
  return &(*chunk->bodies)[slot(seq)];
}

std::optional<uint64_t> QueueState::smallest_ready() const {
  prune_ready_chunks();
  if (ready_chunks_.empty()) return std::nullopt;
  const uint64_t id = *ready_chunks_.begin();
  const Chunk* chunk = chunk_of(id << CHUNK_BITS);
  return (id << CHUNK_BITS) + static_cast<uint64_t>(std::countr_zero(chunk->ready));
}

std::vector<uint64_t> QueueState::smallest_ready(uint64_t max) const {
  std::vector<uint64_t> seqs;
  seqs.reserve(std::min(max, ready_count_));
  prune_ready_chunks();
  for (uint64_t id : ready_chunks_) {
    for (uint64_t bits = chunk_of(id << CHUNK_BITS)->ready; bits != 0; bits &= bits - 1) {
      if (seqs.size() == max) return seqs;
      seqs.push_back((id << CHUNK_BITS) + static_cast<uint64_t>(std::countr_zero(bits)));
    }
  }
  return seqs;
}

const LeasePair* QueueState::schedule_front() const {
  return lease_schedule_.empty() ? nullptr : &lease_schedule_.top();
}

void QueueState::pop_schedule_front() { lease_schedule_.pop(); }

void QueueState::set_body_offset(uint64_t seq, uint64_t body_offset) {
  Chunk* chunk = chunk_of(seq);
  if (chunk != nullptr && (chunk->present & bit(seq))) chunk->body_offset[slot(seq)] = body_offset;
}

void QueueState::for_each_message(
    const std::function<void(uint64_t, const MessageEntry&)>& visit) const {
  std::vector<uint64_t> ids;
  ids.reserve(chunks_.size());
  chunks_.for_each([&ids](uint64_t id, const Chunk&) { ids.push_back(id); });
  std::sort(ids.begin(), ids.end());
  for (uint64_t id : ids) {
    const Chunk& chunk = *chunks_.find(id);
    for (uint64_t bits = chunk.present; bits != 0; bits &= bits - 1) {
      const uint64_t seq = (id << CHUNK_BITS) + static_cast<uint64_t>(std::countr_zero(bits));
      visit(seq, entry_at(seq, chunk));
    }
  }
}

}  // namespace ferrow
