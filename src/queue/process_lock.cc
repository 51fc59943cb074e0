#include "queue/process_lock.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "queue/clock.h"
#include "queue/file_io.h"
#include "queue/shared_word.h"
#include "queue/system_calls.h"

namespace ferrow {
namespace {

constexpr uint32_t SPIN_ATTEMPTS = 64;     // attempts 1..64 are followed by a pause
constexpr uint32_t YIELD_ATTEMPTS = 1024;  // 65..1024 by a yield, later ones by a sleep
// A sleeping waiter wakes at least this often to check the holder's life
// and pending signals (a signal also ends the sleep at once), and to notice
// a release by a process that does not wake sleepers (a build without
// them): often at first, when the holder has most likely just died, then
// less often, so that a long wait costs almost no CPU.
constexpr uint64_t EARLY_CHECK_INTERVAL_NS = 5 * 1000 * 1000;
constexpr uint64_t LATE_CHECK_INTERVAL_NS = 25 * 1000 * 1000;
constexpr uint64_t EARLY_PHASE_NS = 200 * 1000 * 1000;

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// The inode of this process's pid namespace, which tells an administrator
// whether a recorded pid means the same process to them.
uint64_t pid_namespace() {
  char link[64] = {};
  const ssize_t n = ::readlink("/proc/self/ns/pid", link, sizeof(link) - 1);
  if (n <= 0) return 0;
  const char* open = std::strchr(link, '[');
  return open == nullptr ? 0 : std::strtoull(open + 1, nullptr, 10);
}

// Open file description lock on one slot: F_SETLK (try) or F_GETLK (probe).
int slot_lock(int fd, int command, uint64_t slot, short type) {
  struct flock fl;
  std::memset(&fl, 0, sizeof(fl));
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(LOCK_SLOTS_OFFSET + slot * LOCK_SLOT_LEN);
  fl.l_len = static_cast<off_t>(LOCK_SLOT_LEN);
  if (system_calls.fcntl_lock(fd, command, &fl) != 0) return -1;
  return command == F_OFD_GETLK ? fl.l_type : 0;
}

// Every live ProcessLock, so that a forked child can stop passing for its
// parent: the child closes its copies of the slot descriptors at once (else
// the parent's slots would stay locked while the child lives) and claims
// slots of its own when it next takes a lock.
std::mutex registry_mutex;
std::vector<ProcessLock*>& registry() {
  static std::vector<ProcessLock*> locks;
  return locks;
}

}  // namespace

ProcessLock::ProcessLock(std::string dir, std::string path, FileHandle map_file, Mapping mapping)
    : dir_(std::move(dir)),
      path_(std::move(path)),
      map_file_(std::move(map_file)),
      mapping_(std::move(mapping)),
      cut_guard_(mapping_.base(), mapping_.length(), map_file_.fd()) {
  static std::once_flag fork_handlers;
  std::call_once(fork_handlers, [] {
    pthread_atfork([] { registry_mutex.lock(); }, [] { registry_mutex.unlock(); },
                   &ProcessLock::after_fork_in_child);
  });
  std::lock_guard<std::mutex> guard(registry_mutex);
  registry().push_back(this);
}

ProcessLock::~ProcessLock() {
  std::lock_guard<std::mutex> guard(registry_mutex);
  auto& locks = registry();
  locks.erase(std::remove(locks.begin(), locks.end(), this), locks.end());
  // file_ closes after this: the slot is free once the last descriptor of
  // its description is gone.
}

void ProcessLock::after_fork_in_child() {
  for (ProcessLock* lock : registry()) lock->forget_slot_after_fork();
  registry_mutex.unlock();
}

void ProcessLock::forget_slot_after_fork() {
  // Only async-signal-safe calls here: the child of a threaded parent.
  const int fd = file_.release();
  if (fd >= 0) system_calls.close(fd);
  token_ = 1;
  slot_ = LOCK_SLOT_COUNT;
  claim_needed_ = true;
}

Result<std::unique_ptr<ProcessLock>> ProcessLock::open(const std::string& dir) {
  const std::string path = join_path(dir, PROC_LOCK_NAME);
  Result<FileHandle> file = open_file(path, O_RDWR | O_CREAT);
  if (!file.ok()) return file.error();
  const int fd = file.value().fd();
  Result<FileStatus> status = status_of(fd, path);
  if (!status.ok()) return status.error();
  uint64_t len = status.value().length;
  if (len < LOCK_FILE_LEN) {
    // Only ever grown: a file another process mapped keeps its bytes.
    FERROW_TRY(set_file_length(fd, path, LOCK_FILE_LEN));
    len = LOCK_FILE_LEN;
  }
  Result<Mapping> mapping = Mapping::map(fd, path, len, /*writable=*/true);
  if (!mapping.ok()) return mapping.error();
  std::unique_ptr<ProcessLock> lock(
      new ProcessLock(dir, path, std::move(file.value()), std::move(mapping.value())));
  lock->identity_ = status.value().identity;
  // The slot's lock lives on a description of its own. A mapping keeps the
  // description it was made from open, and a forked child inherits the
  // mapping: were the lock on that description, a child would keep its
  // parent's slot locked after the parent died.
  Result<FileHandle> slot_file = open_file(path, O_RDWR);
  if (!slot_file.ok()) return slot_file.error();
  Result<FileIdentity> slot_identity = identity_of(slot_file.value().fd(), path);
  if (!slot_identity.ok()) return slot_identity.error();
  if (!(slot_identity.value() == lock->identity_)) {
    return QueueError::io(IoErrorKind::Other, path + " was replaced while it was being opened");
  }
  lock->file_ = std::move(slot_file.value());
  FERROW_TRY(lock->claim_slot());
  return lock;
}

char* ProcessLock::slot(uint64_t index) const {
  return static_cast<char*>(mapping_.base()) + LOCK_SLOTS_OFFSET + index * LOCK_SLOT_LEN;
}

Status ProcessLock::claim_slot() {
  char* base = static_cast<char*>(mapping_.base());
  uint64_t nonce = (shared<uint64_t>(base + NEXT_NONCE_OFFSET).fetch_add(1) + 1) & NONCE_MASK;
  if (nonce == 0) nonce = 1;
  // Start the search where the nonce points, so that openers spread over
  // the table and an open costs one attempt while most slots are free.
  for (uint64_t i = 0; i < LOCK_SLOT_COUNT; i++) {
    const uint64_t candidate = (nonce + i) % LOCK_SLOT_COUNT;
    if (slot_lock(file_.fd(), F_OFD_SETLK, candidate, F_WRLCK) == 0) {
      token_ = LOCK_TOKEN_TAG | (nonce << NONCE_SHIFT) | (candidate + 1);
      assert(static_cast<uint32_t>(token_) != 0);  // the futex half of a held word
      slot_ = candidate;
      pid_namespace_ = pid_namespace();
      publish_slot();
      return {};
    }
    // Taken by a live opener: try the next. Anything else means this file
    // system has no such locks; go on without a slot, as older builds do.
    if (errno != EAGAIN && errno != EACCES) break;
  }
  token_ = 1;
  return {};
}

void ProcessLock::publish_slot() {
  char* entry = slot(slot_);
  shared<uint32_t>(entry + SLOT_PID).store(static_cast<uint32_t>(::getpid()));
  shared<uint64_t>(entry + SLOT_PID_NS).store(pid_namespace_);
  shared<uint64_t>(entry + SLOT_SINCE).store(0);
  // Published last: a waiter trusts the slot only once it names us.
  shared<uint64_t>(entry + SLOT_TOKEN).store(token_, std::memory_order_release);
}

Status ProcessLock::check_file(bool* removed) {
  Result<FileStatus> status = status_of(map_file_.fd(), path_);
  if (!status.ok()) return status.error();
  // Someone cut the file: the mapping's pages past its end would raise
  // SIGBUS. What they held (the word, the slots) is lost either way; the
  // word reads as free again, and each owner rewrites its slot at its next
  // lock.
  const bool cut = status.value().length < mapping_.length();
  if (cut) FERROW_TRY(set_file_length(map_file_.fd(), path_, mapping_.length()));
  if (cut_guard_.take_cut() || cut) {
    write_warning("Ferrow: " + path_ + " was cut shorter while the queue was open; its length "
                  "is restored");
  }
  if (status.value().links == 0) *removed = true;
  return {};
}

LockHolder ProcessLock::holder(uint64_t word) const {
  word &= ~WAITERS_BIT;
  if (word == 0) return LockHolder::Free;
  if ((word & LOCK_TOKEN_TAG) == 0) return LockHolder::Unidentified;
  const uint64_t index = (word & SLOT_MASK) - 1;
  if (index >= LOCK_SLOT_COUNT) return LockHolder::Unidentified;
  char* entry = slot(index);
  const uint64_t recorded = shared<uint64_t>(entry + SLOT_TOKEN).load(std::memory_order_acquire);
  // Another token in the slot: its owner closed it (and so released the
  // word first) or died and the slot went to a new opener. No token at all:
  // a cut file wiped the record, and only the slot's lock can tell.
  if (recorded != word && recorded != 0) return LockHolder::Dead;
  if (!file_.valid()) return LockHolder::Unidentified;
  const int type = slot_lock(file_.fd(), F_OFD_GETLK, index, F_WRLCK);
  // A probe that fails proves nothing: keep waiting, as for a live holder.
  if (type < 0) return LockHolder::Alive;
  return type == F_UNLCK ? LockHolder::Dead : LockHolder::Alive;
}

bool ProcessLock::plausible_token(uint64_t token) const {
  if (token == 1) return true;
  if ((token & LOCK_TOKEN_TAG) == 0 || (token & WAITERS_BIT) != 0) return false;
  const uint64_t index = token & SLOT_MASK;
  if (index == 0 || index > LOCK_SLOT_COUNT) return false;
  const uint64_t recorded =
      shared<uint64_t>(slot(index - 1) + SLOT_TOKEN).load(std::memory_order_acquire);
  return recorded == token || recorded == 0;
}

Status ProcessLock::acquire(const LockWait& wait, bool* took_over) {
  *took_over = false;
  bool removed = false;
  if (claim_needed_) {
    // A forked child's first lock: a slot and token of its own, in the
    // file it maps. If the path names another file by now, the move below
    // gives it one there.
    claim_needed_ = false;
    Result<FileHandle> file = open_file(path_, O_RDWR);
    Result<FileIdentity> identity =
        file.ok() ? identity_of(file.value().fd(), path_) : Result<FileIdentity>(file.error());
    if (identity.ok() && identity.value() == identity_) {
      file_ = std::move(file.value());
      FERROW_TRY(claim_slot());
    } else {
      removed = true;
    }
  }
  FERROW_TRY(check_file(&removed));
  FERROW_TRY(acquire_word(wait, took_over, &removed));
  if (!removed) return {};
  const Status moved = move_to_named_file(wait, took_over);
  if (!moved.ok()) release();
  return moved;
}

Status ProcessLock::move_to_named_file(const LockWait& wait, bool* took_over) {
  // Holding the old word keeps out every process still on the old file;
  // holding the new one, every process already on it. With both, nobody
  // else can be inside an operation, so the old word can go.
  Result<std::unique_ptr<ProcessLock>> named = ProcessLock::open(dir_);
  if (!named.ok()) return named.error();
  ProcessLock& fresh = *named.value();
  bool fresh_took_over = false;
  bool fresh_removed = false;
  FERROW_TRY(fresh.acquire_word(wait, &fresh_took_over, &fresh_removed));
  release();
  std::swap(map_file_, fresh.map_file_);
  std::swap(mapping_, fresh.mapping_);
  std::swap(cut_guard_, fresh.cut_guard_);
  std::swap(file_, fresh.file_);
  std::swap(identity_, fresh.identity_);
  std::swap(token_, fresh.token_);
  std::swap(slot_, fresh.slot_);
  std::swap(pid_namespace_, fresh.pid_namespace_);
  *took_over = *took_over || fresh_took_over;
  write_warning("Ferrow: " + path_ +
                " was removed or replaced while the queue was open; this process now uses the "
                "file found there");
  return {};  // `fresh` closes the old file and frees its slot
}

Status ProcessLock::acquire_word(const LockWait& wait, bool* took_over, bool* removed) {
  char* word = static_cast<char*>(mapping_.base()) + LOCK_WORD_OFFSET;
  std::atomic_ref<uint64_t> lock_word = shared<uint64_t>(word);
  const uint64_t start = monotonic_ns();
  const uint64_t timeout_ns =
      wait.timeout_ms > UINT64_MAX / 1000000 ? UINT64_MAX : wait.timeout_ms * 1000000;
  uint64_t next_check = 0;
  uint32_t failed = 0;
  // Once this waiter has slept it takes the word with the waiters bit: others
  // may still sleep, and its release must wake them.
  uint64_t mine = token_;
  for (;;) {
    uint64_t seen = 0;
    if (lock_word.compare_exchange_strong(seen, mine, std::memory_order_acquire,
                                          std::memory_order_relaxed)) {
      if (slot_ < LOCK_SLOT_COUNT) {
        char* entry = slot(slot_);
        if (shared<uint64_t>(entry + SLOT_TOKEN).load(std::memory_order_relaxed) != token_) {
          publish_slot();  // wiped by a cut of the file
        }
        shared<uint64_t>(entry + SLOT_SINCE).store(start);
      }
      return {};
    }
    const uint64_t now = monotonic_ns();
    if (now - start >= timeout_ns) {
      return QueueError::io(IoErrorKind::TimedOut, LOCK_TIMEOUT_TEXT);
    }
    // Saturates rather than wraps; 4 billion tries outlast the timeout, so never reached.
    if (failed < UINT32_MAX) failed++;
    if (failed <= SPIN_ATTEMPTS) {
      cpu_relax();
      continue;
    }
    if (failed <= YIELD_ATTEMPTS) {
      sched_yield();
      continue;
    }
    const uint64_t interval =
        now - start < EARLY_PHASE_NS ? EARLY_CHECK_INTERVAL_NS : LATE_CHECK_INTERVAL_NS;
    if (now >= next_check) {
      next_check = now + interval;
      if (holder(seen) == LockHolder::Dead) {
        // Exactly one waiter's swap from the dead holder's word succeeds.
        if (lock_word.compare_exchange_strong(seen, token_ | WAITERS_BIT,
                                              std::memory_order_acquire,
                                              std::memory_order_relaxed)) {
          if (slot_ < LOCK_SLOT_COUNT) {
            shared<uint64_t>(slot(slot_) + SLOT_SINCE).store(monotonic_ns());
          }
          *took_over = true;
          return {};
        }
        continue;
      }
    }
    if (wait.interrupted != nullptr && wait.interrupted()) {
      return QueueError::interrupted(LOCK_INTERRUPTED_TEXT);
    }
    // Ask the holder to wake us, then sleep unless the word changed meanwhile.
    if ((seen & WAITERS_BIT) == 0 &&
        !lock_word.compare_exchange_strong(seen, seen | WAITERS_BIT, std::memory_order_relaxed)) {
      continue;
    }
    mine = token_ | WAITERS_BIT;
    const uint64_t left = timeout_ns - (now - start);
    futex_wait(word, static_cast<uint32_t>(seen), std::min(left, interval));
    // The file may have been cut during the sleep: look before the next
    // touch of the mapping.
    FERROW_TRY(check_file(removed));
  }
}

bool ProcessLock::holds_word() const {
  const uint64_t word = shared<uint64_t>(static_cast<char*>(mapping_.base()) + LOCK_WORD_OFFSET)
                            .load(std::memory_order_acquire);
  return (word & ~WAITERS_BIT) == token_;
}

void ProcessLock::release() {
  char* word = static_cast<char*>(mapping_.base()) + LOCK_WORD_OFFSET;
  std::atomic_ref<uint64_t> lock_word = shared<uint64_t>(word);
  // Every sleeper is woken, not one: whichever the scheduler runs first
  // takes the word at once; the others find it taken and sleep again.
  const uint64_t held = lock_word.exchange(0, std::memory_order_release);
  if (held & WAITERS_BIT) futex_wake_all(word);
  // Waiters only ever add their bit; anything else means the word was
  // cleared or taken while this owner held it.
  if ((held & ~WAITERS_BIT) != token_) word_changed_ = true;
}

}  // namespace ferrow
