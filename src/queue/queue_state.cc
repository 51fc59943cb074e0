#include "queue/queue_state.h"


namespace ferrow {

void QueueState::apply_record(const LogRecord& record, uint64_t record_offset, bool keep_body) {
  switch (record.index()) {
    case 0:
      apply(std::get<EnqueueRecord>(record), record_offset, keep_body);
      return;
    case 1:
      if (remove(std::get<AckRecord>(record).seq)) acked_total_++;
      return;
    case 2: {
      const LeaseRecord& r = std::get<LeaseRecord>(record);
      apply(LeasePair(r.deadline_ms, r.seq), r.deliveries);
      return;
    }
    case 3: {
      const RequeueRecord& r = std::get<RequeueRecord>(record);
      apply_requeue(r.seq, r.deliveries);
      return;
    }
    case 4:
      if (remove(std::get<DeadRecord>(record).seq)) dead_total_++;
      return;
  }
}

void QueueState::apply(const EnqueueRecord& r, uint64_t record_offset, bool keep_body) {
  // Saturates rather than wrapping: a (foreign) log holding the largest id
  // leaves no ids to hand out, instead of restarting at 0 over live ones.
  if (r.seq >= next_seq_) next_seq_ = r.seq == UINT64_MAX ? UINT64_MAX : r.seq + 1;
  live_bytes_ += r.body.size() + ENQUEUE_BODY_OFFSET;

  auto [it, inserted] = messages_.try_emplace(r.seq);
  MessageEntry& entry = it->second;
  // An entry already stored under seq is replaced, standing and all. Only a
  // log this system did not write repeats a seq.
  if (!inserted && !entry.in_flight) ready_count_--;
  entry.body = keep_body ? std::make_unique<std::string>(r.body) : nullptr;
  entry.enqueued_ts_ms = r.enqueued_ts_ms;
  entry.body_offset = record_offset + ENQUEUE_BODY_OFFSET;
  entry.deadline_ms = 0;
  entry.deliveries = 0;
  entry.body_len = static_cast<uint32_t>(r.body.size());
  entry.in_flight = false;
  ready_count_++;
  ready_heap_.push(r.seq);
  enqueued_total_++;
}

void QueueState::apply(const LeasePair& deadline_and_seq, uint32_t deliveries) {
  auto it = messages_.find(deadline_and_seq.second);
  if (it == messages_.end()) return;
  MessageEntry& entry = it->second;
  entry.deliveries = deliveries;
  if (!entry.in_flight) {
    entry.in_flight = true;
    ready_count_--;
  }
  entry.deadline_ms = deadline_and_seq.first;
  lease_schedule_.push(deadline_and_seq);
}

void QueueState::apply_requeue(uint64_t seq, uint32_t deliveries) {
  auto it = messages_.find(seq);
  if (it == messages_.end()) return;
  MessageEntry& entry = it->second;
  entry.deliveries = deliveries;
  if (entry.in_flight) {
    entry.in_flight = false;
    ready_count_++;
    ready_heap_.push(seq);
  }
  requeued_total_++;
}

bool QueueState::remove(uint64_t seq) {
  auto it = messages_.find(seq);
  if (it == messages_.end()) return false;
  const uint64_t size = uint64_t{it->second.body_len} + ENQUEUE_BODY_OFFSET;
  live_bytes_ = live_bytes_ >= size ? live_bytes_ - size : 0;
  if (!it->second.in_flight) ready_count_--;
  messages_.erase(it);
  return true;
}

void QueueState::reset() { *this = QueueState(); }

const MessageEntry* QueueState::find(uint64_t seq) const {
  auto it = messages_.find(seq);
  return it == messages_.end() ? nullptr : &it->second;
}

std::optional<uint64_t> QueueState::smallest_ready() {
  if (ready_count_ == 0) return std::nullopt;
  while (!ready_heap_.empty()) {
    const uint64_t seq = ready_heap_.top();
    const MessageEntry* entry = find(seq);
    if (entry != nullptr && !entry->in_flight) return seq;
    ready_heap_.pop();  // stale: removed or leased since it was pushed
  }
  return std::nullopt;
}

const LeasePair* QueueState::schedule_front() const {
  return lease_schedule_.empty() ? nullptr : &lease_schedule_.top();
}

void QueueState::pop_schedule_front() { lease_schedule_.pop(); }

void QueueState::set_body_offset(uint64_t seq, uint64_t body_offset) {
  auto it = messages_.find(seq);
  if (it != messages_.end()) it->second.body_offset = body_offset;
}

}  // namespace ferrow
