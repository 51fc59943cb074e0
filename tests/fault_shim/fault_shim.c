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
 *   ferrow_fault_kill_at("rename", skip)
 *       the process kills itself with SIGKILL at the (skip+1)-th call of
 *       rename from now on, before the real call is made;
 *   ferrow_fault_kill_after("rename", skip)
 *       the same, but the real call is made and the process dies before
 *       returning its result;
 *   ferrow_fault_disarm_all();
 *   ferrow_fault_calls("fsync")
 *       how many calls of fsync went through the shim so far;
 *   ferrow_fault_stall_syncs(microseconds)
 *       every later fsync sleeps that long before the real call;
 *   ferrow_fault_record_syncs(path)
 *       after every later fsync that succeeds, appends to `path` one line
 *       "<inode> <length>": the file's length when the fsync began, so that
 *       everything up to it survives a power loss (a test cuts the file
 *       there to play one);
 *
 * Call names: fsync, write, open (open, open64, openat), rename, ftruncate,
 * mmap (mmap, mmap64), pread (pread, pread64), fstat (fstat, fstat64), mkdir,
 * and for the kill and count functions also "any", which counts every call of
 * the first six in the order they happen: killing at the k-th "any" call for
 * k = 0, 1, 2, ... stops a process at each step of an operation in turn.
 * Reads, stats and mkdir stay out of "any": they change nothing a crash could
 * leave half done, and leaving them out keeps those steps few. Only calls that
 * can be the engine's are counted, failed or killed: writes and fstats of
 * descriptors 0 to 2 (warnings, the test's own output) and anonymous mappings
 * (the allocators') pass straight through.
 *
 * Before a kill the shim writes one line to standard error naming the step,
 * for example
 *   ferrow_fault_shim: SIGKILL before rename /q/queue.compact.tmp -> /q/queue.log
 * (descriptors are shown as the path they refer to), so that the test that
 * reaps the process can tell where it died.
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
#include <signal.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#define SHIM_EXPORT __attribute__((visibility("default")))

enum {
  C_FSYNC, C_WRITE, C_OPEN, C_RENAME, C_FTRUNCATE, C_MMAP,
  C_IN_ANY, /* the kinds above count in "any", those below do not */
  C_PREAD = C_IN_ANY, C_FSTAT, C_MKDIR, C_COUNT
};

static const char* const call_names[C_COUNT] = {"fsync", "write", "open",  "rename", "ftruncate",
                                                "mmap",  "pread", "fstat", "mkdir"};
#define C_ANY C_COUNT /* kill and count only: every call of the kinds in "any" */

struct fault {
  atomic_long calls;      /* calls seen so far */
  atomic_long fail_from;  /* first call index that fails */
  atomic_long fail_until; /* first call index after the failing ones */
  atomic_int err;
};

static struct fault faults[C_COUNT];
static atomic_long short_write_at = -1; /* write call index to cut short */
static atomic_long short_write_max = 0;

enum { KILL_NONE, KILL_BEFORE, KILL_AFTER };
static atomic_long any_calls;          /* calls of every kind, in order */
static atomic_int kill_kind = -1;      /* call kind (or C_ANY) whose call kills; -1: none */
static atomic_long kill_index = -1;    /* index of that call in its kind's count */
static atomic_int kill_when = KILL_NONE;

static int call_index(const char* name) {
  if (name == NULL) return -1;
  for (int i = 0; i < C_COUNT; i++) {
    if (strcmp(name, call_names[i]) == 0) return i;
  }
  return -1;
}

static int kill_call_index(const char* name) {
  if (name != NULL && strcmp(name, "any") == 0) return C_ANY;
  return call_index(name);
}

/* Counts one call; returns the errno to fail it with, or 0 to let it through.
 * *kill_out tells whether the process must die at this call (and when). */
static int take_call(int which, long* index_out, int* kill_out) {
  struct fault* f = &faults[which];
  const long n = atomic_fetch_add(&f->calls, 1);
  const long any = which < C_IN_ANY ? atomic_fetch_add(&any_calls, 1) : -1;
  if (index_out != NULL) *index_out = n;
  *kill_out = KILL_NONE;
  int kind = atomic_load(&kill_kind);
  if (kind == which || kind == C_ANY) {
    /* Claimed once, so that only one call (of one thread) kills. */
    if ((kind == C_ANY ? any : n) == atomic_load(&kill_index) && (kind != C_ANY || any >= 0) &&
        atomic_compare_exchange_strong(&kill_kind, &kind, -1)) {
      *kill_out = atomic_load(&kill_when);
    }
  }
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

static int arm_kill(const char* call, int skip, int when) {
  const int which = kill_call_index(call);
  if (which < 0 || skip < 0) return -1;
  atomic_store(&kill_kind, -1);
  const long count = which == C_ANY ? atomic_load(&any_calls) : atomic_load(&faults[which].calls);
  atomic_store(&kill_index, count + skip);
  atomic_store(&kill_when, when);
  atomic_store(&kill_kind, which);
  return 0;
}

SHIM_EXPORT int ferrow_fault_kill_at(const char* call, int skip) {
  return arm_kill(call, skip, KILL_BEFORE);
}

SHIM_EXPORT int ferrow_fault_kill_after(const char* call, int skip) {
  return arm_kill(call, skip, KILL_AFTER);
}

SHIM_EXPORT void ferrow_fault_disarm_all(void) {
  for (int i = 0; i < C_COUNT; i++) atomic_store(&faults[i].fail_until, 0);
  atomic_store(&short_write_at, -1);
  atomic_store(&kill_kind, -1);
}

SHIM_EXPORT int ferrow_fault_calls(const char* call) {
  const int which = kill_call_index(call);
  if (which < 0) return -1;
  if (which == C_ANY) return (int)atomic_load(&any_calls);
  return (int)atomic_load(&faults[which].calls);
}

/* Names the step on standard error, then dies. Nothing here allocates: the
 * call may come from anywhere, even from inside the allocator. */
static void append_text(char* buf, size_t cap, size_t* len, const char* text) {
  while (*text != '\0' && *len + 1 < cap) buf[(*len)++] = *text++;
}

static void append_fd_path(char* buf, size_t cap, size_t* len, int fd) {
  char link[64];
  snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
  char target[1024];
  const ssize_t n = readlink(link, target, sizeof(target) - 1);
  if (n < 0) {
    snprintf(target, sizeof(target), "fd:%d", fd);
  } else {
    target[n] = '\0';
  }
  append_text(buf, cap, len, target);
}

__attribute__((noreturn)) static void die(int when, int which, const char* path,
                                          const char* path2, int fd) {
  char line[2600];
  size_t len = 0;
  append_text(line, sizeof(line), &len, "ferrow_fault_shim: SIGKILL ");
  append_text(line, sizeof(line), &len, when == KILL_BEFORE ? "before " : "after ");
  append_text(line, sizeof(line), &len, call_names[which]);
  append_text(line, sizeof(line), &len, " ");
  if (path != NULL) {
    append_text(line, sizeof(line), &len, path);
    if (path2 != NULL) {
      append_text(line, sizeof(line), &len, " -> ");
      append_text(line, sizeof(line), &len, path2);
    }
  } else {
    append_fd_path(line, sizeof(line), &len, fd);
  }
  line[len++] = '\n';
  (void)syscall(SYS_write, 2, line, len);
  (void)syscall(SYS_kill, (long)syscall(SYS_getpid), SIGKILL);
  for (;;) pause();
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
static ssize_t (*real_pread)(int, void*, size_t, off_t);
static ssize_t (*real_pread64)(int, void*, size_t, off64_t);
static int (*real_fstat)(int, struct stat*);
static int (*real_fstat64)(int, struct stat64*);
static int (*real_mkdir)(const char*, mode_t);

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
  real_pread = (ssize_t(*)(int, void*, size_t, off_t))dlsym(RTLD_NEXT, "pread");
  real_pread64 = (ssize_t(*)(int, void*, size_t, off64_t))dlsym(RTLD_NEXT, "pread64");
  real_fstat = (int (*)(int, struct stat*))dlsym(RTLD_NEXT, "fstat");
  real_fstat64 = (int (*)(int, struct stat64*))dlsym(RTLD_NEXT, "fstat64");
  real_mkdir = (int (*)(const char*, mode_t))dlsym(RTLD_NEXT, "mkdir");
}

/* Before the constructor has run (or if a lookup failed) the system calls
 * themselves stand in, so that nothing ever calls a null pointer. */

static atomic_long sync_stall_us;
static char sync_record_path[4096];

SHIM_EXPORT void ferrow_fault_stall_syncs(long microseconds) {
  atomic_store(&sync_stall_us, microseconds);
}

SHIM_EXPORT int ferrow_fault_record_syncs(const char* path) {
  if (strlen(path) >= sizeof(sync_record_path)) return -1;
  strcpy(sync_record_path, path);
  return 0;
}

/* Raw system calls: the record must not go through the wrapped ones. */
static void record_sync(const struct stat* before) {
  if (sync_record_path[0] == 0 || !S_ISREG(before->st_mode)) return;
  char line[64];
  const int n = snprintf(line, sizeof(line), "%lu %ld\n", (unsigned long)before->st_ino,
                         (long)before->st_size);
  const int out = (int)syscall(SYS_openat, AT_FDCWD, sync_record_path,
                               O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (out < 0) return;
  (void)syscall(SYS_write, out, line, (size_t)n);
  (void)syscall(SYS_close, out);
}

SHIM_EXPORT int fsync(int fd) {
  int kill_when_here;
  const int err = take_call(C_FSYNC, NULL, &kill_when_here);
  if (kill_when_here == KILL_BEFORE) die(KILL_BEFORE, C_FSYNC, NULL, NULL, fd);
  if (err != 0) {
    errno = err;
    return -1;
  }
  struct stat before;
  const int measured = (int)syscall(SYS_fstat, fd, &before);
  const long stall = atomic_load(&sync_stall_us);
  if (stall > 0) usleep((useconds_t)stall);
  const int rc = real_fsync ? real_fsync(fd) : (int)syscall(SYS_fsync, fd);
  if (rc == 0 && measured == 0) record_sync(&before);
  if (kill_when_here == KILL_AFTER) die(KILL_AFTER, C_FSYNC, NULL, NULL, fd);
  return rc;
}

SHIM_EXPORT ssize_t write(int fd, const void* buf, size_t len) {
  int kill_when_here = KILL_NONE;
  if (fd > 2) {
    long n;
    const int err = take_call(C_WRITE, &n, &kill_when_here);
    if (kill_when_here == KILL_BEFORE) die(KILL_BEFORE, C_WRITE, NULL, NULL, fd);
    if (err != 0) {
      errno = err;
      return -1;
    }
    if (n == atomic_load(&short_write_at)) {
      const long max = atomic_load(&short_write_max);
      if ((size_t)max < len) len = (size_t)max;
    }
  }
  const ssize_t rc =
      real_write ? real_write(fd, buf, len) : (ssize_t)syscall(SYS_write, fd, buf, len);
  if (kill_when_here == KILL_AFTER) die(KILL_AFTER, C_WRITE, NULL, NULL, fd);
  return rc;
}

static mode_t mode_argument(int flags, va_list ap) {
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) return (mode_t)va_arg(ap, int);
  return 0;
}

/* Shared by the three entry points of open: counts the call, dies or fails
 * it (returning -1 with errno set) before the real call is made... */
static int before_open(const char* path, int* kill_when_here) {
  const int err = take_call(C_OPEN, NULL, kill_when_here);
  if (*kill_when_here == KILL_BEFORE) die(KILL_BEFORE, C_OPEN, path, NULL, -1);
  if (err != 0) {
    errno = err;
    return -1;
  }
  return 0;
}

/* ... or dies after it. */
static int after_open(int fd, const char* path, int kill_when_here) {
  if (kill_when_here == KILL_AFTER) die(KILL_AFTER, C_OPEN, path, NULL, -1);
  return fd;
}

SHIM_EXPORT int open(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = mode_argument(flags, ap);
  va_end(ap);
  int kill_when_here;
  if (before_open(path, &kill_when_here) != 0) return -1;
  return after_open(real_open ? real_open(path, flags, mode)
                              : (int)syscall(SYS_openat, AT_FDCWD, path, flags, mode),
                    path, kill_when_here);
}

SHIM_EXPORT int open64(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = mode_argument(flags, ap);
  va_end(ap);
  int kill_when_here;
  if (before_open(path, &kill_when_here) != 0) return -1;
  return after_open(real_open64 ? real_open64(path, flags, mode)
                                : (int)syscall(SYS_openat, AT_FDCWD, path, flags, mode),
                    path, kill_when_here);
}

SHIM_EXPORT int openat(int dirfd, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = mode_argument(flags, ap);
  va_end(ap);
  int kill_when_here;
  if (before_open(path, &kill_when_here) != 0) return -1;
  return after_open(real_openat ? real_openat(dirfd, path, flags, mode)
                                : (int)syscall(SYS_openat, dirfd, path, flags, mode),
                    path, kill_when_here);
}

SHIM_EXPORT int rename(const char* from, const char* to) {
  int kill_when_here;
  const int err = take_call(C_RENAME, NULL, &kill_when_here);
  if (kill_when_here == KILL_BEFORE) die(KILL_BEFORE, C_RENAME, from, to, -1);
  if (err != 0) {
    errno = err;
    return -1;
  }
  const int rc = real_rename ? real_rename(from, to)
                             : (int)syscall(SYS_renameat, AT_FDCWD, from, AT_FDCWD, to);
  if (kill_when_here == KILL_AFTER) die(KILL_AFTER, C_RENAME, from, to, -1);
  return rc;
}

SHIM_EXPORT int ftruncate(int fd, off_t length) {
  int kill_when_here;
  const int err = take_call(C_FTRUNCATE, NULL, &kill_when_here);
  if (kill_when_here == KILL_BEFORE) die(KILL_BEFORE, C_FTRUNCATE, NULL, NULL, fd);
  if (err != 0) {
    errno = err;
    return -1;
  }
  const int rc =
      real_ftruncate ? real_ftruncate(fd, length) : (int)syscall(SYS_ftruncate, fd, length);
  if (kill_when_here == KILL_AFTER) die(KILL_AFTER, C_FTRUNCATE, NULL, NULL, fd);
  return rc;
}

/* Anonymous mappings are the allocators' (this process's heap), never a file
 * of the engine's; they are passed through uncounted. */
static void* shim_mmap(void* (*real)(void*, size_t, int, int, int, off_t), void* addr,
                       size_t len, int prot, int flags, int fd, off_t off) {
  int kill_when_here = KILL_NONE;
  if ((flags & MAP_ANONYMOUS) == 0 && fd >= 0) {
    const int err = take_call(C_MMAP, NULL, &kill_when_here);
    if (kill_when_here == KILL_BEFORE) die(KILL_BEFORE, C_MMAP, NULL, NULL, fd);
    if (err != 0) {
      errno = err;
      return MAP_FAILED;
    }
  }
  void* result = real ? real(addr, len, prot, flags, fd, off)
                      : (void*)syscall(SYS_mmap, addr, len, prot, flags, fd, off);
  if (kill_when_here == KILL_AFTER) die(KILL_AFTER, C_MMAP, NULL, NULL, fd);
  return result;
}

SHIM_EXPORT void* mmap(void* addr, size_t len, int prot, int flags, int fd, off_t off) {
  return shim_mmap(real_mmap, addr, len, prot, flags, fd, off);
}

SHIM_EXPORT void* mmap64(void* addr, size_t len, int prot, int flags, int fd, off_t off) {
  return shim_mmap(real_mmap64, addr, len, prot, flags, fd, off);
}

/* Reads, stats and directory creation can only fail or be counted: nothing is
 * left half done by dying at one, so they take no part in kills. */
static int fail_instead(int which) {
  int kill_when_here;
  const int err = take_call(which, NULL, &kill_when_here);
  if (err != 0) errno = err;
  return err;
}


SHIM_EXPORT ssize_t pread(int fd, void* buf, size_t len, off_t off) {
  if (fail_instead(C_PREAD) != 0) return -1;
  return real_pread ? real_pread(fd, buf, len, off)
                    : (ssize_t)syscall(SYS_pread64, fd, buf, len, off);
}

SHIM_EXPORT ssize_t pread64(int fd, void* buf, size_t len, off64_t off) {
  if (fail_instead(C_PREAD) != 0) return -1;
  return real_pread64 ? real_pread64(fd, buf, len, off)
                      : (ssize_t)syscall(SYS_pread64, fd, buf, len, off);
}

SHIM_EXPORT int fstat(int fd, struct stat* st) {
  if (fd > 2 && fail_instead(C_FSTAT) != 0) return -1;
  return real_fstat ? real_fstat(fd, st) : (int)syscall(SYS_fstat, fd, st);
}

SHIM_EXPORT int fstat64(int fd, struct stat64* st) {
  if (fd > 2 && fail_instead(C_FSTAT) != 0) return -1;
  return real_fstat64 ? real_fstat64(fd, st) : (int)syscall(SYS_fstat, fd, st);
}

SHIM_EXPORT int mkdir(const char* path, mode_t mode) {
  if (fail_instead(C_MKDIR) != 0) return -1;
  return real_mkdir ? real_mkdir(path, mode) : (int)syscall(SYS_mkdirat, AT_FDCWD, path, mode);
}
