// Declares statx() where the C library's headers do not: glibc added the
// wrapper in 2.28, while the wheels are built against glibc 2.17 so that they
// load on every distribution since then. The build force-includes this header
// into the engine only when sys/stat.h lacks the declaration; statx.cc
// supplies the definition.
#ifndef FERROW_COMPAT_STATX_H_
#define FERROW_COMPAT_STATX_H_

#include <sys/stat.h>
#include <linux/stat.h>  // struct statx and the STATX_* masks (Linux 4.11)

#ifdef __cplusplus
extern "C" {
#endif

int statx(int dirfd, const char* path, int flags, unsigned int mask, struct statx* buf)
    __attribute__((visibility("hidden")));

#ifdef __cplusplus
}
#endif

#endif  // FERROW_COMPAT_STATX_H_
