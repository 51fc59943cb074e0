#include "queue/flat_map.h"

#include <atomic>

#include "queue/clock.h"

namespace ferrow {

uint64_t fresh_hash_key() {
  // Not secret, only different per map and per process: the clock, a
  // counter and an address, stirred (splitmix64's finaliser).
  static std::atomic<uint64_t> counter{0};
  uint64_t z = monotonic_ns() ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull) ^
               reinterpret_cast<uintptr_t>(&counter);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

}  // namespace ferrow
