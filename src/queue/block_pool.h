// Fixed-size blocks carved out of a few large slabs, for the chunks of the
// index: one allocation per slab instead of one per block, and, once the
// index is large, slabs of 2 MiB backed by huge pages where the kernel
// offers them. Opening a long log then takes a dozen page faults for the
// index instead of one per 4 KiB (each of which clears its page), which
// was the largest cost of opening after reading the file.
//
// Slabs grow fourfold from 32 blocks, so that a small queue stays small. A released
// block is reused before any new one is carved, and a slab none of whose
// blocks is in use goes back to the system (unless it is the only one), so
// the pool holds at most what the index held at its largest, plus a slab.
//
// Not thread-safe; the owner (QueueState) is guarded by its queue.
#ifndef FERROW_QUEUE_BLOCK_POOL_H_
#define FERROW_QUEUE_BLOCK_POOL_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ferrow {

class BlockPool {
 public:
  explicit BlockPool(size_t block_size);
  ~BlockPool();
  BlockPool(BlockPool&& other) noexcept;
  BlockPool& operator=(BlockPool&& other) noexcept;
  BlockPool(const BlockPool&) = delete;
  BlockPool& operator=(const BlockPool&) = delete;

  // Uninitialised memory for one block, aligned for any scalar type; throws
  // std::bad_alloc when the system refuses a new slab.
  void* allocate();
  // REQUIRES: `block` came from allocate() of this pool and is not in use.
  void release(void* block);

  // Bytes of the slabs mapped now (what the pool can cost at most).
  size_t mapped_bytes() const;

  // Slabs of this size are aligned to it and asked for huge pages.
  static constexpr size_t HUGE_SLAB_BYTES = size_t{2} << 20;

 private:
  struct Slab;
  Slab* new_slab();
  void free_slab(Slab* slab);
  static void unmap_slab(Slab* slab);
  void clear();

  size_t stride_;       // a block and the slab pointer in front of it
  std::vector<Slab*> slabs_;
  Slab* open_ = nullptr;  // a slab with a free or uncarved block, if known
  size_t empty_slabs_ = 0;  // slabs kept with no block in use (at most one)
  size_t next_blocks_;    // blocks of the next slab that is not huge
};

}  // namespace ferrow

#endif  // FERROW_QUEUE_BLOCK_POOL_H_
