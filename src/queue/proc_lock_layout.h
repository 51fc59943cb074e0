// The bytes of `.proc_lock`, the file that every process of a queue
// directory maps shared and read-write. This is the only place that gives
// an offset, a size or a bit of it; the lock (process_lock.cc) and the
// commit marks (commit_marks.cc) name these constants, and so does the
// administration tool through the module's constant table.
//
//   offset  size  field
//   0       8     lock word: 0 free; else the holder's token (TOKEN_TAG set)
//                 or a value that names nobody (1, written by an owner
//                 without a slot); WAITERS_BIT set by sleeping waiters.
//                 Waiters sleep on its lower half (a futex).
//   8       8     leader: token of the process whose fsync now runs for
//                 all, or 0.
//   16      8     next nonce: source of unique tokens.
//   24      8     appended mark: end of the records written so far.
//   32      8     unused (first builds with marks announced fsyncs here).
//   40      8     synced mark: the largest end a completed fsync covered.
//                 Followers sleep on its lower half (a futex).
//   48      4     sleepers: processes waiting for the synced mark to rise.
//                 A gathering leader sleeps on it (a futex).
//   52      4     gathering: bits 0..30 how many waited for the last fsync;
//                 bit 31 a leader waits for followers.
//   56      8     unused (as 32).
//   64      SLOT_COUNT slots of SLOT_LEN bytes, one per open queue object:
//     +0    8     token of the slot's owner
//     +8    4     pid, in the owner's own pid namespace
//     +12   4     unused
//     +16   8     inode of the owner's pid namespace
//     +24   8     monotonic time (ns) at which the owner last took the word
//
// A token is TOKEN_TAG | nonce << NONCE_SHIFT | (slot + 1): the slot lives
// in bits 0..15, so the futex half of a held word is never 0.
//
// A mark (appended, synced) is tag << MARK_TAG_SHIFT | end, the tag being
// the log's generation modulo 2^16; 0 knows nothing.
//
// Every field is read and written only with atomic operations on the
// mapping, in the byte order of the machine: the file is never copied
// between machines, but builds of different ages share it, and every
// machine this runs on is little-endian (asserted below).
#ifndef FERROW_QUEUE_PROC_LOCK_LAYOUT_H_
#define FERROW_QUEUE_PROC_LOCK_LAYOUT_H_

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace ferrow {

inline constexpr char PROC_LOCK_NAME[] = ".proc_lock";

// Header words.
inline constexpr size_t LOCK_WORD_OFFSET = 0;
inline constexpr size_t LEADER_OFFSET = 8;
inline constexpr size_t NEXT_NONCE_OFFSET = 16;
inline constexpr size_t APPENDED_OFFSET = 24;
inline constexpr size_t SYNCED_OFFSET = 40;
inline constexpr size_t SLEEPERS_OFFSET = 48;
inline constexpr size_t GATHERING_OFFSET = 52;

// The slot table.
inline constexpr uint64_t LOCK_SLOTS_OFFSET = 64;
inline constexpr uint64_t LOCK_SLOT_LEN = 8 + 4 + 4 + 8 + 8;  // token, pid, unused, pid ns, since
inline constexpr uint64_t LOCK_SLOT_COUNT = 4096;
inline constexpr uint64_t LOCK_FILE_LEN = LOCK_SLOTS_OFFSET + LOCK_SLOT_COUNT * LOCK_SLOT_LEN;
inline constexpr size_t SLOT_TOKEN = 0;
inline constexpr size_t SLOT_PID = 8;
inline constexpr size_t SLOT_PID_NS = 16;
inline constexpr size_t SLOT_SINCE = 24;

// Bits of the lock word.
inline constexpr uint64_t LOCK_TOKEN_TAG = uint64_t{1} << 63;
inline constexpr uint64_t WAITERS_BIT = uint64_t{1} << 62;
inline constexpr uint64_t SLOT_MASK = 0xFFFF;  // slot + 1
inline constexpr unsigned NONCE_SHIFT = 16;
inline constexpr uint64_t NONCE_MASK = (uint64_t{1} << 46) - 1;  // bits 16..61

// Bits of the marks and of the gathering word.
inline constexpr unsigned MARK_TAG_SHIFT = 48;
inline constexpr uint64_t MARK_OFFSET_MASK = (uint64_t{1} << MARK_TAG_SHIFT) - 1;
inline constexpr uint32_t GATHERING_BIT = uint32_t{1} << 31;

static_assert(SYNCED_OFFSET + 8 == SLEEPERS_OFFSET && GATHERING_OFFSET + 4 == 56,
              "the marks' words are packed as the table above shows");
static_assert(LOCK_SLOTS_OFFSET >= 56 + 8, "the slot table starts after the header words");
static_assert(LOCK_SLOT_LEN == 32 && SLOT_SINCE + 8 == LOCK_SLOT_LEN, "a slot is 32 bytes");
static_assert(LOCK_SLOT_COUNT < SLOT_MASK, "slot + 1 must fit its bits");
static_assert((NONCE_MASK << NONCE_SHIFT & (LOCK_TOKEN_TAG | WAITERS_BIT | SLOT_MASK)) == 0,
              "the nonce bits overlap no other field of the word");
// Other processes see these words only if an operation on them is one
// instruction on the shared page, never a lock private to this process.
static_assert(std::atomic_ref<uint64_t>::is_always_lock_free &&
                  std::atomic_ref<uint32_t>::is_always_lock_free,
              "shared words need lock-free atomics");
// A futex compares 32 bits at the word's address: its lower half only on a
// little-endian machine, where the slot bits of a token lie.
static_assert(std::endian::native == std::endian::little,
              "the futex halves and the file assume a little-endian machine");

}  // namespace ferrow

#endif  // FERROW_QUEUE_PROC_LOCK_LAYOUT_H_
