// The one table through which the engine makes every system call on its
// files, mappings and shared words. By default each entry is the POSIX call
// itself (or the raw system call where the C library has no wrapper); a
// test replaces entries to count calls or make one fail, without a
// preloaded library and without another process.
//
// Only the engine's own files, descriptors and file mappings go through
// it: reads of /proc, clocks, scheduling hints and the index's anonymous
// memory (block_pool.cc, an allocator like any other) do not, since no
// fault of theirs is a fault of the queue's files.
//
// Entries are plain function pointers, read on every call: the cost is the
// indirect call that a call through the C library's PLT already makes.
// Nothing but a test writes the table, and only while no engine call runs
// (the signal handler of cut_guard.cc reads it too).
#ifndef FERROW_QUEUE_SYSTEM_CALLS_H_
#define FERROW_QUEUE_SYSTEM_CALLS_H_

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <cstdint>

namespace ferrow {

// The table's entries, in its order, for tests that act on one by name.
enum class SystemCall {
  Open,
  Close,
  Pread,
  Write,
  Fsync,
  Ftruncate,
  Fstat,
  Statx,
  Lstat,
  Stat,
  Mkdir,
  Rename,
  Unlink,
  Fchmod,
  Fchown,
  Lseek,
  Mmap,
  Munmap,
  FcntlLock,  // open file description locks: F_OFD_SETLK and F_OFD_GETLK
  Futex,
};
inline constexpr int SYSTEM_CALL_COUNT = static_cast<int>(SystemCall::Futex) + 1;
// The call's name as errors give it ("open", "pread", ...).
const char* system_call_name(SystemCall call);

struct SystemCalls {
  int (*open)(const char* path, int flags, mode_t mode);
  int (*close)(int fd);
  ssize_t (*pread)(int fd, void* dst, size_t n, off_t offset);
  ssize_t (*write)(int fd, const void* src, size_t n);
  int (*fsync)(int fd);
  int (*ftruncate)(int fd, off_t length);
  int (*fstat)(int fd, struct stat* st);
  int (*statx)(int dirfd, const char* path, int flags, unsigned mask, struct statx* sx);
  int (*lstat)(const char* path, struct stat* st);
  int (*stat)(const char* path, struct stat* st);
  int (*mkdir)(const char* path, mode_t mode);
  int (*rename)(const char* from, const char* to);
  int (*unlink)(const char* path);
  int (*fchmod)(int fd, mode_t mode);
  int (*fchown)(int fd, uid_t owner, gid_t group);
  off_t (*lseek)(int fd, off_t offset, int whence);
  void* (*mmap)(void* address, size_t length, int prot, int flags, int fd, off_t offset);
  int (*munmap)(void* address, size_t length);
  // fcntl(fd, command, lock) for the lock commands only.
  int (*fcntl_lock)(int fd, int command, struct flock* lock);
  // FUTEX_WAIT (with a relative timeout) or FUTEX_WAKE on a shared word.
  long (*futex)(uint32_t* word, int op, uint32_t value, const struct timespec* timeout);
};

// The POSIX calls.
const SystemCalls& posix_system_calls();
// The table in use.
extern SystemCalls system_calls;

}  // namespace ferrow

#endif  // FERROW_QUEUE_SYSTEM_CALLS_H_
