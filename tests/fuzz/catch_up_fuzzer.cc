// Fuzzes a queue catching up with bytes that "another process" appended to
// its log. The queue is opened on a small valid log; the input's first byte
// picks a variation, the rest are the appended bytes:
//   bit 0  the queue delivers a message first, so a body mapping exists when
//          the tail arrives;
//   bit 1  instead of being appended, the bytes are renamed over the log (as
//          a rewrite by another process would be);
//   bit 2  the bytes describe payloads to be framed with valid CRCs (see
//          frame_payloads), which reaches deeper into record application; a
//          replacement then gets a header of generation 1 in front.
// Appended bytes must be applied up to the first damaged frame, which is cut
// with the catch-up warning. A replacement, whatever generation it claims,
// is another file than the one the queue holds, and is replayed like a log
// being opened.
#include <cstdio>

#include "fuzz_support.h"

namespace ferrow::fuzz {
namespace {

// Messages 0 and 2 ready, 1 leased for ever, 3 acknowledged.
std::string base_log() {
  std::string log = encode_file_header(0);
  log += encode_record_frame(EnqueueRecord{0, 1000, "alpha"});
  log += encode_record_frame(EnqueueRecord{1, 1001, ""});
  log += encode_record_frame(EnqueueRecord{2, 1002, "bb"});
  log += encode_record_frame(EnqueueRecord{3, 1003, "queue"});
  log += encode_record_frame(LeaseRecord{1, uint64_t{1} << 62, 1});
  log += encode_record_frame(AckRecord{3});
  return log;
}

// A file renamed over the log by anything but a rewrite of the queue is
// reported, but once per process: at whichever input first replaces the log.
// What this target checks is the replay, so the report is set aside.
std::string without_foreign_log_report(const std::string& warning) {
  std::string kept;
  size_t start = 0;
  while (start < warning.size()) {
    size_t end = warning.find('\n', start);
    end = end == std::string::npos ? warning.size() : end + 1;
    const std::string line = warning.substr(start, end - start);
    if (line.find("was replaced by a file that no compaction or purge") == std::string::npos) {
      kept += line;
    }
    start = end;
  }
  return kept;
}

// Another process renamed a new file over the log.
void check_replaced(Queue& q, std::string_view replacement, Scratch& scratch) {
  const Replay expected = expect_replay(replacement);
  if (expected.refused) {
    Result<uint64_t> in_flight = q.in_flight();
    FUZZ_CHECK(!in_flight.ok() && in_flight.error().kind() == IoErrorKind::InvalidData,
               "a foreign file was not refused");
    FUZZ_CHECK(read_file(scratch.log_path()) == replacement, "a refused file was changed");
    return;
  }
  // A new generation (or no readable header at all): replayed from scratch.
  check_queue_holds(q, expected.state, expected.file, expected.end, expected.generation, scratch);
  const std::string warning = without_foreign_log_report(scratch.take_captured());
  FUZZ_CHECK(warning == expected.warning, "warning '%s', expected '%s'", warning.c_str(),
             expected.warning.c_str());
  check_reopen_agrees(q, scratch);
}

void run(std::string_view input, Scratch& scratch) {
  static const std::string base = base_log();
  const uint8_t mode = input.empty() ? 0 : static_cast<uint8_t>(input[0]);
  std::string_view tail = input.empty() ? input : input.substr(1);
  std::string framed;
  if (mode & 4) {
    framed = (mode & 2 ? encode_file_header(1) : std::string()) + frame_payloads(tail);
    tail = framed;
  }

  write_file(scratch.log_path(), base);
  QueueOptions options;
  options.auto_compact_bytes = 0;
  std::unique_ptr<Queue> q = expect_ok(Queue::open(scratch.queue_dir(), options), "open");
  if (mode & 1) {
    std::optional<DeliveredMessage> m = expect_ok(q->dequeue(UINT64_MAX), "dequeue");
    FUZZ_CHECK(m && m->seq == 0 && m->body == "alpha", "first delivery");
  }
  const uint64_t applied = read_file(scratch.log_path()).size();
  FUZZ_CHECK(scratch.take_captured().empty(), "a clean log produced a warning");

  if (mode & 2) {
    const std::string replacement = scratch.root() + "/replacement";
    write_file(replacement, tail);
    FUZZ_CHECK(rename(replacement.c_str(), scratch.log_path().c_str()) == 0, "rename");
    check_replaced(*q, tail, scratch);
    FUZZ_CHECK(scratch.take_captured().empty(), "replaying the queue's own log produced a warning");
    return;
  }

  write_file(scratch.log_path(), tail, O_APPEND);
  const std::string file = read_file(scratch.log_path());
  QueueState expected;
  const Walk walk = walk_frames(file, FILE_HEADER_LEN, &expected);
  FUZZ_CHECK(walk.end >= applied, "the log this queue applied is damaged");
  check_queue_holds(*q, expected, file, walk.end, 0, scratch);
  const std::string warning = scratch.take_captured();
  const std::string expected_warning =
      walk.damaged ? "Ferrow: truncated corrupt log tail at byte " + std::to_string(walk.end) + "\n"
                   : std::string();
  FUZZ_CHECK(warning == expected_warning, "warning '%s', expected '%s'", warning.c_str(),
             expected_warning.c_str());
  check_reopen_agrees(*q, scratch);
  FUZZ_CHECK(scratch.take_captured().empty(), "replaying the queue's own log produced a warning");
}

}  // namespace
}  // namespace ferrow::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ferrow::fuzz::Scratch scratch;
  scratch.start_capture();
  ferrow::fuzz::run(std::string_view(reinterpret_cast<const char*>(data), size), scratch);
  scratch.stop_capture();
  return 0;
}
