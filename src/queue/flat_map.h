// A hash map from 64-bit keys to small values in one array (open addressing,
// linear probing, deletion by shifting back): no allocation per entry, so
// filling it from a long log costs a few doublings of one array, and a
// lookup touches one or two cache lines.
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
#include <utility>
#include <vector>

namespace ferrow {

// A fresh hashing key per call.
uint64_t fresh_hash_key();

template <typename V>
class FlatMap {
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

  V* find(uint64_t key) {
    if (size_ == 0) return nullptr;
    for (size_t i = home(key);; i = next(i)) {
      Slot& s = slots_[i];
      if (!s.used) return nullptr;
      if (s.key == key) return &s.value;
    }
  }
  const V* find(uint64_t key) const { return const_cast<FlatMap*>(this)->find(key); }

  // The value under `key`, value-initialised if it was absent.
  V& operator[](uint64_t key) {
    if ((size_ + 1) * 4 > slots_.size() * 3) grow();
    for (size_t i = home(key);; i = next(i)) {
      Slot& s = slots_[i];
      if (!s.used) {
        s.used = true;
        s.key = key;
        s.value = V();
        size_++;
        return s.value;
      }
      if (s.key == key) return s.value;
    }
  }

  // Removes `key`, returning whether it was there.
  bool erase(uint64_t key) {
    if (size_ == 0) return false;
    size_t i = home(key);
    for (;; i = next(i)) {
      if (!slots_[i].used) return false;
      if (slots_[i].key == key) break;
    }
    // Shift later members of the run back into the hole, so that no probe
    // ever stops early at it.
    for (size_t j = next(i);; j = next(j)) {
      Slot& s = slots_[j];
      if (!s.used) break;
      const size_t h = home(s.key);
      // s may move to the hole unless its home lies cyclically in (i, j].
      const bool stays = i <= j ? (i < h && h <= j) : (i < h || h <= j);
      if (stays) continue;
      slots_[i] = std::move(s);
      i = j;
    }
    slots_[i].used = false;
    slots_[i].value = V();
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
      if (s.used) visit(s.key, s.value);
    }
  }

 private:
  struct Slot {
    uint64_t key = 0;
    V value{};
    bool used = false;
  };

  size_t home(uint64_t key) const {
    // Multiplicative hashing: the top bits of the product are well mixed.
    return static_cast<size_t>(((key ^ hash_key_) * 0x9E3779B97F4A7C15ull) >> shift_);
  }
  size_t next(size_t i) const { return (i + 1) & (slots_.size() - 1); }

  void grow() {
    std::vector<Slot> old = std::move(slots_);
    const size_t capacity = old.empty() ? 16 : old.size() * 2;
    slots_ = std::vector<Slot>(capacity);
    shift_ = 64 - static_cast<unsigned>(std::countr_zero(capacity));
    size_ = 0;
    for (Slot& s : old) {
      if (s.used) (*this)[s.key] = std::move(s.value);
    }
  }

  std::vector<Slot> slots_;
  size_t size_ = 0;
  unsigned shift_ = 64;
  uint64_t hash_key_ = 0;
};

}  // namespace ferrow

#endif  // FERROW_QUEUE_FLAT_MAP_H_
