// The record transitions of the in-memory index, including the ones only a
// damaged or foreign log can produce.
#include "queue/queue_state.h"

#include <gtest/gtest.h>

namespace ferrow {
namespace {

class QueueStateTest : public ::testing::Test {
 protected:
  void Enqueue(uint64_t seq, std::string body, uint64_t offset = 16) {
    state_.apply_record(EnqueueRecord{seq, 1000, body}, offset, false);
  }
  void Lease(uint64_t seq, uint64_t deadline, uint32_t deliveries = 1) {
    state_.apply_record(LeaseRecord{seq, deadline, deliveries}, 0, false);
  }
  void Requeue(uint64_t seq, uint32_t deliveries) {
    state_.apply_record(RequeueRecord{seq, deliveries}, 0, false);
  }
  void Ack(uint64_t seq) { state_.apply_record(AckRecord{seq}, 0, false); }
  void Dead(uint64_t seq) { state_.apply_record(DeadRecord{seq}, 0, false); }

  QueueState state_;
};

TEST_F(QueueStateTest, EnqueueBelowNextSeqLeavesItAlone) {
  Enqueue(5, "a");
  Enqueue(2, "b");
  EXPECT_EQ(state_.next_seq(), 6u);
  EXPECT_EQ(state_.smallest_ready(), 2u);
  EXPECT_EQ(state_.find(5)->body_offset, 16u + 33u);
  EXPECT_EQ(state_.kept_body(5), nullptr);
}

TEST_F(QueueStateTest, RecordsForAbsentSeqChangeNothing) {
  Enqueue(0, "a");
  Ack(7);
  Dead(7);
  Lease(7, 10);
  Requeue(7, 3);
  EXPECT_EQ(state_.acked_total() + state_.dead_total() + state_.requeued_total(), 0u);
  EXPECT_EQ(state_.schedule_front(), nullptr);
  EXPECT_EQ(state_.ready_count(), 1u);
}

TEST_F(QueueStateTest, ReLeaseLeavesStalePairInSchedule) {
  Enqueue(0, "a");
  Lease(0, 100);
  Lease(0, 50, 1);
  EXPECT_EQ(state_.find(0)->deadline_ms, 50u);
  EXPECT_EQ(*state_.schedule_front(), LeasePair(50, 0));
  state_.pop_schedule_front();
  EXPECT_EQ(*state_.schedule_front(), LeasePair(100, 0));  // stale, kept until due
  EXPECT_EQ(state_.in_flight_count(), 1u);
}

TEST_F(QueueStateTest, RequeueOfReadyMessageCountsButDoesNotDuplicate) {
  Enqueue(0, "a");
  Requeue(0, 4);
  EXPECT_EQ(state_.requeued_total(), 1u);
  EXPECT_EQ(state_.find(0)->deliveries, 4u);
  EXPECT_EQ(state_.ready_count(), 1u);
  Lease(0, 10);
  EXPECT_EQ(state_.smallest_ready(), std::nullopt);
}

TEST_F(QueueStateTest, LiveBytesNeverGoesBelowZero) {
  Enqueue(0, std::string(10, 'x'));
  Enqueue(0, "");  // a foreign log repeating a seq: the entry is replaced
  EXPECT_EQ(state_.live_bytes(), 43u + 33u);
  EXPECT_EQ(state_.message_count(), 1u);
  EXPECT_EQ(state_.ready_count(), 1u);
  Ack(0);
  EXPECT_EQ(state_.live_bytes(), 43u);
  Enqueue(1, "");
  state_.reset();
  Enqueue(1, std::string(5, 'y'));
  Dead(1);
  EXPECT_EQ(state_.live_bytes(), 0u);
  EXPECT_EQ(state_.dead_total(), 1u);
}

TEST_F(QueueStateTest, ReadyOrderSurvivesLeaseFromElsewhereAndRequeue) {
  for (uint64_t seq = 0; seq < 4; seq++) Enqueue(seq, "m");
  Lease(2, 10);  // leased by another process: not via smallest_ready
  Lease(0, 10);
  EXPECT_EQ(state_.smallest_ready(), 1u);
  Requeue(0, 1);
  Requeue(2, 1);
  EXPECT_EQ(state_.smallest_ready(), 0u);
  Ack(0);
  Ack(1);
  EXPECT_EQ(state_.smallest_ready(), 2u);
  EXPECT_EQ(state_.ready_count(), 2u);
}

TEST_F(QueueStateTest, ResetEmptiesEverything) {
  Enqueue(3, "abc");
  Lease(3, 10);
  Ack(3);
  state_.reset();
  EXPECT_EQ(state_.next_seq(), 0u);
  EXPECT_EQ(state_.acked_total(), 0u);
  EXPECT_EQ(state_.enqueued_total(), 0u);
  EXPECT_EQ(state_.schedule_front(), nullptr);
  EXPECT_EQ(state_.message_count(), 0u);
}

TEST_F(QueueStateTest, SparseIdsAcrossChunksKeepTheirOrder) {
  const uint64_t ids[] = {1000003, 64, 63, 0, 130, 1000000};
  for (uint64_t seq : ids) Enqueue(seq, "b");
  std::vector<uint64_t> seen;
  state_.for_each_message([&seen](uint64_t seq, const MessageEntry&) { seen.push_back(seq); });
  EXPECT_EQ(seen, (std::vector<uint64_t>{0, 63, 64, 130, 1000000, 1000003}));
  std::vector<uint64_t> delivered;
  while (auto seq = state_.smallest_ready()) {
    delivered.push_back(*seq);
    Lease(*seq, 10);
  }
  EXPECT_EQ(delivered, seen);
  Requeue(1000000, 1);
  Requeue(63, 1);
  EXPECT_EQ(state_.smallest_ready(), 63u);
  for (uint64_t seq : ids) Ack(seq);
  EXPECT_EQ(state_.message_count(), 0u);
  EXPECT_EQ(state_.smallest_ready(), std::nullopt);
  Enqueue(64, "again");  // a freed chunk comes back empty
  EXPECT_EQ(state_.find(64)->deliveries, 0u);
  EXPECT_EQ(state_.find(65), nullptr);
}

TEST_F(QueueStateTest, KeptBodiesFollowTheirMessage) {
  state_.apply_record(EnqueueRecord{5, 1, "kept"}, 0, true);
  Enqueue(6, "from the log");
  ASSERT_NE(state_.kept_body(5), nullptr);
  EXPECT_EQ(*state_.kept_body(5), "kept");
  EXPECT_EQ(state_.kept_body(6), nullptr);
  Ack(5);
  EXPECT_EQ(state_.kept_body(5), nullptr);
  EXPECT_EQ(state_.find(6)->body_len, 12u);
}

}  // namespace
}  // namespace ferrow
