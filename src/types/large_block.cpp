#include "types/large_block.h"

#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace types {

namespace {

// Whole pages of the smallest size. Rounding to huge pages instead would
// commit up to a huge page past the end of every array a parse grows into
// (the memory of a 64 MB parse rose by 5 MB); as it is, the kernel backs
// the block's whole huge pages with huge pages and its tail with small ones.
constexpr std::size_t kPage = 4096;

}  // namespace

std::size_t large_block_room(std::size_t bytes) { return (bytes + kPage - 1) / kPage * kPage; }

#if defined(__linux__) && defined(MREMAP_MAYMOVE)

void* resize_large_block(void* block, std::size_t old_room, std::size_t room, bool huge_pages) {
  void* grown = block == nullptr ? mmap(nullptr, room, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                                 : mremap(block, old_room, room, MREMAP_MAYMOVE);
  if (grown == MAP_FAILED) return nullptr;
#if defined(MADV_HUGEPAGE)
  // Advice only: where the kernel has no huge pages, nothing changes.
  if (huge_pages) madvise(grown, room, MADV_HUGEPAGE);
#endif
  return grown;
}

void free_large_block(void* block, std::size_t room) {
  if (block != nullptr) munmap(block, room);
}

#else

void* resize_large_block(void* block, std::size_t, std::size_t room, bool) { return std::realloc(block, room); }

void free_large_block(void* block, std::size_t) { std::free(block); }

#endif

LargeBlock::LargeBlock(std::size_t bytes) : room_(large_block_room(bytes)) {
  data_ = resize_large_block(nullptr, 0, room_);
  if (data_ == nullptr) throw std::bad_alloc();
}

}  // namespace types
