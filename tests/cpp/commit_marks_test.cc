#include "queue/commit_marks.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace ferrow {
namespace {

using Waited = CommitMarks::Waited;

// The marks as they sit in a mapping of `.proc_lock`.
struct Header {
  alignas(64) char bytes[64] = {};
};

TEST(CommitMarks, OneLeaderAtATimeAndItsEndWakesTheWaiters) {
  Header header;
  CommitMarks marks(header.bytes);
  auto alive = [] { return true; };
  ASSERT_TRUE(marks.take_leadership(0, 7));
  EXPECT_FALSE(marks.take_leadership(0, 8));
  EXPECT_EQ(marks.wait_for_leader(1, 100, 7, 5, alive), Waited::TimedOut);

  std::thread leader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    marks.raise_synced(1, 50);  // covers less than the waiter needs
    marks.end_leadership(7);
  });
  EXPECT_EQ(marks.wait_for_leader(1, 100, 7, 10000, alive), Waited::LeaderChanged);
  leader.join();
  EXPECT_EQ(marks.leader(), 0u);
  EXPECT_TRUE(marks.synced_covers(1, 50));
  EXPECT_FALSE(marks.synced_covers(1, 51));

  ASSERT_TRUE(marks.take_leadership(0, 8));
  std::thread covering([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    marks.raise_synced(1, 100);
  });
  EXPECT_EQ(marks.wait_for_leader(1, 100, 8, 10000, alive), Waited::Covered);
  covering.join();
  EXPECT_EQ(marks.wait_for_leader(1, 200, 8, 10000, [] { return false; }), Waited::LeaderDead);
  EXPECT_FALSE(marks.take_leadership(9, 10));  // 9 does not lead: no effect
  EXPECT_TRUE(marks.take_leadership(8, 10));
  marks.end_leadership(8);  // no longer the leader: no effect
  EXPECT_EQ(marks.leader(), 10u);
}

TEST(CommitMarks, AMarkSaysNothingAboutAnotherGenerationAndIsNeverLowered) {
  Header header;
  CommitMarks marks(header.bytes);
  EXPECT_FALSE(marks.synced_covers(1, 1));
  marks.raise_synced(1, 500);
  marks.raise_synced(1, 400);
  EXPECT_TRUE(marks.synced_covers(1, 500));
  EXPECT_FALSE(marks.synced_covers(2, 10));
  marks.raise_synced(2, 10);
  marks.raise_synced(1, 900);  // a slow process's fsync of the replaced log
  EXPECT_TRUE(marks.synced_covers(2, 10));
  EXPECT_FALSE(marks.synced_covers(1, 900));
  // Generations are compared modulo 2^16: 0x10000 follows 0xFFFF.
  Header wrapping;
  CommitMarks wrapped(wrapping.bytes);
  wrapped.raise_synced(0xFFFF, 5);
  wrapped.raise_synced(0x10000, 5);
  wrapped.raise_synced(0xFFFF, 50);
  EXPECT_TRUE(wrapped.synced_covers(0x10000, 5));
  EXPECT_FALSE(wrapped.synced_covers(0xFFFF, 50));

  marks.publish_appended(3, 77);
  EXPECT_EQ(marks.appended(3), 77u);
  EXPECT_EQ(marks.appended(4), 0u);
}

}  // namespace
}  // namespace ferrow
