// The pool that holds the index's chunks: blocks in use never overlap,
// survive the pool's other traffic, and the slabs go back once their blocks
// do, through every slab size up to the huge ones.
#include "queue/block_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

namespace ferrow {
namespace {

constexpr size_t BLOCK = 1328;  // about the size of a chunk of the index

// Fills a block with a pattern of its tag, so that a block handed out twice,
// or overlapping another, shows up as a wrong pattern.
void stamp(void* block, uint64_t tag) {
  uint64_t* words = static_cast<uint64_t*>(block);
  for (size_t i = 0; i < BLOCK / 8; i++) words[i] = tag * 0x9E3779B97F4A7C15ull + i;
}
bool stamped(const void* block, uint64_t tag) {
  const uint64_t* words = static_cast<const uint64_t*>(block);
  for (size_t i = 0; i < BLOCK / 8; i++) {
    if (words[i] != tag * 0x9E3779B97F4A7C15ull + i) return false;
  }
  return true;
}

TEST(BlockPoolTest, BlocksStayApartAndSlabsGoBack) {
  std::mt19937_64 random(11);
  BlockPool pool(BLOCK);
  std::vector<std::pair<void*, uint64_t>> live;
  uint64_t tag = 0;
  size_t peak = 0;
  // Grow past several huge slabs, shrink to a few blocks, grow again, with
  // releases in random order all along.
  for (size_t target : {6000, 40, 9000, 0}) {
    while (live.size() != target) {
      const bool grow = live.size() < target ? random() % 4 != 0 : random() % 4 == 0;
      if (grow) {
        void* block = pool.allocate();
        ASSERT_EQ(reinterpret_cast<uintptr_t>(block) % alignof(uint64_t), 0u);
        stamp(block, ++tag);
        live.emplace_back(block, tag);
      } else if (!live.empty()) {
        std::swap(live[random() % live.size()], live.back());
        ASSERT_TRUE(stamped(live.back().first, live.back().second));
        pool.release(live.back().first);
        live.pop_back();
      }
    }
    for (const auto& [block, t] : live) ASSERT_TRUE(stamped(block, t)) << t;
    // Released blocks are used again before new ones are carved: the slabs
    // hold no more than the most blocks ever in use, the slab being carved
    // and one kept empty.
    peak = std::max(peak, target);
    EXPECT_LE(pool.mapped_bytes(), peak * (BLOCK + 8) + 2 * BlockPool::HUGE_SLAB_BYTES) << target;
  }
  EXPECT_LE(pool.mapped_bytes(), BlockPool::HUGE_SLAB_BYTES);

  // A moved pool keeps its blocks; the one moved from is empty.
  void* block = pool.allocate();
  stamp(block, 1);
  BlockPool moved = std::move(pool);
  EXPECT_TRUE(stamped(block, 1));
  EXPECT_EQ(pool.mapped_bytes(), 0u);
  moved.release(block);
}

}  // namespace
}  // namespace ferrow
