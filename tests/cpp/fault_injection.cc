#include "fault_injection.h"

#include <sys/mman.h>

#include <atomic>
#include <cerrno>
#include <type_traits>

namespace ferrow {
namespace {

struct Armed {
  std::atomic<int> error{0};
  std::atomic<uint64_t> skip{0};
  std::atomic<uint64_t> count{0};
};

// The wrappers are plain functions, so the state they read is global; it is
// atomic because a test may call the engine from several threads.
std::atomic<uint64_t> counted[SYSTEM_CALL_COUNT];
std::atomic<uint64_t> failed[SYSTEM_CALL_COUNT];
Armed armed[SYSTEM_CALL_COUNT];
struct {
  bool on = false;
  uint64_t skip = 0;
  size_t max_bytes = 0;
} short_write_plan;  // single-threaded tests only

// Counts the call; true (with errno set) when it must fail.
bool fires(SystemCall call) {
  const int i = static_cast<int>(call);
  counted[i]++;
  Armed& a = armed[i];
  uint64_t left = a.count.load();
  if (left == 0) return false;
  uint64_t skip = a.skip.load();
  while (skip > 0) {
    if (a.skip.compare_exchange_weak(skip, skip - 1)) return false;
  }
  while (left > 0) {
    if (a.count.compare_exchange_weak(left, left - 1)) {
      failed[i]++;
      errno = a.error.load();
      return true;
    }
  }
  return false;
}

template <typename R>
R failure() {
  if constexpr (std::is_pointer_v<R>) {
    return static_cast<R>(MAP_FAILED);
  } else {
    return static_cast<R>(-1);
  }
}

// A wrapper of one entry: counts, fails when armed, else calls POSIX.
#define FERROW_WRAP(member, call)                                      \
  table.member = [](auto... args) {                                   \
    using R = decltype(posix_system_calls().member(args...));         \
    if (fires(call)) return failure<R>();                             \
    return posix_system_calls().member(args...);                      \
  }

ssize_t short_or_whole_write(int fd, const void* src, size_t n) {
  if (fires(SystemCall::Write)) return -1;
  if (short_write_plan.on) {
    if (short_write_plan.skip > 0) {
      short_write_plan.skip--;
    } else {
      short_write_plan.on = false;
      if (short_write_plan.max_bytes == 0) return 0;
      if (n > short_write_plan.max_bytes) n = short_write_plan.max_bytes;
    }
  }
  return posix_system_calls().write(fd, src, n);
}

SystemCalls injecting_table() {
  SystemCalls table = posix_system_calls();
  FERROW_WRAP(open, SystemCall::Open);
  FERROW_WRAP(close, SystemCall::Close);
  FERROW_WRAP(pread, SystemCall::Pread);
  table.write = short_or_whole_write;
  FERROW_WRAP(fsync, SystemCall::Fsync);
  FERROW_WRAP(ftruncate, SystemCall::Ftruncate);
  FERROW_WRAP(fstat, SystemCall::Fstat);
  FERROW_WRAP(statx, SystemCall::Statx);
  FERROW_WRAP(lstat, SystemCall::Lstat);
  FERROW_WRAP(stat, SystemCall::Stat);
  FERROW_WRAP(mkdir, SystemCall::Mkdir);
  FERROW_WRAP(rename, SystemCall::Rename);
  FERROW_WRAP(unlink, SystemCall::Unlink);
  FERROW_WRAP(fchmod, SystemCall::Fchmod);
  FERROW_WRAP(fchown, SystemCall::Fchown);
  FERROW_WRAP(lseek, SystemCall::Lseek);
  FERROW_WRAP(mmap, SystemCall::Mmap);
  FERROW_WRAP(munmap, SystemCall::Munmap);
  FERROW_WRAP(fcntl_lock, SystemCall::FcntlLock);
  FERROW_WRAP(futex, SystemCall::Futex);
  return table;
}

#undef FERROW_WRAP

}  // namespace

FaultInjection::FaultInjection() {
  disarm();
  for (int i = 0; i < SYSTEM_CALL_COUNT; i++) {
    counted[i] = 0;
    failed[i] = 0;
  }
  system_calls = injecting_table();
}

FaultInjection::~FaultInjection() {
  disarm();
  system_calls = posix_system_calls();
}

void FaultInjection::fail(SystemCall call, int error, uint64_t skip, uint64_t count) {
  Armed& a = armed[static_cast<int>(call)];
  a.count = 0;
  a.error = error;
  a.skip = skip;
  a.count = count;
}

void FaultInjection::short_write(size_t max_bytes, uint64_t skip) {
  short_write_plan.on = true;
  short_write_plan.skip = skip;
  short_write_plan.max_bytes = max_bytes;
}

void FaultInjection::disarm() {
  for (Armed& a : armed) a.count = 0;
  short_write_plan.on = false;
}

uint64_t FaultInjection::calls(SystemCall call) const { return counted[static_cast<int>(call)]; }

uint64_t FaultInjection::injected(SystemCall call) const {
  return failed[static_cast<int>(call)];
}

}  // namespace ferrow
