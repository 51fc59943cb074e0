// statx() as a plain system call, for C libraries older than glibc 2.28. A
// kernel older than 4.11 answers ENOSYS, upon which the engine uses lstat().
#include "compat/statx.h"

#include <sys/syscall.h>
#include <unistd.h>

extern "C" int statx(int dirfd, const char* path, int flags, unsigned int mask,
                     struct statx* buf) {
  return static_cast<int>(::syscall(SYS_statx, dirfd, path, flags, mask, buf));
}
