#include "queue/process_lock.h"

#include <fcntl.h>
#include <sched.h>
#include <time.h>

#include <atomic>

#include "queue/clock.h"
#include "queue/file_io.h"

namespace ferrow {
namespace {

constexpr uint64_t LOCK_FILE_MIN_LEN = 8;
constexpr uint32_t SPIN_ATTEMPTS = 64;     // attempts 1..64 are followed by a pause
constexpr uint32_t YIELD_ATTEMPTS = 1024;  // 65..1024 by a yield, later ones by a sleep
constexpr long SLEEP_NS = 50 * 1000;
constexpr uint64_t TIMEOUT_NS = 30ull * 1000 * 1000 * 1000;

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace

Result<ProcessLock> ProcessLock::open(const std::string& dir) {
  Result<FileHandle> file = open_file(join_path(dir, PROC_LOCK_NAME), O_RDWR | O_CREAT);
  if (!file.ok()) return file.error();
  const int fd = file.value().fd();
  Result<uint64_t> length = file_length(fd);
  if (!length.ok()) return length.error();
  uint64_t len = length.value();
  if (len < LOCK_FILE_MIN_LEN) {
    FERROW_TRY(set_file_length(fd, LOCK_FILE_MIN_LEN));
    len = LOCK_FILE_MIN_LEN;
  }
  Result<Mapping> mapping = Mapping::map(fd, len, /*writable=*/true);
  if (!mapping.ok()) return mapping.error();
  // The descriptor closes on return; the mapping stays valid without it.
  return ProcessLock(std::move(mapping.value()));
}

Status ProcessLock::acquire() {
  std::atomic_ref<uint64_t> lock_word(*word());
  const uint64_t start = monotonic_ns();
  uint32_t failed = 0;
  for (;;) {
    uint64_t expected = 0;
    if (lock_word.compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                   std::memory_order_relaxed)) {
      return {};
    }
    if (monotonic_ns() - start >= TIMEOUT_NS) {
      return QueueError::io(IoErrorKind::TimedOut, LOCK_TIMEOUT_TEXT);
    }
    // Saturates rather than wraps; 4 billion tries outlast the timeout, so never reached.
    if (failed < UINT32_MAX) failed++;
    if (failed <= SPIN_ATTEMPTS) {
      cpu_relax();
    } else if (failed <= YIELD_ATTEMPTS) {
      sched_yield();
    } else {
      struct timespec pause = {0, SLEEP_NS};
      nanosleep(&pause, nullptr);
    }
  }
}

void ProcessLock::release() {
  std::atomic_ref<uint64_t> lock_word(*word());
  lock_word.store(0, std::memory_order_release);
}

}  // namespace ferrow
