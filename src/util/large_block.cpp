#include "util/large_block.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace util {

namespace {

// Whole pages of the smallest size. Rounding to huge pages instead would
// commit up to a huge page past the end of every array a parse grows into
// (the memory of a 64 MB parse rose by 5 MB); as it is, the kernel backs
// the block's whole huge pages with huge pages and its tail with small ones.
constexpr std::size_t kPage = 4096;

}  // namespace

std::size_t large_block_room(std::size_t bytes) { return (bytes + kPage - 1) / kPage * kPage; }

#if defined(__linux__) && defined(MREMAP_MAYMOVE)

namespace {

// Output blocks freed and kept for reuse. Every use only tries the lock:
// a thread that finds it taken maps or unmaps as if nothing were kept, so
// no thread ever waits here (nor a child forked while another held it).
class KeptBlocks {
 public:
  // A kept block of `room` to twice `room` bytes, the smallest there is,
  // with its room; null when none. Never larger: a small column must not
  // hold a large block's memory for as long as its table lives.
  void* take(std::size_t& room) {
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) return nullptr;
    Kept* best = nullptr;
    for (std::size_t i = 0; i < count_; ++i) {
      const std::size_t kept = blocks_[i].room;
      if (kept >= room && kept / 2 <= room && (best == nullptr || kept < best->room)) best = &blocks_[i];
    }
    if (best == nullptr) return nullptr;
    void* block = best->block;
    room = best->room;
    bytes_ -= room;
    *best = blocks_[--count_];
    return block;
  }

  // Whether `block` is kept; when not, the caller unmaps it.
  bool keep(void* block, std::size_t room) {
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock() || count_ == blocks_.size() || bytes_ + room > kKeptOutputBytes) return false;
    blocks_[count_++] = Kept{block, room};
    bytes_ += room;
    return true;
  }

 private:
  struct Kept {
    void* block;
    std::size_t room;
  };
  std::mutex mutex_;
  std::array<Kept, 256> blocks_{};
  std::size_t count_ = 0;
  std::size_t bytes_ = 0;
};

KeptBlocks& kept_output_blocks() {
  // Never destroyed: buffers freed while the interpreter shuts down still
  // find it.
  static auto* kept = new KeptBlocks;
  return *kept;
}

void* map_block(std::size_t room) {
  void* block = mmap(nullptr, room, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return block == MAP_FAILED ? nullptr : block;
}

}  // namespace

void* resize_large_block(void* block, std::size_t old_room, std::size_t& room, BlockUse use) {
  if (use == BlockUse::output) {
    // A kept block is already in memory: copying into it costs less than
    // the faults of fresh pages.
    if (void* kept = kept_output_blocks().take(room)) {
      if (block != nullptr) {
        std::memcpy(kept, block, old_room);
        free_large_block(block, old_room, use);
      }
      return kept;
    }
  }
  void* grown = block == nullptr ? map_block(room) : mremap(block, old_room, room, MREMAP_MAYMOVE);
  if (grown == nullptr || grown == MAP_FAILED) return nullptr;
#if defined(MADV_HUGEPAGE)
  // Advice only: where the kernel has no huge pages, nothing changes.
  if (use == BlockUse::workspace) madvise(grown, room, MADV_HUGEPAGE);
#endif
  return grown;
}

void free_large_block(void* block, std::size_t room, BlockUse use) {
  if (block == nullptr) return;
  if (use == BlockUse::output && kept_output_blocks().keep(block, room)) return;
  munmap(block, room);
}

#else

void* resize_large_block(void* block, std::size_t, std::size_t& room, BlockUse) { return std::realloc(block, room); }

void free_large_block(void* block, std::size_t, BlockUse) { std::free(block); }

#endif

LargeBlock::LargeBlock(std::size_t bytes) : room_(large_block_room(bytes)) {
  data_ = resize_large_block(nullptr, 0, room_);
  if (data_ == nullptr) throw std::bad_alloc();
}

}  // namespace util
