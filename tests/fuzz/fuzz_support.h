// Shared by the log fuzzers: a scratch queue directory, capture of the
// warnings the engine writes to descriptor 2, an expected-state walk over log
// bytes, and the invariants that hold for any queue whatever its log held.
#ifndef FERROW_TESTS_FUZZ_FUZZ_SUPPORT_H_
#define FERROW_TESTS_FUZZ_FUZZ_SUPPORT_H_

#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "queue/clock.h"
#include "queue/log_format.h"
#include "queue/queue.h"
#include "queue/queue_state.h"

namespace ferrow::fuzz {

// Descriptor 2 as it was at start-up: the engine's warnings are captured
// through descriptor 2 while an input runs, so failures are reported here.
inline int g_report_fd = 2;

[[noreturn]] inline void fail(const char* file, int line, const char* format, ...) {
  char text[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  dprintf(g_report_fd, "%s:%d: invariant violated: %s\n", file, line, text);
  abort();
}

#define FUZZ_CHECK(cond, ...)                                    \
  do {                                                           \
    if (!(cond)) ::ferrow::fuzz::fail(__FILE__, __LINE__, __VA_ARGS__); \
  } while (0)

inline std::string describe(const QueueError& error) { return error.message(); }

template <typename T>
T expect_ok(Result<T> result, const char* what) {
  FUZZ_CHECK(result.ok(), "%s failed: %s", what, describe(result.error()).c_str());
  return std::move(result.value());
}
inline void expect_ok(Status status, const char* what) {
  FUZZ_CHECK(status.ok(), "%s failed: %s", what, describe(status.error()).c_str());
}

// One-time set-up: report failures on the real stderr, and make a scratch
// directory (under $TMPDIR) that is removed when the fuzzer exits normally.
class Scratch {
 public:
  Scratch() {
    g_report_fd = dup(2);
    __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(g_report_fd)));
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/ferrow-fuzz.XXXXXX";
    FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr, "mkdtemp %s", pattern.c_str());
    root_ = pattern;
    queue_dir_ = root_ + "/q";
    FUZZ_CHECK(mkdir(queue_dir_.c_str(), 0755) == 0, "mkdir %s", queue_dir_.c_str());
    log_path_ = queue_dir_ + "/queue.log";
    capture_fd_ = memfd_create("ferrow-fuzz-stderr", 0);
    FUZZ_CHECK(capture_fd_ >= 0, "memfd_create");
  }
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  const std::string& root() const { return root_; }
  const std::string& queue_dir() const { return queue_dir_; }
  const std::string& log_path() const { return log_path_; }

  // From here until stop_capture(), what is written to descriptor 2 is kept.
  void start_capture() {
    FUZZ_CHECK(ftruncate(capture_fd_, 0) == 0 && lseek(capture_fd_, 0, SEEK_SET) == 0, "reset");
    FUZZ_CHECK(dup2(capture_fd_, 2) == 2, "dup2");
  }
  // What was written since the last take (or start), then forgotten.
  std::string take_captured() {
    std::string text(static_cast<size_t>(lseek(capture_fd_, 0, SEEK_END)), '\0');
    FUZZ_CHECK(pread(capture_fd_, text.data(), text.size(), 0) ==
                   static_cast<ssize_t>(text.size()), "pread");
    FUZZ_CHECK(ftruncate(capture_fd_, 0) == 0 && lseek(capture_fd_, 0, SEEK_SET) == 0, "reset");
    return text;
  }
  void stop_capture() { FUZZ_CHECK(dup2(g_report_fd, 2) == 2, "dup2"); }

 private:
  std::string root_;
  std::string queue_dir_;
  std::string log_path_;
  int capture_fd_ = -1;
};

inline void write_file(const std::string& path, std::string_view bytes, int flags = O_TRUNC) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0644);
  FUZZ_CHECK(fd >= 0, "open %s", path.c_str());
  FUZZ_CHECK(write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()),
             "write %s", path.c_str());
  close(fd);
}

inline std::string read_file(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  FUZZ_CHECK(fd >= 0, "open %s", path.c_str());
  std::string bytes;
  char buffer[8192];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof(buffer))) > 0) bytes.append(buffer, static_cast<size_t>(n));
  FUZZ_CHECK(n == 0, "read %s", path.c_str());
  close(fd);
  return bytes;
}

// Builds intact frames around fuzzed payloads, so that the search is not
// stopped at every CRC: `layout` is a series of (length byte, that many payload
// bytes); a last chunk shorter than its length byte is appended unframed.
inline std::string frame_payloads(std::string_view layout) {
  std::string frames;
  while (!layout.empty()) {
    const size_t len = static_cast<uint8_t>(layout[0]);
    if (layout.size() - 1 < len) {
      frames += layout.substr(1);
      break;
    }
    encode_frame(layout.substr(1, len), &frames);
    layout.remove_prefix(1 + len);
  }
  return frames;
}

// The frames of `file` from `start` up to the first damaged one, applied to
// `state` the way a replay applies them. Every decoded payload must encode
// back to its own leading bytes.
struct Walk {
  uint64_t end;           // offset of the first damaged frame, or of the end
  bool damaged = false;
  bool undecodable = false;  // the frame was intact but its payload did not decode
  std::string text;          // the frame or decode text of the damage
};

inline Walk walk_frames(std::string_view file, uint64_t start, QueueState* state) {
  Walk walk{start};
  std::string_view rest = file.substr(start);
  for (;;) {
    const BufferFrame frame = read_frame_in_buffer(rest);
    if (frame.outcome == FrameOutcome::End) return walk;
    if (frame.outcome != FrameOutcome::Frame) {
      walk.damaged = true;
      walk.text = frame.corruption;
      return walk;
    }
    const DecodeResult decoded = decode_payload(frame.payload);
    if (!decoded.ok) {
      walk.damaged = walk.undecodable = true;
      walk.text = decoded.error;
      return walk;
    }
    const std::string encoded = encode_payload(decoded.record);
    FUZZ_CHECK(encoded.size() <= frame.payload.size() &&
                   frame.payload.substr(0, encoded.size()) == encoded,
               "payload at %" PRIu64 " does not encode back to itself", walk.end);
    state->apply_record(decoded.record, walk.end, /*keep_body=*/false);
    walk.end += frame.consumed;
    rest.remove_prefix(frame.consumed);
  }
}

// What replaying `input` as a whole queue.log must give.
struct Replay {
  bool refused = false;  // not a log of ours: opening fails and changes nothing
  std::string file;      // the bytes replayed: the input, or a fresh header
  QueueState state;      // the records before the first damaged frame, applied
  uint64_t end = FILE_HEADER_LEN;  // where the log is cut
  uint64_t generation = 0;
  std::string warning;   // the line on stderr, if any
};

inline Replay expect_replay(std::string_view input) {
  Replay r;
  if (input.size() < FILE_HEADER_LEN) {
    // Cut inside its header: started afresh, without a word.
    r.file = encode_file_header(0);
    return r;
  }
  r.file = std::string(input);
  if (std::memcmp(input.data(), FILE_MAGIC, 4) != 0) {
    r.refused = true;
    return r;
  }
  const Walk walk = walk_frames(input, FILE_HEADER_LEN, &r.state);
  r.end = walk.end;
  r.generation = decode_fixed64(input.data() + 8);
  if (walk.damaged) {
    r.warning = std::string("Ferrow: truncating ") +
                (walk.undecodable ? "undecodable" : "corrupt") + " log tail at byte " +
                std::to_string(walk.end) + " (" + walk.text + ")\n";
  }
  return r;
}

// Requeue frames appended by lease expiry: 12 header bytes + 13 payload bytes.
inline constexpr uint64_t REQUEUE_FRAME_LEN = 25;

// The queue, just opened or caught up over `file` (the log bytes it read, cut
// at end), holds exactly `expected`; lapsed leases may have been requeued
// since, each by one appended Requeue frame. Then every ready message is
// delivered with the body the log holds for it.
inline void check_queue_holds(Queue& q, const QueueState& expected, std::string_view file,
                              uint64_t end, uint64_t generation, const Scratch& scratch) {
  // in_flight does not requeue lapsed leases, so it sees the replayed state.
  const uint64_t in_flight = expect_ok(q.in_flight(), "in_flight");
  FUZZ_CHECK(in_flight == expected.in_flight_count(), "in_flight %" PRIu64 " expected %" PRIu64,
             in_flight, expected.in_flight_count());

  const QueueStats s = expect_ok(q.stats(), "stats");
  FUZZ_CHECK(s.log_bytes >= end && (s.log_bytes - end) % REQUEUE_FRAME_LEN == 0,
             "log_bytes %" PRIu64 " after a cut at %" PRIu64, s.log_bytes, end);
  const uint64_t requeued = (s.log_bytes - end) / REQUEUE_FRAME_LEN;
  FUZZ_CHECK(s.total == expected.message_count() && s.ready + s.in_flight == s.total &&
                 s.ready == expected.ready_count() + requeued &&
                 s.requeued_total == expected.requeued_total() + requeued,
             "counts: ready %" PRIu64 " in_flight %" PRIu64 " total %" PRIu64
             " requeued %" PRIu64 "; expected ready %" PRIu64 " total %" PRIu64
             " requeued %" PRIu64 " + %" PRIu64,
             s.ready, s.in_flight, s.total, s.requeued_total, expected.ready_count(),
             expected.message_count(), expected.requeued_total(), requeued);
  FUZZ_CHECK(s.enqueued_total == expected.enqueued_total() &&
                 s.acked_total == expected.acked_total() && s.dead_total == expected.dead_total() &&
                 s.next_seq == expected.next_seq() && s.live_bytes == expected.live_bytes() &&
                 s.generation == generation && s.persistent,
             "stats differ from the replayed records");
  const std::string now_in_file = read_file(scratch.log_path());
  FUZZ_CHECK(now_in_file.size() == s.log_bytes && now_in_file.compare(0, end, file, 0, end) == 0,
             "file of %zu bytes, log_bytes %" PRIu64, now_in_file.size(), s.log_bytes);

  const IntegrityReport report = expect_ok(q.verify_integrity(), "verify_integrity");
  FUZZ_CHECK(report.ok && report.bytes == s.log_bytes, "verify: %s (bytes %" PRIu64 ")",
             report.message.c_str(), report.bytes);

  const std::vector<DeliveredMessage> delivered =
      expect_ok(q.dequeue_batch(s.total + 1, /*lease_ms=*/UINT64_MAX), "dequeue_batch");
  // A lease whose deadline (a fuzzed wall-clock time) passed between stats()
  // and dequeue_batch() is delivered too: beyond the ready count, only such.
  const uint64_t after = now_ms();
  size_t lapsed_since_stats = 0;
  for (const DeliveredMessage& m : delivered) {
    const MessageEntry* entry = expected.find(m.seq);
    if (entry != nullptr && entry->in_flight && entry->deadline_ms <= after) lapsed_since_stats++;
  }
  FUZZ_CHECK(delivered.size() >= s.ready && delivered.size() - s.ready <= lapsed_since_stats,
             "delivered %zu of %" PRIu64 " ready", delivered.size(), s.ready);
  for (size_t i = 0; i < delivered.size(); i++) {
    const DeliveredMessage& m = delivered[i];
    FUZZ_CHECK(i == 0 || delivered[i - 1].seq < m.seq, "delivery order");
    const MessageEntry* entry = expected.find(m.seq);
    FUZZ_CHECK(entry != nullptr, "delivered unknown seq %" PRIu64, m.seq);
    FUZZ_CHECK(entry->body_offset + entry->body_len <= end &&
                   file.substr(entry->body_offset, entry->body_len) == m.body,
               "body of seq %" PRIu64 " differs from the log", m.seq);
    FUZZ_CHECK(m.enqueued_ts_ms == entry->enqueued_ts_ms &&
                   // Counts stop at their largest value rather than wrap.
                   m.deliveries == (entry->deliveries == UINT32_MAX ? UINT32_MAX
                                                                     : entry->deliveries + 1),
               "delivery of seq %" PRIu64, m.seq);
  }
  // The same race once more: only leases that lapsed meanwhile may be ready.
  const uint64_t left = expect_ok(q.available(), "available");
  const uint64_t later = now_ms();
  uint64_t lapsed_since = 0;
  expected.for_each_message([&](uint64_t, const MessageEntry& e) {
    lapsed_since += e.in_flight && e.deadline_ms > after && e.deadline_ms <= later;
  });
  FUZZ_CHECK(left <= lapsed_since, "ready messages left");
}

// A second queue opened on the same directory replays what the first wrote
// and agrees with it.
inline void check_reopen_agrees(Queue& q, const Scratch& scratch) {
  const uint64_t next_seq = expect_ok(q.stats(), "stats").next_seq;
  Result<uint64_t> enqueued = q.enqueue("after");
  if (next_seq == UINT64_MAX) {
    // A log holding the largest id leaves none to hand out: refused, never wrapped.
    FUZZ_CHECK(!enqueued.ok() && enqueued.error().message() == "sequence ids exhausted",
               "enqueue with no ids left was not refused");
  } else {
    FUZZ_CHECK(expect_ok(std::move(enqueued), "enqueue") == next_seq &&
                   next_seq + 1 == expect_ok(q.stats(), "stats").next_seq,
               "next_seq after enqueue");
  }
  const QueueStats before = expect_ok(q.stats(), "stats");
  const uint64_t in_flight = expect_ok(q.in_flight(), "in_flight");
  QueueOptions options;
  options.auto_compact_bytes = 0;
  std::unique_ptr<Queue> again = expect_ok(Queue::open(scratch.queue_dir(), options), "reopen");
  FUZZ_CHECK(expect_ok(again->in_flight(), "in_flight") == in_flight, "reopened in_flight");
  const QueueStats after = expect_ok(again->stats(), "stats");
  FUZZ_CHECK(after.total == before.total && after.enqueued_total == before.enqueued_total &&
                 after.acked_total == before.acked_total && after.dead_total == before.dead_total &&
                 after.next_seq == before.next_seq && after.live_bytes == before.live_bytes &&
                 after.generation == before.generation,
             "reopened queue disagrees: total %" PRIu64 "/%" PRIu64 " next_seq %" PRIu64
             "/%" PRIu64 " live_bytes %" PRIu64 "/%" PRIu64,
             after.total, before.total, after.next_seq, before.next_seq, after.live_bytes,
             before.live_bytes);
}

}  // namespace ferrow::fuzz

#endif  // FERROW_TESTS_FUZZ_FUZZ_SUPPORT_H_
