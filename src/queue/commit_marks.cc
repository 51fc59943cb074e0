#include "queue/commit_marks.h"

#include <algorithm>
#include <atomic>

#include "queue/clock.h"
#include "queue/proc_lock_layout.h"
#include "queue/shared_word.h"

namespace ferrow {
namespace {

constexpr uint64_t LEADER_CHECK_NS = 1000000;
constexpr unsigned TAG_SHIFT = MARK_TAG_SHIFT;
constexpr uint64_t OFFSET_MASK = MARK_OFFSET_MASK;

uint64_t tag_of(uint64_t generation) { return generation & 0xFFFF; }
uint64_t make_mark(uint64_t generation, uint64_t end) {
  return tag_of(generation) << TAG_SHIFT | (end & OFFSET_MASK);
}

bool covers(uint64_t mark, uint64_t generation, uint64_t end) {
  return mark != 0 && mark >> TAG_SHIFT == tag_of(generation) && (mark & OFFSET_MASK) >= end;
}

// Raises the mark at `at` to (generation, end) unless it already covers as
// much, or names a later generation (tags compare by serial arithmetic).
void raise_mark(char* at, uint64_t generation, uint64_t end) {
  std::atomic_ref<uint64_t> mark = shared<uint64_t>(at);
  const uint64_t wanted = make_mark(generation, end);
  uint64_t seen = mark.load(std::memory_order_acquire);
  for (;;) {
    if (seen != 0) {
      const uint16_t ahead = static_cast<uint16_t>((seen >> TAG_SHIFT) - tag_of(generation));
      if (ahead == 0 && (seen & OFFSET_MASK) >= end) return;
      if (ahead != 0 && ahead < 0x8000) return;  // a later generation's
    }
    if (mark.compare_exchange_weak(seen, wanted, std::memory_order_acq_rel)) return;
  }
}

}  // namespace

void CommitMarks::publish_appended(uint64_t generation, uint64_t end) {
  // Never over a later generation's mark: under the lock nobody else
  // publishes, but a holder let in beside a rewriter (the lock word changed
  // under one of them) must not erase the rewriter's announcement.
  std::atomic_ref<uint64_t> mark = shared<uint64_t>(header_ + APPENDED_OFFSET);
  uint64_t seen = mark.load(std::memory_order_acquire);
  do {
    const uint16_t ahead = static_cast<uint16_t>((seen >> TAG_SHIFT) - tag_of(generation));
    if (seen != 0 && ahead != 0 && ahead < 0x8000) return;
  } while (!mark.compare_exchange_weak(seen, make_mark(generation, end), std::memory_order_acq_rel));
}

uint64_t CommitMarks::appended(uint64_t generation) const {
  const uint64_t mark = shared<uint64_t>(header_ + APPENDED_OFFSET).load(std::memory_order_acquire);
  return mark >> TAG_SHIFT == tag_of(generation) ? mark & OFFSET_MASK : 0;
}

bool CommitMarks::synced_covers(uint64_t generation, uint64_t end) const {
  return covers(shared<uint64_t>(header_ + SYNCED_OFFSET).load(std::memory_order_acquire),
                generation, end);
}

uint64_t CommitMarks::synced(uint64_t generation) const {
  const uint64_t mark = shared<uint64_t>(header_ + SYNCED_OFFSET).load(std::memory_order_acquire);
  return mark != 0 && mark >> TAG_SHIFT == tag_of(generation) ? mark & OFFSET_MASK : 0;
}

void CommitMarks::correct_synced(uint64_t generation, uint64_t from, uint64_t to) {
  uint64_t expected = make_mark(generation, from);
  shared<uint64_t>(header_ + SYNCED_OFFSET)
      .compare_exchange_strong(expected, make_mark(generation, to), std::memory_order_acq_rel);
}

void CommitMarks::forget_beyond(uint64_t generation, uint64_t end) {
  for (size_t offset : {APPENDED_OFFSET, SYNCED_OFFSET}) {
    std::atomic_ref<uint64_t> mark = shared<uint64_t>(header_ + offset);
    uint64_t seen = mark.load(std::memory_order_acquire);
    if (seen != 0 && seen >> TAG_SHIFT == tag_of(generation) && (seen & OFFSET_MASK) > end) {
      mark.compare_exchange_strong(seen, 0, std::memory_order_acq_rel);
    }
  }
}

// No log ends at byte 1, so this end says "being rewritten".
constexpr uint64_t REWRITING_END = 1;

void CommitMarks::announce_rewrite(uint64_t generation) {
  publish_appended(generation, REWRITING_END);
}

bool CommitMarks::rewrite_unfinished(uint64_t generation) const {
  return appended(generation) == REWRITING_END;
}

uint64_t CommitMarks::appended_word() const {
  return shared<uint64_t>(header_ + APPENDED_OFFSET).load(std::memory_order_acquire);
}

bool CommitMarks::rewrite_finished_in(uint64_t appended_word, uint64_t generation) {
  if (appended_word == 0) return false;
  const uint16_t ahead = static_cast<uint16_t>((appended_word >> TAG_SHIFT) - tag_of(generation));
  if (ahead == 0) return (appended_word & OFFSET_MASK) != REWRITING_END;
  return ahead < 0x8000;
}

void CommitMarks::drop_unfinished_rewrite() {
  std::atomic_ref<uint64_t> mark = shared<uint64_t>(header_ + APPENDED_OFFSET);
  uint64_t seen = mark.load(std::memory_order_acquire);
  if ((seen & OFFSET_MASK) == REWRITING_END) mark.compare_exchange_strong(seen, 0);
}

bool CommitMarks::rewrite_announced_after(uint64_t generation) const {
  const uint64_t mark = shared<uint64_t>(header_ + APPENDED_OFFSET).load(std::memory_order_acquire);
  const uint16_t ahead = static_cast<uint16_t>((mark >> TAG_SHIFT) - tag_of(generation));
  return mark != 0 && ahead != 0 && ahead < 0x8000;
}

bool CommitMarks::announces(uint64_t generation) const {
  // This generation or a later one: another rewrite may have followed it
  // before this process looked.
  for (size_t offset : {APPENDED_OFFSET, SYNCED_OFFSET}) {
    const uint64_t mark = shared<uint64_t>(header_ + offset).load(std::memory_order_acquire);
    const uint16_t ahead = static_cast<uint16_t>((mark >> TAG_SHIFT) - tag_of(generation));
    if (mark != 0 && ahead < 0x8000) return true;
  }
  return false;
}

uint64_t CommitMarks::leader() const {
  return shared<uint64_t>(header_ + LEADER_OFFSET).load(std::memory_order_seq_cst);
}

bool CommitMarks::take_leadership(uint64_t from, uint64_t token) {
  return shared<uint64_t>(header_ + LEADER_OFFSET).compare_exchange_strong(from, token);
}

void CommitMarks::end_leadership(uint64_t token) {
  uint64_t expected = token;
  shared<uint64_t>(header_ + LEADER_OFFSET).compare_exchange_strong(expected, 0);
  wake_sleepers();
}

void CommitMarks::raise_synced(uint64_t generation, uint64_t end) {
  raise_mark(header_ + SYNCED_OFFSET, generation, end);
  wake_sleepers();
}

// A waiter counts itself among the sleepers before it looks at the marks,
// and a leader changes the marks before it looks at the count (both
// sequentially consistent), so a waiter is either seen and woken or sees
// the change itself.
void CommitMarks::wake_sleepers() {
  if (shared<uint32_t>(header_ + SLEEPERS_OFFSET).load(std::memory_order_seq_cst) != 0) {
    futex_wake_all(header_ + SYNCED_OFFSET);
  }
}

CommitMarks::Waited CommitMarks::wait_for_leader(uint64_t generation, uint64_t end,
                                                 uint64_t leader, uint64_t timeout_ms,
                                                 const std::function<bool()>& leader_alive) {
  std::atomic_ref<uint32_t> sleepers = shared<uint32_t>(header_ + SLEEPERS_OFFSET);
  std::atomic_ref<uint64_t> synced = shared<uint64_t>(header_ + SYNCED_OFFSET);
  const uint64_t deadline = monotonic_ns() + timeout_ms * 1000000;
  sleepers.fetch_add(1, std::memory_order_seq_cst);
  wake_gathering_leader();
  Waited outcome;
  for (;;) {
    const uint64_t seen = synced.load(std::memory_order_seq_cst);
    if (covers(seen, generation, end)) {
      outcome = Waited::Covered;
      break;
    }
    if (this->leader() != leader) {
      outcome = Waited::LeaderChanged;
      break;
    }
    const uint64_t now = monotonic_ns();
    if (now >= deadline) {
      outcome = Waited::TimedOut;
      break;
    }
    if (!leader_alive()) {
      outcome = Waited::LeaderDead;
      break;
    }
    const uint64_t left = std::min(deadline - now, LEADER_CHECK_NS);
    // Woken by a raise or the end of a leadership, or the lower half already
    // changed: look again.
    futex_wait(header_ + SYNCED_OFFSET, static_cast<uint32_t>(seen), left);
  }
  sleepers.fetch_sub(1, std::memory_order_seq_cst);
  return outcome;
}

// Only the leader writes the word (its flag, the count), so plain stores do.
// It counts before it raises `synced`: the raise wakes the waiters, who stop
// counting themselves.
void CommitMarks::note_round_size() {
  const uint32_t waited =
      shared<uint32_t>(header_ + SLEEPERS_OFFSET).load(std::memory_order_seq_cst);
  shared<uint32_t>(header_ + GATHERING_OFFSET)
      .store(std::min(waited, GATHERING_BIT - 1), std::memory_order_seq_cst);
}

void CommitMarks::gather_followers(uint64_t limit_ns) {
  std::atomic_ref<uint32_t> gathering = shared<uint32_t>(header_ + GATHERING_OFFSET);
  std::atomic_ref<uint32_t> sleepers = shared<uint32_t>(header_ + SLEEPERS_OFFSET);
  const uint32_t expected = gathering.load(std::memory_order_seq_cst) & ~GATHERING_BIT;
  if (expected == 0) return;
  // The flag goes up before the count is read, and a follower counts itself
  // before it reads the flag: either it sees the flag and wakes us, or we
  // see it counted.
  gathering.store(expected | GATHERING_BIT, std::memory_order_seq_cst);
  const uint64_t deadline = monotonic_ns() + limit_ns;
  for (;;) {
    const uint32_t seen = sleepers.load(std::memory_order_seq_cst);
    if (seen >= expected) break;
    const uint64_t now = monotonic_ns();
    if (now >= deadline) break;
    futex_wait(header_ + SLEEPERS_OFFSET, seen, deadline - now);
  }
  gathering.store(expected, std::memory_order_seq_cst);
}

void CommitMarks::wake_gathering_leader() {
  if (shared<uint32_t>(header_ + GATHERING_OFFSET).load(std::memory_order_seq_cst) &
      GATHERING_BIT) {
    futex_wake_all(header_ + SLEEPERS_OFFSET);
  }
}

}  // namespace ferrow
