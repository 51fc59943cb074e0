// Words that several processes share through a mapping of `.proc_lock`:
// atomic access, and sleeping on a word's lower half (a futex, not private,
// since other processes wake it). The file is little-endian, like every
// machine this runs on.
#ifndef FERROW_QUEUE_SHARED_WORD_H_
#define FERROW_QUEUE_SHARED_WORD_H_

#include <linux/futex.h>
#include <time.h>

#include <atomic>
#include <climits>
#include <cstdint>

#include "queue/system_calls.h"

namespace ferrow {

template <typename T>
std::atomic_ref<T> shared(char* at) {
  return std::atomic_ref<T>(*reinterpret_cast<T*>(at));
}

// Sleeps while the lower half of the word at `at` holds `expected`, at most
// `timeout_ns`. Any outcome (woken, timed out, value changed, signal) sends
// the caller back to its loop, so there is no result.
inline void futex_wait(char* at, uint32_t expected, uint64_t timeout_ns) {
  struct timespec ts = {static_cast<time_t>(timeout_ns / 1000000000),
                        static_cast<long>(timeout_ns % 1000000000)};
  (void)system_calls.futex(reinterpret_cast<uint32_t*>(at), FUTEX_WAIT, expected, &ts);
}

inline void futex_wake_all(char* at) {
  (void)system_calls.futex(reinterpret_cast<uint32_t*>(at), FUTEX_WAKE, INT_MAX, nullptr);
}

}  // namespace ferrow

#endif  // FERROW_QUEUE_SHARED_WORD_H_
