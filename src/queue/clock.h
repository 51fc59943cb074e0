// The two clocks the engine reads.
#ifndef FERROW_QUEUE_CLOCK_H_
#define FERROW_QUEUE_CLOCK_H_

#include <cstdint>

namespace ferrow {

// Wall clock in whole milliseconds since the Unix epoch; 0 before 1970.
// Enqueue times and lease deadlines are stored in the log in these units, so
// leases survive a restart.
uint64_t now_ms();

// Monotonic clock in nanoseconds, for timeouts that must not jump.
uint64_t monotonic_ns();

// now + length, clamped to the largest value instead of wrapping into the past.
inline uint64_t deadline_after(uint64_t now, uint64_t length) {
  const uint64_t sum = now + length;
  return sum < now ? UINT64_MAX : sum;
}

}  // namespace ferrow

#endif  // FERROW_QUEUE_CLOCK_H_
