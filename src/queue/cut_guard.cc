#include "queue/cut_guard.h"

#include <setjmp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "queue/system_calls.h"

namespace ferrow {
namespace {

// Fixed storage that the handler can read without locks: a guard is one
// queue object's lock file, so a few hundred cover any real process.
constexpr int ENTRY_COUNT = 512;

struct Entry {
  std::atomic<bool> used{false};
  std::atomic<uintptr_t> begin{0};
  std::atomic<uintptr_t> end{0};  // 0 while the entry is being filled
  std::atomic<int> fd{-1};
  std::atomic<bool> cut{false};
};
Entry entries[ENTRY_COUNT];

struct sigaction previous_action;
std::once_flag install_once;
// Faults answered without growing anything (the file was already whole
// again, grown by another process): a few are races, an endless run means
// the fault has another cause and must not be retried forever.
std::atomic<int> idle_retries{0};
constexpr int IDLE_RETRY_LIMIT = 64;

// The copy out of a mapping that this thread is running, if any: a fault
// inside its source range jumps back to its start instead of killing.
struct ActiveCopy {
  uintptr_t begin;
  uintptr_t end;
  sigjmp_buf resume;
};
thread_local std::atomic<ActiveCopy*> active_copy{nullptr};

void pass_on(int signo, siginfo_t* info, void* context) {
  if (previous_action.sa_flags & SA_SIGINFO) {
    if (previous_action.sa_sigaction != nullptr) {
      previous_action.sa_sigaction(signo, info, context);
      return;
    }
  } else if (previous_action.sa_handler != SIG_DFL && previous_action.sa_handler != SIG_IGN) {
    previous_action.sa_handler(signo);
    return;
  }
  // The default action: restore it and return, so that the access faults
  // again and the process dies as it would have without us.
  struct sigaction fallback;
  std::memset(&fallback, 0, sizeof(fallback));
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(signo, &fallback, nullptr);
}

void on_sigbus(int signo, siginfo_t* info, void* context) {
  const uintptr_t at = reinterpret_cast<uintptr_t>(info->si_addr);
  ActiveCopy* copy = active_copy.load(std::memory_order_relaxed);
  if (copy != nullptr && at >= copy->begin && at < copy->end) {
    // The jump leaves the handler without returning, so SIGBUS, blocked
    // while the handler runs, is unblocked here (the copy's sigsetjmp saved
    // no mask: that would cost a system call per copy).
    sigset_t bus;
    sigemptyset(&bus);
    sigaddset(&bus, SIGBUS);
    sigprocmask(SIG_UNBLOCK, &bus, nullptr);
    siglongjmp(copy->resume, 1);
  }
  if (info->si_code == BUS_ADRERR) {
    for (Entry& entry : entries) {
      const uintptr_t end = entry.end.load(std::memory_order_acquire);
      if (end == 0 || at < entry.begin.load(std::memory_order_relaxed) || at >= end) continue;
      const int fd = entry.fd.load(std::memory_order_relaxed);
      const off_t length = static_cast<off_t>(end - entry.begin.load(std::memory_order_relaxed));
      struct stat st;
      if (system_calls.fstat(fd, &st) != 0) break;
      if (st.st_size < length) {
        if (system_calls.ftruncate(fd, length) != 0) break;
        entry.cut.store(true, std::memory_order_relaxed);
        idle_retries.store(0, std::memory_order_relaxed);
        return;
      }
      if (idle_retries.fetch_add(1, std::memory_order_relaxed) < IDLE_RETRY_LIMIT) return;
      break;
    }
  }
  pass_on(signo, info, context);
}

void install_handler() {
  struct sigaction action;
  std::memset(&action, 0, sizeof(action));
  action.sa_sigaction = on_sigbus;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  sigaction(SIGBUS, &action, &previous_action);
}

}  // namespace

CutGuard::CutGuard(const void* base, uint64_t length, int fd) {
  std::call_once(install_once, install_handler);
  for (int i = 0; i < ENTRY_COUNT; i++) {
    bool expected = false;
    if (!entries[i].used.compare_exchange_strong(expected, true)) continue;
    Entry& entry = entries[i];
    entry.cut.store(false, std::memory_order_relaxed);
    entry.fd.store(fd, std::memory_order_relaxed);
    entry.begin.store(reinterpret_cast<uintptr_t>(base), std::memory_order_relaxed);
    entry.end.store(reinterpret_cast<uintptr_t>(base) + length, std::memory_order_release);
    entry_ = i;
    return;
  }
}

CutGuard& CutGuard::operator=(CutGuard&& other) noexcept {
  if (this != &other) {
    reset();
    entry_ = other.entry_;
    other.entry_ = -1;
  }
  return *this;
}

bool copy_from_mapping(std::string* to, const char* from, size_t length) {
  std::call_once(install_once, install_handler);
  // The buffer is reserved before the guarded part, so the jump never leaves
  // an allocation behind; append copies into it and sets the length only
  // once the copy is whole, so an interrupted copy leaves `to` empty.
  to->reserve(length);
  ActiveCopy copy;
  copy.begin = reinterpret_cast<uintptr_t>(from);
  copy.end = copy.begin + length;
  if (sigsetjmp(copy.resume, 0) != 0) {
    active_copy.store(nullptr, std::memory_order_relaxed);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    to->clear();
    return false;
  }
  active_copy.store(&copy, std::memory_order_relaxed);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  to->append(from, length);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  active_copy.store(nullptr, std::memory_order_relaxed);
  return true;
}

bool CutGuard::take_cut() {
  if (entry_ < 0) return false;
  return entries[entry_].cut.exchange(false, std::memory_order_relaxed);
}

void CutGuard::reset() {
  if (entry_ < 0) return;
  Entry& entry = entries[entry_];
  entry.end.store(0, std::memory_order_release);
  entry.fd.store(-1, std::memory_order_relaxed);
  entry.used.store(false, std::memory_order_release);
  entry_ = -1;
}

}  // namespace ferrow
