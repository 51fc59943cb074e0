// The cross-process lock of a queue directory: one 64-bit word at offset 0 of
// the shared mapping of `.proc_lock`.
//
//   lock_word (u64, little-endian):  0 free, 1 held by some process.
//
// Taken by compare-and-swap 0 -> 1 with acquire ordering, released by storing
// 0 with release ordering. The word records no owner: a process that dies
// holding it leaves it at 1, and every later operation on the directory times
// out until someone writes 0 back. Bytes past the first 8 are never touched.
//
// Taking and releasing needs no system call; that is why the word lives in
// shared memory rather than behind a file lock.
#ifndef FERROW_QUEUE_PROCESS_LOCK_H_
#define FERROW_QUEUE_PROCESS_LOCK_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "queue/file_io.h"
#include "queue/result.h"

namespace ferrow {

inline constexpr char PROC_LOCK_NAME[] = ".proc_lock";
inline constexpr char LOCK_TIMEOUT_TEXT[] =
    "process lock timed out (mmap fallback; possibly a stale lock)";

class ProcessLock {
 public:
  // Creates `<dir>/.proc_lock` if missing (never truncating it), extends it to
  // 8 zero bytes if shorter, and maps the whole file shared read-write.
  static Result<ProcessLock> open(const std::string& dir);

  ProcessLock(ProcessLock&&) = default;
  ProcessLock& operator=(ProcessLock&&) = default;

  // Waits for the word (spin, then yield, then 50 us sleeps) for at most
  // 30 seconds of monotonic time. Not reentrant: the holder waits for itself.
  Status acquire();
  // Stores 0 whoever holds the word. Cannot fail.
  void release();

 private:
  explicit ProcessLock(Mapping mapping) : mapping_(std::move(mapping)) {}
  uint64_t* word() const { return static_cast<uint64_t*>(mapping_.base()); }

  Mapping mapping_;  // the whole file, shared read-write; outlives the descriptor
};

}  // namespace ferrow

#endif  // FERROW_QUEUE_PROCESS_LOCK_H_
