#include "queue/replay_pipeline.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "queue/file_io.h"
#include "queue/log_format.h"
#include "queue/replay_frames.h"

namespace ferrow {
namespace {

// Below this a second thread saves less than it costs to start.
constexpr uint64_t kPipelineMinBytes = uint64_t{8} << 20;

constexpr uint64_t kUnknown = UINT64_MAX;

// About a hundred microseconds of spinning before a wait sleeps.
constexpr int kSpins = 2000;

inline void spin_pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// What the two threads share. Piece k holds the file's bytes from
// start + k * piece_bytes on, in slot k % pieces. A slot takes a new piece
// only once the applying thread has left the piece the slot held; as that
// thread applies nothing the checker has not passed, the checker has left
// it too. Either thread reads the next piece when it would otherwise wait,
// so that the copying from the page cache is shared out as well.
struct Ring {
  Ring(uint64_t start_offset, const PipelineShape& shape)
      : start(start_offset),
        piece_bytes(shape.piece_bytes),
        pieces(shape.pieces),
        bytes(new char[shape.piece_bytes * shape.pieces]),
        slot_piece(shape.pieces, kUnknown),
        slot_len(shape.pieces, 0),
        crossing_start(shape.pieces, 0),
        crossing_end(shape.pieces, 0),
        checked_to(start_offset) {}

  uint64_t piece_of(uint64_t offset) const { return (offset - start) / piece_bytes; }
  uint64_t piece_begin(uint64_t piece) const { return start + piece * piece_bytes; }
  size_t slot_of(uint64_t piece) const { return static_cast<size_t>(piece % pieces); }
  char* slot(uint64_t piece) { return bytes.get() + slot_of(piece) * piece_bytes; }

  // With the lock held: `piece` is the next piece to read (pieces before it
  // are skipped: they lie inside a frame read on its own) and its slot is
  // free. Claims it.
  bool claim(uint64_t piece) {
    if (piece < next_read || piece >= piece_count || piece >= applying_piece + pieces) return false;
    next_read = piece + 1;
    return true;
  }
  // Reads a claimed piece: the lock is released for the read itself.
  void read(std::unique_lock<std::mutex>& lock, int fd, const std::string& path, uint64_t piece) {
    lock.unlock();
    Result<size_t> got = pread_up_to(fd, path, slot(piece), piece_bytes, piece_begin(piece));
    lock.lock();
    if (!got.ok()) {
      if (!error) error = std::make_unique<QueueError>(got.error());
    } else {
      const size_t s = slot_of(piece);
      if (got.value() > 0) {
        slot_piece[s] = piece;
        slot_len[s] = got.value();
        crossing_start[s] = crossing_end[s] = 0;
      }
      if (got.value() < piece_bytes) {
        piece_count = std::min(piece_count, piece + (got.value() > 0 ? 1 : 0));
      }
    }
    notify();
  }

  // With the lock held: wakes the other thread to look again.
  void notify() {
    version.fetch_add(1, std::memory_order_release);
    changed.notify_all();
  }
  // Releases the lock until the other thread calls notify(). The threads
  // hand pieces to each other every few tens of microseconds: sleeping at
  // once on each handoff lets the scheduler put both on one CPU, so a wait
  // first spins for a while.
  void wait(std::unique_lock<std::mutex>& lock) {
    const uint64_t seen = version.load(std::memory_order_relaxed);
    lock.unlock();
    for (int i = 0; i < kSpins; i++) {
      if (version.load(std::memory_order_acquire) != seen) break;
      spin_pause();
    }
    lock.lock();
    changed.wait(lock, [&] { return version.load(std::memory_order_relaxed) != seen; });
  }

  const uint64_t start;
  const size_t piece_bytes;
  const size_t pieces;
  const std::unique_ptr<char[]> bytes;  // a piece's slot is written by the thread that claimed it

  // Everything below is guarded by `mutex`; `changed` wakes either thread.
  std::mutex mutex;
  std::condition_variable changed;
  std::atomic<uint64_t> version{0};  // of the fields below: raised by every notify()
  std::vector<uint64_t> slot_piece;  // the piece each slot holds (kUnknown: none)
  std::vector<size_t> slot_len;      // its bytes: piece_bytes but in the last piece
  // The frame that crosses the end of the slot's piece, as the checker found
  // it (end 0: not found yet). The checker does not check it: the applying
  // thread reads it whole and checks it itself.
  std::vector<uint64_t> crossing_start;
  std::vector<uint64_t> crossing_end;
  uint64_t next_read = 0;           // the first piece nobody has claimed
  uint64_t applying_piece = 0;      // where the applying thread is
  uint64_t piece_count = kUnknown;  // pieces holding bytes, once a read found the end
  std::unique_ptr<QueueError> error;  // a read failed
  uint64_t checked_to;              // every frame the checker walked before this is intact
  bool checker_done = false;        // and checked_to is where it stopped
  bool stop = false;                // the applying thread is done with the checker
};

// The checker's whole work: walk the frames through the ring, check each
// CRC, and say how far they are intact.
void check_ahead(Ring& ring, int fd, const std::string& path) noexcept {
  uint64_t pos = ring.start;
  std::unique_lock<std::mutex> lock(ring.mutex);
  // Until the ring holds `piece` (true), or it never will (false).
  auto obtain = [&](uint64_t piece) {
    for (;;) {
      if (ring.stop || ring.error || piece >= ring.piece_count) return false;
      if (ring.slot_piece[ring.slot_of(piece)] == piece) return true;
      if (ring.claim(piece)) {
        ring.read(lock, fd, path, piece);
      } else {
        ring.wait(lock);
      }
    }
  };
  for (;;) {
    const uint64_t piece = ring.piece_of(pos);
    if (!obtain(piece)) break;
    const size_t s = ring.slot_of(piece);
    const uint64_t begin = ring.piece_begin(piece);
    const uint64_t end = begin + ring.slot_len[s];
    const char* base = ring.slot(piece);
    // A frame that crossed into this piece ends past the file's end: it is
    // not whole, and the applying thread finds so when it reads it.
    if (pos > end) break;
    lock.unlock();
    pos += check_intact_frames(std::string_view(base + (pos - begin), end - pos));
    lock.lock();
    ring.checked_to = pos;
    ring.notify();
    if (pos == end) {
      if (ring.slot_len[s] < ring.piece_bytes) break;  // the end of the file
      continue;  // into the next piece, if there is one
    }
    // The frame at pos is damaged, or this piece holds only part of it.
    char header[FRAME_HEADER_LEN];
    const size_t held = static_cast<size_t>(end - pos);
    std::memcpy(header, base + (pos - begin), std::min<size_t>(held, FRAME_HEADER_LEN));
    if (held < FRAME_HEADER_LEN) {
      // The next piece begins with the rest of the header.
      if (!obtain(piece + 1) || ring.slot_len[ring.slot_of(piece + 1)] < FRAME_HEADER_LEN - held) {
        break;
      }
      std::memcpy(header + held, ring.slot(piece + 1), FRAME_HEADER_LEN - held);
    }
    const uint64_t len = decode_fixed32(header + FRAME_LEN_OFFSET);
    const uint64_t frame_end = pos + FRAME_HEADER_LEN + len;
    // A damaged header, a whole frame whose CRC failed, or a frame the file
    // ends inside: that is where the intact frames end.
    if (std::memcmp(header, RECORD_MAGIC, 4) != 0 || len > MAX_RECORD_LEN || frame_end <= end ||
        piece + 1 >= ring.piece_count) {
      break;
    }
    ring.crossing_start[s] = pos;
    ring.crossing_end[s] = frame_end;
    ring.notify();
    pos = frame_end;
  }
  ring.checker_done = true;
  ring.notify();
}

// Tells the checker to stop and waits for it, however the applying thread
// leaves.
class Checker {
 public:
  Checker(Ring& ring, int fd, const std::string& path)
      : ring_(ring), thread_(check_ahead, std::ref(ring), fd, std::cref(path)) {}
  ~Checker() {
    {
      std::lock_guard<std::mutex> guard(ring_.mutex);
      ring_.stop = true;
    }
    ring_.notify();
    thread_.join();
  }
  Checker(const Checker&) = delete;
  Checker& operator=(const Checker&) = delete;

 private:
  Ring& ring_;
  std::thread thread_;
};

int usable_cpus() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof(set), &set) != 0) return 1;
  return CPU_COUNT(&set);
}

}  // namespace

bool pipeline_pays(uint64_t bytes) {
  static const int cpus = usable_cpus();
  return bytes >= kPipelineMinBytes && cpus > 1;
}

Result<uint64_t> apply_frames_pipelined(int fd, const std::string& path, uint64_t start,
                                        QueueState& state, const PipelineShape& shape) {
  assert(shape.pieces >= 2);  // the checker reads one piece ahead for a cut header
  Ring ring(start, shape);
  std::unique_ptr<Checker> checker;
  try {
    checker = std::make_unique<Checker>(ring, fd, path);
  } catch (const std::system_error&) {
    return start;  // no thread to be had: the caller replays on its own
  }
  uint64_t pos = start;
  std::string crossing;  // a frame that crosses pieces, read on its own
  // Released before the checker is stopped, whichever way this returns.
  std::unique_lock<std::mutex> lock(ring.mutex);
  for (;;) {
    const uint64_t piece = ring.piece_of(pos);
    const size_t s = ring.slot_of(piece);
    if (ring.applying_piece != piece) {
      // Frees the slots of the pieces before; those not read yet lay inside
      // a frame read on its own and never will be.
      ring.applying_piece = piece;
      ring.next_read = std::max(ring.next_read, piece);
      ring.notify();
    }
    if (ring.error) return *ring.error;

    if (ring.crossing_end[s] != 0 && ring.crossing_start[s] == pos) {
      // Read and checked here, CRC and all: the checker saw only its header.
      const size_t size = static_cast<size_t>(ring.crossing_end[s] - pos);
      lock.unlock();
      crossing.resize(size);
      Result<size_t> got = pread_up_to(fd, path, crossing.data(), size, pos);
      if (!got.ok()) return got.error();
      const uint64_t applied =
          apply_intact_frames(std::string_view(crossing.data(), got.value()), pos, state);
      pos += applied;
      if (applied != size) return pos;
      lock.lock();
      continue;
    }
    if (ring.checked_to > pos) {
      const uint64_t checked = ring.checked_to;
      const uint64_t begin = ring.piece_begin(piece);
      const uint64_t end = begin + ring.slot_len[s];
      // The checker has passed pos, so the slot holds this piece and the
      // piece holds pos; said here so that no reading can go past the ring.
      if (ring.slot_piece[s] != piece || pos >= end) return pos;
      const uint64_t limit = std::min(checked, end);
      const char* at = ring.slot(piece) + (pos - begin);
      lock.unlock();
      const uint64_t applied = apply_checked_frames(std::string_view(at, limit - pos), pos, state);
      pos += applied;
      at += applied;
      if (pos != limit) {
        // Short of the limit: the frame at pos crosses into the next piece
        // (only a checker that has passed this piece's end has found it), or
        // it was checked whole and is undecodable.
        const bool crosses = end - pos < FRAME_HEADER_LEN ||
                             pos + FRAME_HEADER_LEN + decode_fixed32(at + FRAME_LEN_OFFSET) > end;
        if (!crosses || checked <= end) return pos;
      }
      lock.lock();
      continue;
    }
    if (ring.checker_done) return pos;
    // Nothing to apply yet: read ahead, or wait.
    if (ring.claim(ring.next_read)) {
      ring.read(lock, fd, path, ring.next_read - 1);
    } else {
      ring.wait(lock);
    }
  }
}

}  // namespace ferrow
