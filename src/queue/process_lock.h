// The cross-process lock of a queue directory, kept in the shared mapping of
// `.proc_lock`, and the record of who holds it. The file's bytes are laid
// out in proc_lock_layout.h.
//
// The lock word holds 0 when free. A holder that can be identified writes
// its token; any other non-zero value (1, as builds without holder records
// write) is a holder nobody can identify. Waiters that sleep on the word set
// WAITERS_BIT: the releaser wakes them only then.
//
// Every open queue object owns one slot for its lifetime and holds an open
// file description lock (F_OFD_SETLK) on that slot's 32 bytes. The kernel
// drops such a lock when the last descriptor of its description closes, so
// when the process dies, whatever pid namespace or container it lived in.
// A token names its slot in its low 16 bits and is unique to one owner, so
// "the slot's token is still ours and its range is still locked" proves the
// holder alive; anything else proves it dead. Only a waiter checks, after
// its spin and yield phases: taking and releasing the word stay a compare-
// and-swap and a store in shared memory.
//
// Before it touches the mapping, every acquire looks at the file with one
// fstat. A file cut shorter (where the mapping would raise SIGBUS) is grown
// back to its length, there or, if the cut comes later, by the CutGuard's
// fault handler. A file whose last name is gone (removed, or replaced
// by rename, with the directory or alone) is left: the process takes the
// old word, which keeps out everyone still on the old file, then the word
// of the file the path names now (creating it if need be), and keeps the
// new one. Every process moves over at its next call, and none of them
// works under a lock that newcomers cannot see.
#ifndef FERROW_QUEUE_PROCESS_LOCK_H_
#define FERROW_QUEUE_PROCESS_LOCK_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "queue/cut_guard.h"
#include "queue/file_io.h"
#include "queue/proc_lock_layout.h"
#include "queue/result.h"

namespace ferrow {

inline constexpr char LOCK_TIMEOUT_TEXT[] =
    "process lock timed out (mmap fallback; possibly a stale lock)";
inline constexpr char LOCK_INTERRUPTED_TEXT[] = "interrupted while waiting for the process lock";

// How a wait for the word behaves. `interrupted`, if set, is asked between
// sleeps; when it answers true the wait ends with an Interrupted error.
struct LockWait {
  uint64_t timeout_ms = 30000;
  bool (*interrupted)() = nullptr;
};

// What a waiter makes of the value it found in the word.
enum class LockHolder { Free, Alive, Dead, Unidentified };

class ProcessLock {
 public:
  // Creates `<dir>/.proc_lock` if missing (never truncating it), extends it
  // to LOCK_FILE_LEN zero bytes if shorter, maps it shared read-write and
  // claims a slot. Without a free slot, or on a file system without open
  // file description locks, the lock still works, but writes 1 as its token.
  static Result<std::unique_ptr<ProcessLock>> open(const std::string& dir);

  ProcessLock(const ProcessLock&) = delete;
  ProcessLock& operator=(const ProcessLock&) = delete;
  ~ProcessLock();

  // Waits for the word: spin, then yield, then sleep on it (woken by the
  // releaser) while checking every few milliseconds whether its holder
  // still lives. A dead holder's word is taken over by compare-and-swap, so
  // exactly one waiter wins, and *took_over says so: the caller must then
  // clear what the dead holder left half-done. Not reentrant.
  Status acquire(const LockWait& wait, bool* took_over);
  // Stores 0 and wakes the sleeping waiters, if any. Cannot fail. Notes
  // whether the word still held this owner's token (see word_was_changed).
  void release();
  // Whether the word still holds this owner's token: false when another
  // writer cleared or took it during this owner's hold.
  bool holds_word() const;
  // Whether a release since the last call found in the word something other
  // than this owner's token: another writer changed it during the hold.
  bool word_was_changed() {
    const bool changed = word_changed_;
    word_changed_ = false;
    return changed;
  }

  // Whether the word's holder lives, as a waiter would judge it.
  LockHolder holder(uint64_t word) const;
  uint64_t token() const { return token_; }
  // Whether `token` can have been written by an owner of this file: 1 (an
  // owner without a slot), or a token that its slot records (or a slot a
  // cut wiped). A dead owner's token stays plausible until its slot is
  // taken again; anything else was written by someone else.
  bool plausible_token(uint64_t token) const;
  const std::string& path() const { return path_; }
  // The start of the shared mapping, where the commit marks live.
  char* header() const { return static_cast<char*>(mapping_.base()); }

 private:
  ProcessLock(std::string dir, std::string path, FileHandle map_file, Mapping mapping);
  // The wait for this file's word. Sets *removed if a look at the file
  // between sleeps finds its names gone.
  Status acquire_word(const LockWait& wait, bool* took_over, bool* removed);
  // One fstat: grows a cut file back and says whether its names are gone.
  Status check_file(bool* removed);
  // Holding the old word: takes the word of the file the path names now and
  // makes it this object's.
  Status move_to_named_file(const LockWait& wait, bool* took_over);
  // Writes this owner's record into its slot (again after a cut wiped it).
  void publish_slot();
  // Takes a slot and a fresh token for this object (again in a forked child,
  // which must not pass for its parent).
  Status claim_slot();
  void forget_slot_after_fork();
  static void after_fork_in_child();

  char* slot(uint64_t index) const;

  const std::string dir_;
  const std::string path_;
  FileHandle map_file_;  // the description the mapping was made from
  Mapping mapping_;      // the whole file, shared read-write
  CutGuard cut_guard_;   // grows the file back if someone cuts it
  FileHandle file_;      // holds the slot's lock; absent without a slot
  FileIdentity identity_;  // of the mapped file
  uint64_t token_ = 1;   // what this object writes into the word
  uint64_t slot_ = LOCK_SLOT_COUNT;
  uint64_t pid_namespace_ = 0;
  bool claim_needed_ = false;  // set in a forked child
  bool word_changed_ = false;
};

}  // namespace ferrow

#endif  // FERROW_QUEUE_PROCESS_LOCK_H_
