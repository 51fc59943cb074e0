/* Fault injection for the I/O tests, loaded with LD_PRELOAD.
 *
 * Wraps the calls through which the engine touches its files and lets a test
 * make chosen calls fail with a chosen errno:
 *
 *   ferrow_fault_arm("fsync", skip, count, err)
 *       the next `skip` calls of fsync go through, the `count` after them
 *       fail with `err` (without reaching the real call);
 *   ferrow_fault_short_write(skip, max_bytes)
 *       the write after the next `skip` writes hands at most `max_bytes` bytes
 *       to the real call, so the caller sees a short write;
 *   ferrow_fault_disarm_all();
 *   ferrow_fault_calls("fsync")
 *       how many calls of fsync went through the shim so far.
 *
 * Call names: fsync, write, open (open, open64, openat), rename, ftruncate,
 * mmap (mmap, mmap64). Only calls that can be the engine's are counted or
 * failed: writes to descriptors 0 to 2 (warnings, the test's own output) and
 * anonymous mappings (the allocators') pass straight through.
 *
 * Counters are atomics, so calls from several threads are each counted once;
 * arming while another thread is inside a wrapped call is not meant to be
 * exact. */
#define _GNU_SOURCE
/* The fortified headers define some of these calls inline. */
#undef _FORTIFY_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#define SHIM_EXPORT __attribute__((visibility("default")))

enum { C_FSYNC, C_WRITE, C_OPEN, C_RENAME, C_FTRUNCATE, C_MMAP, C_COUNT };

static const char* const call_names[C_COUNT] = {"fsync",  "write",     "open",
                                                "rename", "ftruncate", "mmap"};

struct fault {
  atomic_long calls;      /* calls seen so far */
  atomic_long fail_from;  /* first call index that fails */
  atomic_long fail_until; /* first call index after the failing ones */
  atomic_int err;
};

static struct fault faults[C_COUNT];
static atomic_long short_write_at = -1; /* write call index to cut short */
static atomic_long short_write_max = 0;

static int call_index(const char* name) {
  if (name == NULL) return -1;
  for (int i = 0; i < C_COUNT; i++) {
    if (strcmp(name, call_names[i]) == 0) return i;
  }
  return -1;
}

/* Counts one call; returns the errno to fail it with, or 0 to let it through. */
static int take_call(int which, long* index_out) {
  struct fault* f = &faults[which];
  const long n = atomic_fetch_add(&f->calls, 1);
  if (index_out != NULL) *index_out = n;
  if (n >= atomic_load(&f->fail_from) && n < atomic_load(&f->fail_until)) {
    return atomic_load(&f->err);
  }
  return 0;
}

SHIM_EXPORT int ferrow_fault_arm(const char* call, int skip, int count, int err) {
  const int which = call_index(call);
  if (which < 0 || skip < 0 || count < 0 || err <= 0) return -1;
  struct fault* f = &faults[which];
  const long from = atomic_load(&f->calls) + skip;
  /* Close the window first so that a half-set window never fails a call. */
  atomic_store(&f->fail_until, 0);
  atomic_store(&f->err, err);
  atomic_store(&f->fail_from, from);
  atomic_store(&f->fail_until, from + count);
  return 0;
}

SHIM_EXPORT int ferrow_fault_short_write(int skip, long max_bytes) {
  if (skip < 0 || max_bytes < 0) return -1;
  atomic_store(&short_write_max, max_bytes);
  atomic_store(&short_write_at, atomic_load(&faults[C_WRITE].calls) + skip);
  return 0;
}

SHIM_EXPORT void ferrow_fault_disarm_all(void) {
  for (int i = 0; i < C_COUNT; i++) atomic_store(&faults[i].fail_until, 0);
  atomic_store(&short_write_at, -1);
}

SHIM_EXPORT int ferrow_fault_calls(const char* call) {
  const int which = call_index(call);
  if (which < 0) return -1;
  return (int)atomic_load(&faults[which].calls);
}

/* The real functions, looked up once. */
static int (*real_fsync)(int);
static ssize_t (*real_write)(int, const void*, size_t);
static int (*real_open)(const char*, int, ...);
static int (*real_open64)(const char*, int, ...);
static int (*real_openat)(int, const char*, int, ...);
static int (*real_rename)(const char*, const char*);
static int (*real_ftruncate)(int, off_t);
static void* (*real_mmap)(void*, size_t, int, int, int, off_t);
static void* (*real_mmap64)(void*, size_t, int, int, int, off_t);

__attribute__((constructor)) static void resolve_real_calls(void) {
  real_fsync = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
  real_write = (ssize_t(*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
  real_open = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, "open");
  real_open64 = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, "open64");
  real_openat = (int (*)(int, const char*, int, ...))dlsym(RTLD_NEXT, "openat");
  real_rename = (int (*)(const char*, const char*))dlsym(RTLD_NEXT, "rename");
  real_ftruncate = (int (*)(int, off_t))dlsym(RTLD_NEXT, "ftruncate");
  real_mmap = (void* (*)(void*, size_t, int, int, int, off_t))dlsym(RTLD_NEXT, "mmap");
  real_mmap64 = (void* (*)(void*, size_t, int, int, int, off_t))dlsym(RTLD_NEXT, "mmap64");
}

/* Before the constructor has run (or if a lookup failed) the system calls
 * themselves stand in, so that nothing ever calls a null pointer. */

SHIM_EXPORT int fsync(int fd) {
  const int err = take_call(C_FSYNC, NULL);
  if (err != 0) {
    errno = err;
    return -1;
  }
  return real_fsync ? real_fsync(fd) : (int)syscall(SYS_fsync, fd);
}

SHIM_EXPORT ssize_t write(int fd, const void* buf, size_t len) {
  if (fd > 2) {
    long n;
    const int err = take_call(C_WRITE, &n);
    if (err != 0) {
      errno = err;
      return -1;
    }
    if (n == atomic_load(&short_write_at)) {
      const long max = atomic_load(&short_write_max);
      if ((size_t)max < len) len = (size_t)max;
    }
  }
  return real_write ? real_write(fd, buf, len) : (ssize_t)syscall(SYS_write, fd, buf, len);
}

static mode_t mode_argument(int flags, va_list ap) {
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) return (mode_t)va_arg(ap, int);
  return 0;
}

SHIM_EXPORT int open(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = mode_argument(flags, ap);
  va_end(ap);
  const int err = take_call(C_OPEN, NULL);
  if (err != 0) {
    errno = err;
    return -1;
  }
  return real_open ? real_open(path, flags, mode)
                   : (int)syscall(SYS_openat, AT_FDCWD, path, flags, mode);
}

SHIM_EXPORT int open64(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = mode_argument(flags, ap);
  va_end(ap);
  const int err = take_call(C_OPEN, NULL);
  if (err != 0) {
    errno = err;
    return -1;
  }
  return real_open64 ? real_open64(path, flags, mode)
                     : (int)syscall(SYS_openat, AT_FDCWD, path, flags, mode);
}

SHIM_EXPORT int openat(int dirfd, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = mode_argument(flags, ap);
  va_end(ap);
  const int err = take_call(C_OPEN, NULL);
  if (err != 0) {
    errno = err;
    return -1;
  }
  return real_openat ? real_openat(dirfd, path, flags, mode)
                     : (int)syscall(SYS_openat, dirfd, path, flags, mode);
}

SHIM_EXPORT int rename(const char* from, const char* to) {
  const int err = take_call(C_RENAME, NULL);
  if (err != 0) {
    errno = err;
    return -1;
  }
  return real_rename ? real_rename(from, to)
                     : (int)syscall(SYS_renameat, AT_FDCWD, from, AT_FDCWD, to);
}

SHIM_EXPORT int ftruncate(int fd, off_t length) {
  const int err = take_call(C_FTRUNCATE, NULL);
  if (err != 0) {
    errno = err;
    return -1;
  }
  return real_ftruncate ? real_ftruncate(fd, length) : (int)syscall(SYS_ftruncate, fd, length);
}

/* Anonymous mappings are the allocators' (this process's heap), never a file
 * of the engine's; they are passed through uncounted. */
static void* shim_mmap(void* (*real)(void*, size_t, int, int, int, off_t), void* addr,
                       size_t len, int prot, int flags, int fd, off_t off) {
  if ((flags & MAP_ANONYMOUS) == 0 && fd >= 0) {
    const int err = take_call(C_MMAP, NULL);
    if (err != 0) {
      errno = err;
      return MAP_FAILED;
    }
  }
  if (real) return real(addr, len, prot, flags, fd, off);
  return (void*)syscall(SYS_mmap, addr, len, prot, flags, fd, off);
}

SHIM_EXPORT void* mmap(void* addr, size_t len, int prot, int flags, int fd, off_t off) {
  return shim_mmap(real_mmap, addr, len, prot, flags, fd, off);
}

SHIM_EXPORT void* mmap64(void* addr, size_t len, int prot, int flags, int fd, off_t off) {
  return shim_mmap(real_mmap64, addr, len, prot, flags, fd, off);
}
