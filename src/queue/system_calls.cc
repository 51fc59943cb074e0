#include "queue/system_calls.h"

#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>  // rename

namespace ferrow {
namespace {

// Each entry is a function of exactly the table's type: where the C library
// declares a variadic call or none at all, a small function adapts it.
int open_call(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int fcntl_lock_call(int fd, int command, struct flock* lock) { return ::fcntl(fd, command, lock); }
long futex_call(uint32_t* word, int op, uint32_t value, const struct timespec* timeout) {
  return ::syscall(SYS_futex, word, op, value, timeout, nullptr, 0);
}
int statx_call(int dirfd, const char* path, int flags, unsigned mask, struct statx* sx) {
  return ::statx(dirfd, path, flags, mask, sx);
}

constexpr SystemCalls POSIX = {
    open_call, ::close, ::pread,  ::write,  ::fsync,  ::ftruncate, ::fstat,
    statx_call, ::lstat, ::stat,  ::mkdir,  ::rename, ::unlink,    ::fchmod,
    ::fchown,  ::lseek, ::mmap,   ::munmap, fcntl_lock_call, futex_call,
};

constexpr const char* NAMES[SYSTEM_CALL_COUNT] = {
    "open",  "close", "pread",  "write",  "fsync",  "ftruncate", "fstat",
    "statx", "lstat", "stat",   "mkdir",  "rename", "unlink",    "fchmod",
    "fchown", "lseek", "mmap",  "munmap", "fcntl",  "futex",
};

}  // namespace

const SystemCalls& posix_system_calls() { return POSIX; }

SystemCalls system_calls = POSIX;

const char* system_call_name(SystemCall call) { return NAMES[static_cast<int>(call)]; }

}  // namespace ferrow
