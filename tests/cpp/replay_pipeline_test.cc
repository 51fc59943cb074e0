// The two-thread replay against the one-thread fast path, on logs with
// frames that cross pieces, frames longer than the whole ring, and every
// kind of damage at random places: both must apply the same records and
// stop at the same byte.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "queue/log_format.h"
#include "queue/log_replay.h"
#include "queue/replay_frames.h"
#include "queue/replay_pipeline.h"
#include "temp_dir.h"

namespace ferrow {
namespace {

// Everything a replay leaves in the state, as text.
std::string Digest(const QueueState& state) {
  std::ostringstream out;
  out << state.message_count() << ' ' << state.ready_count() << ' ' << state.next_seq() << ' '
      << state.live_bytes() << ' ' << state.enqueued_total() << ' ' << state.acked_total() << ' '
      << state.dead_total() << ' ' << state.requeued_total() << " ready";
  for (uint64_t seq : state.smallest_ready(UINT64_MAX)) out << ' ' << seq;
  state.for_each_message([&](uint64_t seq, const MessageEntry& e) {
    out << " | " << seq << ' ' << e.enqueued_ts_ms << ' ' << e.body_offset << ' ' << e.body_len
        << ' ' << e.deliveries << ' ' << e.in_flight;
    if (e.in_flight) out << ' ' << e.deadline_ms;
  });
  return out.str();
}

// Records of every kind; bodies from empty to several pieces long.
std::string RandomLog(std::mt19937_64& random) {
  std::string log = encode_file_header(0);
  const int records = 50 + static_cast<int>(random() % 400);
  for (uint64_t seq = 0; seq < static_cast<uint64_t>(records); seq++) {
    const size_t body = random() % 8 == 0 ? random() % 3000 : random() % 120;
    log += encode_record_frame(EnqueueRecord{seq, 1000 + seq, std::string(body, 'a' + seq % 26)});
    switch (random() % 5) {
      case 0: log += encode_record_frame(AckRecord{random() % (seq + 1)}); break;
      case 1: log += encode_record_frame(LeaseRecord{seq, 5000 + seq, 1}); break;
      case 2: log += encode_record_frame(RequeueRecord{random() % (seq + 1), 2}); break;
      case 3: log += encode_record_frame(DeadRecord{random() % (seq + 1)}); break;
      default: break;
    }
  }
  return log;
}

// Damage of one kind, at a random place past the header where it has one.
void Damage(std::string& log, int kind, std::mt19937_64& random) {
  const size_t at = FILE_HEADER_LEN + random() % (log.size() - FILE_HEADER_LEN);
  switch (kind) {
    case 1: log.resize(at); break;                             // a torn tail
    case 2: log[at] = static_cast<char>(log[at] ^ 0x5A); break;  // a flipped byte
    case 3: log.insert(at, "\x46\x57\x52\x31\xff\xff\xff\x7f"); break;  // a header claiming too much
    case 4: log.append(std::string(random() % 40, '\0')); break;  // zeros after the end
    case 5: {  // an intact frame of an unknown kind, and records after it
      encode_frame(std::string("\x7f unknown kind", 15), &log);
      log += encode_record_frame(EnqueueRecord{999999, 1, "after"});
      break;
    }
    default: break;
  }
}

// The one-thread fast path over the whole log in memory: where it stops.
uint64_t ReplayAlone(const std::string& log, QueueState& state) {
  state.begin_replay();
  return FILE_HEADER_LEN +
         apply_intact_frames(std::string_view(log).substr(FILE_HEADER_LEN), FILE_HEADER_LEN, state);
}

class ReplayPipelineTest : public TempDirTest {};

TEST_F(ReplayPipelineTest, AppliesWhatOneThreadAppliesAndStopsAtTheSameByte) {
  std::mt19937_64 random(2026);
  const PipelineShape shapes[] = {{64, 2}, {100, 3}, {512, 2}, {4096, 4}};
  const std::string path = dir_ + "/queue.log";
  for (int round = 0; round < 120; round++) {
    std::string log = RandomLog(random);
    Damage(log, round % 6, random);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << log;

    QueueState alone;
    const uint64_t expected_end = ReplayAlone(log, alone);
    const std::string expected = Digest(alone);

    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    // And one piece that ends where the file does.
    const PipelineShape exact{std::max<size_t>(1, log.size() - FILE_HEADER_LEN), 2};
    for (const PipelineShape& shape : {shapes[0], shapes[1], shapes[2], shapes[3], exact}) {
      QueueState piped;
      piped.begin_replay();
      Result<uint64_t> end = apply_frames_pipelined(fd, path, FILE_HEADER_LEN, piped, shape);
      ASSERT_TRUE(end.ok()) << end.error().message();
      EXPECT_EQ(end.value(), expected_end)
          << "round " << round << ", pieces of " << shape.piece_bytes << " x " << shape.pieces;
      EXPECT_EQ(Digest(piped), expected) << "round " << round;
    }
    ::close(fd);
  }
}

// Through the open of a log long enough for the second thread: damage near
// the start, in the middle and at the end is cut where a replay on one
// thread cuts it, and what comes before is kept.
TEST_F(ReplayPipelineTest, OpeningALongDamagedLogCutsWhereOneThreadWould) {
  std::mt19937_64 random(9);
  std::string intact = encode_file_header(0);
  for (uint64_t seq = 0; intact.size() < (uint64_t{10} << 20); seq++) {
    intact += encode_record_frame(EnqueueRecord{seq, seq, std::string(random() % 300, 'b')});
    if (seq % 7 == 0) intact += encode_record_frame(AckRecord{seq / 2});
  }
  ASSERT_TRUE(pipeline_pays(intact.size() - FILE_HEADER_LEN));
  const std::string path = dir_ + "/queue.log";
  for (const double where : {0.001, 0.5, 0.999, 1.0}) {
    std::string log = intact;
    const size_t at = std::min(log.size() - 1, FILE_HEADER_LEN + static_cast<size_t>(
                                                   where * (log.size() - FILE_HEADER_LEN)));
    if (where < 1.0) log[at] = static_cast<char>(log[at] ^ 0x10);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << log;

    QueueState alone;
    const uint64_t expected_end = ReplayAlone(log, alone);
    alone.end_replay();

    Result<ReplayResult> opened = open_log(path);
    ASSERT_TRUE(opened.ok()) << opened.error().message();
    EXPECT_EQ(opened.value().end_offset, expected_end) << where;
    EXPECT_EQ(std::filesystem::file_size(path), expected_end) << where;
    EXPECT_EQ(Digest(opened.value().state), Digest(alone)) << where;
  }
}

}  // namespace
}  // namespace ferrow
