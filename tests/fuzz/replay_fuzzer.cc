// Fuzzes opening a queue on arbitrary bytes in queue.log. An input that
// starts with '#' instead describes payloads to be framed with valid CRCs
// behind a header (see frame_payloads), which reaches deeper into decoding
// and record application. Whatever the bytes,
// opening must not crash, must cut the log exactly at the first damaged frame
// with the matching warning, and must leave a queue that holds the records
// before it: their counts, their bodies, and a log that replays the same
// again. The stream reader, the in-memory reader and the chunked scanner must
// agree frame by frame on the same bytes.
#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "queue/file_io.h"
#include "queue/log_scanner.h"

namespace ferrow::fuzz {
namespace {

// Serves the bytes in small reads of varying size, so that frames straddle
// reads the way they straddle buffer refills in a real file.
class ChunkReader : public ByteReader {
 public:
  explicit ChunkReader(std::string_view data) : data_(data) {}
  long read(char* dst, size_t n) override {
    n = std::min({n, size_t{1} + (pos_ % 13), data_.size() - pos_});
    std::memcpy(dst, data_.data() + pos_, n);
    pos_ += n;
    return static_cast<long>(n);
  }

 private:
  std::string_view data_;
  size_t pos_ = 0;
};

// Frame by frame, the three readers see the same outcomes, texts and payloads.
void check_readers_agree(std::string_view file, const std::string& log_path) {
  const std::string_view frames = file.substr(std::min<size_t>(file.size(), FILE_HEADER_LEN));
  ChunkReader stream(frames);
  Result<FileHandle> fd = open_file(log_path, O_RDONLY);
  FUZZ_CHECK(fd.ok(), "open log");
  LogScanner scanner(fd.value().fd(), log_path, FILE_HEADER_LEN);
  std::string_view rest = frames;
  uint64_t offset = FILE_HEADER_LEN;
  for (;;) {
    const BufferFrame in_buffer = read_frame_in_buffer(rest);
    // The stream reader allocates the declared length before it finds the
    // data missing; a length of hundreds of MiB would only slow the search.
    const bool huge_and_truncated = rest.size() >= FRAME_HEADER_LEN &&
                                    decode_fixed32(rest.data() + 4) > (1u << 20) &&
                                    in_buffer.corruption == "truncated record payload";
    const FrameResult streamed =
        huge_and_truncated ? FrameResult{FrameOutcome::Corrupt, {}, 0, in_buffer.corruption}
                           : read_frame(stream);
    FUZZ_CHECK(streamed.outcome == in_buffer.outcome && streamed.corruption == in_buffer.corruption,
               "stream and buffer readers disagree at %" PRIu64 ": '%s' vs '%s'", offset,
               streamed.corruption.c_str(), in_buffer.corruption.c_str());
    if (file.size() >= FILE_HEADER_LEN) {
      const BufferFrame scanned = expect_ok(scanner.next(), "scanner");
      FUZZ_CHECK(scanned.outcome == in_buffer.outcome && scanned.corruption == in_buffer.corruption &&
                     scanner.offset() == offset,
                 "scanner and buffer reader disagree at %" PRIu64 ": '%s' vs '%s'", offset,
                 scanned.corruption.c_str(), in_buffer.corruption.c_str());
      if (scanned.outcome == FrameOutcome::Frame) {
        FUZZ_CHECK(scanned.payload == in_buffer.payload, "scanner payload at %" PRIu64, offset);
      }
    }
    if (in_buffer.outcome != FrameOutcome::Frame) return;
    FUZZ_CHECK(streamed.payload == in_buffer.payload && streamed.consumed == in_buffer.consumed,
               "stream payload at %" PRIu64, offset);
    offset += in_buffer.consumed;
    rest.remove_prefix(in_buffer.consumed);
  }
}

void run(std::string_view input, Scratch& scratch) {
  write_file(scratch.log_path(), input);
  check_readers_agree(input, scratch.log_path());

  QueueOptions options;
  options.auto_compact_bytes = 0;
  Result<std::unique_ptr<Queue>> opened = Queue::open(scratch.queue_dir(), options);
  const std::string warning = scratch.take_captured();
  const std::string after_open = read_file(scratch.log_path());

  const Replay expected = expect_replay(input);
  FUZZ_CHECK(warning == expected.warning, "warning '%s', expected '%s'", warning.c_str(),
             expected.warning.c_str());
  if (expected.refused) {
    FUZZ_CHECK(!opened.ok() && opened.error().kind() == IoErrorKind::InvalidData &&
                   opened.error().message() == "queue.log has bad magic (not a Ferrow log)",
               "a foreign file was not refused");
    FUZZ_CHECK(after_open == input, "a refused file was changed");
    return;
  }
  FUZZ_CHECK(after_open.size() == expected.end &&
                 expected.file.compare(0, expected.end, after_open) == 0,
             "log of %zu bytes after open, expected the first %" PRIu64 " of %zu",
             after_open.size(), expected.end, expected.file.size());
  FUZZ_CHECK(opened.ok(), "open failed: %s", opened.ok() ? "" : describe(opened.error()).c_str());
  Queue& q = *opened.value();
  check_queue_holds(q, expected.state, expected.file, expected.end, expected.generation, scratch);
  FUZZ_CHECK(scratch.take_captured().empty(), "a clean log produced a warning");

  // Hand some back and settle others, then replay what this queue wrote.
  const QueueStats s = expect_ok(q.stats(), "stats");
  std::vector<uint64_t> present;
  expected.state.for_each_message(
      [&present](uint64_t seq, const MessageEntry&) { present.push_back(seq); });
  uint64_t turn = 0;
  for (uint64_t seq : present) {
    if (turn == 3) break;
    const bool done = turn == 0   ? expect_ok(q.ack(seq), "ack")
                      : turn == 1 ? expect_ok(q.nack(seq, /*requeue=*/true), "nack")
                                  : expect_ok(q.nack(seq, /*requeue=*/false), "drop");
    FUZZ_CHECK(done, "seq %" PRIu64 " of a present message was refused", seq);
    turn++;
  }
  FUZZ_CHECK(turn == std::min<uint64_t>(3, s.total), "present messages");
  check_reopen_agrees(q, scratch);
  FUZZ_CHECK(scratch.take_captured().empty(), "replaying the queue's own log produced a warning");
}

}  // namespace
}  // namespace ferrow::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ferrow::fuzz::Scratch scratch;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string framed;
  if (!input.empty() && input[0] == '#') {
    framed = ferrow::encode_file_header(0) + ferrow::fuzz::frame_payloads(input.substr(1));
    input = framed;
  }
  scratch.start_capture();
  ferrow::fuzz::run(input, scratch);
  scratch.stop_capture();
  return 0;
}
