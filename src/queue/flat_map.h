// A hash map from 64-bit keys to pointers in one array (open addressing,
// linear probing, deletion by shifting back): no allocation per entry, so
// filling it from a long log costs a few doublings of one array, and a
// lookup touches one or two cache lines. A slot is a key and a pointer, 16
// bytes: a null pointer marks it free, so null cannot be stored.
//
// The hash mixes in a key chosen per map, so that a log made to collide
// under one process's map does not collide under another's.
//
// Not thread-safe.
#ifndef FERROW_QUEUE_FLAT_MAP_H_
#define FERROW_QUEUE_FLAT_MAP_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

namespace ferrow {

// A fresh hashing key per call.
uint64_t fresh_hash_key();

template <typename V>
class FlatMap {
  static_assert(std::is_pointer_v<V>, "values are pointers; null marks a free slot");

 public:
  FlatMap() : hash_key_(fresh_hash_key()) {}
  FlatMap(FlatMap&& other) noexcept { *this = std::move(other); }
  FlatMap& operator=(FlatMap&& other) noexcept {
    slots_ = std::move(other.slots_);
    size_ = std::exchange(other.size_, 0);
    shift_ = std::exchange(other.shift_, 64);
    hash_key_ = other.hash_key_;
    other.slots_.clear();
    return *this;
  }
  FlatMap(const FlatMap&) = delete;
  FlatMap& operator=(const FlatMap&) = delete;

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Bytes of the slot array.
  size_t memory() const { return slots_.capacity() * sizeof(Slot); }

  // The value under `key`, or null.
  V find(uint64_t key) const {
    if (size_ == 0) return nullptr;
    for (size_t i = home(key);; i = next(i)) {
      const Slot& s = slots_[i];
      if (s.value == nullptr) return nullptr;
      if (s.key == key) return s.value;
    }
  }

  // Puts `value` under `key`, in place of any value there. REQUIRES: value
  // is not null.
  void insert(uint64_t key, V value) {
    if ((size_ + 1) * 4 > slots_.size() * 3) grow();
    for (size_t i = home(key);; i = next(i)) {
      Slot& s = slots_[i];
      if (s.value == nullptr) {
        s.key = key;
        s.value = value;
        size_++;
        return;
      }
      if (s.key == key) {
        s.value = value;
        return;
      }
    }
  }

  // Removes `key`, returning whether it was there.
  bool erase(uint64_t key) {
    if (size_ == 0) return false;
    size_t i = home(key);
    for (;; i = next(i)) {
      if (slots_[i].value == nullptr) return false;
      if (slots_[i].key == key) break;
    }
    // Shift later members of the run back into the hole, so that no probe
    // ever stops early at it.
    for (size_t j = next(i);; j = next(j)) {
      Slot& s = slots_[j];
      if (s.value == nullptr) break;
      const size_t h = home(s.key);
      // s may move to the hole unless its home lies cyclically in (i, j].
      const bool stays = i <= j ? (i < h && h <= j) : (i < h || h <= j);
      if (stays) continue;
      slots_[i] = s;
      i = j;
    }
    slots_[i].value = nullptr;
    size_--;
    return true;
  }

  void clear() {
    slots_.clear();
    slots_.shrink_to_fit();
    size_ = 0;
  }

  // Visits every entry, in no particular order.
  template <typename Visit>
  void for_each(Visit&& visit) const {
    for (const Slot& s : slots_) {
      if (s.value != nullptr) visit(s.key, s.value);
    }
  }

 private:
  struct Slot {
    uint64_t key = 0;
    V value = nullptr;  // null: free
  };

  size_t home(uint64_t key) const {
    // Multiplicative hashing: the top bits of the product are well mixed.
    return static_cast<size_t>(((key ^ hash_key_) * 0x9E3779B97F4A7C15ull) >> shift_);
  }
  size_t next(size_t i) const { return (i + 1) & (slots_.size() - 1); }

  void grow() {
    // The new array first: if it cannot be had, the map stays as it was.
    std::vector<Slot> fresh(slots_.empty() ? 16 : slots_.size() * 2);
    const size_t capacity = fresh.size();
    std::vector<Slot> old = std::exchange(slots_, std::move(fresh));
    shift_ = 64 - static_cast<unsigned>(std::countr_zero(capacity));
    size_ = 0;
    for (const Slot& s : old) {
      if (s.value != nullptr) insert(s.key, s.value);
    }
  }

  std::vector<Slot> slots_;
  size_t size_ = 0;
  unsigned shift_ = 64;
  uint64_t hash_key_ = 0;
};

}  // namespace ferrow

#endif  // FERROW_QUEUE_FLAT_MAP_H_
