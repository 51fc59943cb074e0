// The dense index against the plainest possible model of the same
// transitions (an ordered map of entries), under random records of every
// kind, dense and sparse ids, records for absent ids and repeated ids, both
// applied live and replayed from a log file.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "queue/log_format.h"
#include "queue/log_replay.h"
#include "queue/queue_state.h"
#include "temp_dir.h"

namespace ferrow {
namespace {

struct ModelEntry {
  uint64_t enqueued_ts_ms;
  uint64_t body_offset;
  uint64_t deadline_ms;
  uint32_t deliveries;
  uint32_t body_len;
  bool in_flight;
};

// The transitions, written out as plainly as they are described.
struct Model {
  std::map<uint64_t, ModelEntry> messages;
  uint64_t next_seq = 0, live_bytes = 0;
  uint64_t enqueued = 0, acked = 0, dead = 0, requeued = 0;

  void apply(const LogRecord& record, uint64_t offset) {
    if (const auto* r = std::get_if<EnqueueRecord>(&record)) {
      if (r->seq >= next_seq) next_seq = r->seq == UINT64_MAX ? UINT64_MAX : r->seq + 1;
      live_bytes += r->body.size() + 33;
      messages[r->seq] = ModelEntry{r->enqueued_ts_ms, offset + 33, 0, 0,
                                    static_cast<uint32_t>(r->body.size()), false};
      enqueued++;
    } else if (const auto* r = std::get_if<LeaseRecord>(&record)) {
      auto it = messages.find(r->seq);
      if (it == messages.end()) return;
      it->second.deliveries = r->deliveries;
      it->second.deadline_ms = r->deadline_ms;
      it->second.in_flight = true;
    } else if (const auto* r = std::get_if<RequeueRecord>(&record)) {
      auto it = messages.find(r->seq);
      if (it == messages.end()) return;
      it->second.deliveries = r->deliveries;
      it->second.in_flight = false;
      requeued++;
    } else {
      const bool ack = std::holds_alternative<AckRecord>(record);
      const uint64_t seq = ack ? std::get<AckRecord>(record).seq : std::get<DeadRecord>(record).seq;
      auto it = messages.find(seq);
      if (it == messages.end()) return;
      const uint64_t size = it->second.body_len + 33;
      live_bytes = live_bytes >= size ? live_bytes - size : 0;
      messages.erase(it);
      (ack ? acked : dead)++;
    }
  }
};

// Every fact the state offers, compared with the model's.
void ExpectSame(const Model& model, QueueState& state, bool schedule_exact) {
  ASSERT_EQ(state.message_count(), model.messages.size());
  uint64_t ready = 0;
  std::vector<uint64_t> ready_seqs;
  for (const auto& [seq, m] : model.messages) {
    if (!m.in_flight) {
      ready++;
      ready_seqs.push_back(seq);
    }
  }
  EXPECT_EQ(state.ready_count(), ready);
  EXPECT_EQ(state.next_seq(), model.next_seq);
  EXPECT_EQ(state.live_bytes(), model.live_bytes);
  EXPECT_EQ(state.enqueued_total(), model.enqueued);
  EXPECT_EQ(state.acked_total(), model.acked);
  EXPECT_EQ(state.dead_total(), model.dead);
  EXPECT_EQ(state.requeued_total(), model.requeued);
  EXPECT_EQ(state.smallest_ready(UINT64_MAX), ready_seqs);
  const size_t first_three = std::min<size_t>(3, ready_seqs.size());
  EXPECT_EQ(state.smallest_ready(3),
            std::vector<uint64_t>(ready_seqs.begin(), ready_seqs.begin() + first_three));
  std::vector<uint64_t> visited;
  state.for_each_message([&](uint64_t seq, const MessageEntry& e) {
    visited.push_back(seq);
    const ModelEntry& m = model.messages.at(seq);
    EXPECT_EQ(e.enqueued_ts_ms, m.enqueued_ts_ms) << seq;
    EXPECT_EQ(e.body_offset, m.body_offset) << seq;
    EXPECT_EQ(e.body_len, m.body_len) << seq;
    EXPECT_EQ(e.deliveries, m.deliveries) << seq;
    EXPECT_EQ(e.in_flight, m.in_flight) << seq;
    if (m.in_flight) {
      EXPECT_EQ(e.deadline_ms, m.deadline_ms) << seq;
    }
    const MessageEntry* found = state.find(seq);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->deliveries, m.deliveries);
  });
  ASSERT_EQ(visited.size(), model.messages.size());
  // The schedule: every running lease has its current pair; a replayed
  // state holds nothing else.
  std::set<std::pair<uint64_t, uint64_t>> running, current;
  for (const auto& [seq, m] : model.messages) {
    if (m.in_flight) running.emplace(m.deadline_ms, seq);
  }
  size_t pairs = 0;
  while (const LeasePair* front = state.schedule_front()) {
    if (running.count(*front)) current.insert(*front);
    state.pop_schedule_front();
    pairs++;
  }
  EXPECT_EQ(current, running);
  if (schedule_exact) {
    EXPECT_EQ(pairs, running.size());
  }
}

class DenseIndexTest : public TempDirTest {};

TEST_F(DenseIndexTest, AgreesWithASimpleMapLiveAndReplayed) {
  std::mt19937_64 random(77);
  for (int round = 0; round < 12; round++) {
    Model model;
    QueueState live;
    std::string log = encode_file_header(0);
    std::vector<uint64_t> known;  // ids handed out, some since removed
    uint64_t dense = random() % 1000;
    const bool sparse = round % 3 == 2;
    const int steps = 3000 + static_cast<int>(random() % 3000);
    for (int step = 0; step < steps; step++) {
      auto pick = [&]() -> uint64_t {
        if (known.empty() || random() % 10 == 0) return random() % 5000;  // often absent
        return known[random() % known.size()];
      };
      LogRecord record = AckRecord{0};
      std::string body(random() % 40, 'b');
      switch (random() % 8) {
        case 0:
        case 1: {
          uint64_t seq = dense++;
          if (sparse && random() % 4 == 0) seq = random() >> (random() % 64);
          if (random() % 200 == 0) seq = pick();  // an id repeated, as only foreign logs do
          if (random() % 500 == 0) seq = UINT64_MAX;
          known.push_back(seq);
          record = EnqueueRecord{seq, random() % 100000, body};
          break;
        }
        case 2:
        case 3:
          record = LeaseRecord{pick(), 1000 + random() % 1000, static_cast<uint32_t>(random() % 4)};
          break;
        case 4:
          record = RequeueRecord{pick(), static_cast<uint32_t>(random() % 3)};
          break;
        case 5:
        case 6:
          record = AckRecord{pick()};
          break;
        default:
          record = DeadRecord{pick()};
          break;
      }
      const uint64_t offset = log.size();
      log += encode_record_frame(record);
      model.apply(record, offset);
      live.apply_record(record, offset, /*keep_body=*/false);
      if (step % 997 == 0) {
        ASSERT_EQ(live.message_count(), model.messages.size()) << step;
        const std::optional<uint64_t> smallest = live.smallest_ready();
        std::optional<uint64_t> expected;
        for (const auto& [seq, m] : model.messages) {
          if (!m.in_flight) {
            expected = seq;
            break;
          }
        }
        ASSERT_EQ(smallest, expected) << step;
      }
    }
    ExpectSame(model, live, /*schedule_exact=*/false);

    const std::string path = dir_ + "/queue.log";
    std::ofstream(path, std::ios::binary | std::ios::trunc) << log;
    Result<ReplayResult> replayed = open_log(path);
    ASSERT_TRUE(replayed.ok());
    EXPECT_EQ(replayed.value().end_offset, log.size());
    ExpectSame(model, replayed.value().state, /*schedule_exact=*/true);
  }
}

}  // namespace
}  // namespace ferrow
