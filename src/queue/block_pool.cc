#include "queue/block_pool.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <utility>

// Under the address sanitizer, blocks not in use are poisoned, so that the
// index touching a chunk it gave back is reported as a use after free.
#if defined(__SANITIZE_ADDRESS__)
#define FERROW_POOL_POISONS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FERROW_POOL_POISONS 1
#endif
#endif
// The leak checker does not look inside anonymous mappings, so what a chunk
// owns (its lease block, its kept bodies) would be reported as leaked while
// the chunk still points at it: each slab is registered as a root region.
#if defined(FERROW_POOL_POISONS)
#include <sanitizer/asan_interface.h>
#include <sanitizer/lsan_interface.h>
#define FERROW_POISON(at, n) ASAN_POISON_MEMORY_REGION((at), (n))
#define FERROW_UNPOISON(at, n) ASAN_UNPOISON_MEMORY_REGION((at), (n))
#define FERROW_LEAK_ROOT(at, n) __lsan_register_root_region((at), (n))
#define FERROW_NO_LEAK_ROOT(at, n) __lsan_unregister_root_region((at), (n))
#else
#define FERROW_POISON(at, n) ((void)(at), (void)(n))
#define FERROW_UNPOISON(at, n) ((void)(at), (void)(n))
#define FERROW_LEAK_ROOT(at, n) ((void)(at), (void)(n))
#define FERROW_NO_LEAK_ROOT(at, n) ((void)(at), (void)(n))
#endif

namespace ferrow {
namespace {

// Each block is preceded by a pointer to its slab, so release() finds the
// slab without a search.
constexpr size_t HEADER_BYTES = sizeof(void*);
constexpr size_t FIRST_SLAB_BLOCKS = 32;
constexpr size_t PAGE_BYTES = 4096;

size_t round_up(size_t n, size_t to) { return (n + to - 1) / to * to; }

char* map_anonymous(size_t bytes) {
  void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  return static_cast<char*>(p);
}

// A mapping of `bytes` aligned to `bytes` (a power of two): a huge page can
// only back an aligned range. The slack around it is given back at once.
char* map_aligned(size_t bytes) {
  char* raw = map_anonymous(2 * bytes);
  const uintptr_t address = reinterpret_cast<uintptr_t>(raw);
  char* aligned = raw + (round_up(address, bytes) - address);
  if (aligned > raw) ::munmap(raw, static_cast<size_t>(aligned - raw));
  const size_t after = static_cast<size_t>(raw + 2 * bytes - (aligned + bytes));
  if (after > 0) ::munmap(aligned + bytes, after);
#if defined(MADV_HUGEPAGE)
  // Only advice: without transparent huge pages the slab is an ordinary
  // mapping, faulted in page by page.
  (void)::madvise(aligned, bytes, MADV_HUGEPAGE);
#endif
  return aligned;
}

}  // namespace

struct BlockPool::Slab {
  char* base;
  size_t bytes;
  size_t capacity;       // blocks
  size_t carved = 0;     // blocks handed out at least once, from the front
  size_t live = 0;       // blocks in use
  void* free_list = nullptr;  // released blocks, linked through their first word
  bool kept_empty = false;    // counted in empty_slabs_

  bool has_room() const { return free_list != nullptr || carved < capacity; }
};

BlockPool::BlockPool(size_t block_size)
    : stride_(HEADER_BYTES + round_up(std::max(block_size, sizeof(void*)), alignof(uint64_t))),
      next_blocks_(FIRST_SLAB_BLOCKS) {}

BlockPool::~BlockPool() { clear(); }

BlockPool::BlockPool(BlockPool&& other) noexcept
    : stride_(other.stride_), next_blocks_(other.next_blocks_) {
  *this = std::move(other);
}

BlockPool& BlockPool::operator=(BlockPool&& other) noexcept {
  if (this == &other) return *this;
  clear();
  stride_ = other.stride_;
  slabs_ = std::move(other.slabs_);
  open_ = std::exchange(other.open_, nullptr);
  empty_slabs_ = std::exchange(other.empty_slabs_, 0);
  next_blocks_ = std::exchange(other.next_blocks_, FIRST_SLAB_BLOCKS);
  other.slabs_.clear();
  return *this;
}

void BlockPool::unmap_slab(Slab* slab) {
  // Poison outlives a mapping: whatever is mapped there next starts clean.
  FERROW_UNPOISON(slab->base, slab->bytes);
  FERROW_NO_LEAK_ROOT(slab->base, slab->bytes);
  ::munmap(slab->base, slab->bytes);
}

void BlockPool::clear() {
  for (Slab* slab : slabs_) {
    unmap_slab(slab);
    delete slab;
  }
  slabs_.clear();
  open_ = nullptr;
  empty_slabs_ = 0;
}

BlockPool::Slab* BlockPool::new_slab() {
  slabs_.reserve(slabs_.size() + 1);  // so that the push below cannot throw
  const bool huge = next_blocks_ * stride_ >= HUGE_SLAB_BYTES;
  const size_t bytes = huge ? HUGE_SLAB_BYTES : round_up(next_blocks_ * stride_, PAGE_BYTES);
  char* base = huge ? map_aligned(bytes) : map_anonymous(bytes);
  Slab* slab = new (std::nothrow) Slab{base, bytes, bytes / stride_};
  if (slab == nullptr) {
    ::munmap(base, bytes);
    throw std::bad_alloc();
  }
  FERROW_POISON(base, bytes);
  FERROW_LEAK_ROOT(base, bytes);
  slabs_.push_back(slab);
  if (!huge) next_blocks_ *= 4;
  return slab;
}

void BlockPool::free_slab(Slab* slab) {
  slabs_.erase(std::find(slabs_.begin(), slabs_.end(), slab));
  if (open_ == slab) open_ = nullptr;
  unmap_slab(slab);
  delete slab;
}

void* BlockPool::allocate() {
  if (open_ == nullptr || !open_->has_room()) {
    open_ = nullptr;
    for (Slab* slab : slabs_) {
      if (slab->has_room()) {
        open_ = slab;
        break;
      }
    }
    if (open_ == nullptr) open_ = new_slab();
  }
  Slab* slab = open_;
  void* block;
  if (slab->free_list != nullptr) {
    block = slab->free_list;
    FERROW_UNPOISON(block, stride_ - HEADER_BYTES);
    slab->free_list = *static_cast<void**>(block);
  } else {
    char* at = slab->base + slab->carved * stride_;
    FERROW_UNPOISON(at, stride_);
    *reinterpret_cast<Slab**>(at) = slab;
    block = at + HEADER_BYTES;
    slab->carved++;
  }
  slab->live++;
  if (slab->kept_empty) {
    slab->kept_empty = false;
    empty_slabs_--;
  }
  return block;
}

void BlockPool::release(void* block) {
  Slab* slab = *reinterpret_cast<Slab**>(static_cast<char*>(block) - HEADER_BYTES);
  *static_cast<void**>(block) = slab->free_list;
  slab->free_list = block;
  FERROW_POISON(block, stride_ - HEADER_BYTES);
  if (--slab->live == 0) {
    // One empty slab is kept, so that an index whose size hovers around a
    // slab's edge does not map and unmap it over and over.
    if (empty_slabs_ > 0) {
      free_slab(slab);
      return;
    }
    slab->kept_empty = true;
    empty_slabs_++;
  }
  if (open_ == nullptr || !open_->has_room()) open_ = slab;
}

size_t BlockPool::mapped_bytes() const {
  size_t bytes = 0;
  for (const Slab* slab : slabs_) bytes += slab->bytes;
  return bytes;
}

}  // namespace ferrow
