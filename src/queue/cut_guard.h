// A shared mapping whose file someone else cuts shorter raises SIGBUS at
// the next touch of a page past the new end, and the default action kills
// the process, whatever it was doing. The lock file's mapping is touched in
// every operation, so a `truncate` run by hand (or a cut by another
// program) would otherwise crash every process on the queue.
//
// A CutGuard registers one mapping with a SIGBUS handler installed on first
// use. A fault inside a registered mapping grows its file back to the
// mapped length (ftruncate, async-signal-safe) and returns, so that the
// interrupted access runs again on the restored, zero-filled pages. Faults
// anywhere else go to the handler that was installed before, or to the
// default action.
#ifndef FERROW_QUEUE_CUT_GUARD_H_
#define FERROW_QUEUE_CUT_GUARD_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace ferrow {

class CutGuard {
 public:
  CutGuard() = default;
  // `fd` must stay open, on the mapped file, for the guard's lifetime.
  // Without a free registration the guard does nothing (a fault then kills,
  // as without it).
  CutGuard(const void* base, uint64_t length, int fd);
  CutGuard(CutGuard&& other) noexcept : entry_(other.entry_) { other.entry_ = -1; }
  CutGuard& operator=(CutGuard&& other) noexcept;
  CutGuard(const CutGuard&) = delete;
  CutGuard& operator=(const CutGuard&) = delete;
  ~CutGuard() { reset(); }

  // Whether a fault grew the file since the last call, which clears it.
  bool take_cut();
  void reset();

 private:
  int entry_ = -1;
};

// Appends `length` bytes from `from`, inside a read-only mapping of a file
// that another process may cut at any moment, to the empty string `to`.
// Returns false, with `to` left empty, if a page was gone (the file ended
// before `from + length`, or the page could not be read): the fault that
// would have killed the process ends the copy instead. Faults elsewhere, and
// in other threads, are not caught. Costs no system call when nothing faults.
bool copy_from_mapping(std::string* to, const char* from, size_t length);

}  // namespace ferrow

#endif  // FERROW_QUEUE_CUT_GUARD_H_
