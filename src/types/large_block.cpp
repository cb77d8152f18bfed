#include "types/large_block.h"

#include <cstdlib>
#include <cstring>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace types {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

}  // namespace

std::size_t large_block_room(std::size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

#if defined(__linux__) && defined(MREMAP_MAYMOVE)

void* resize_large_block(void* block, std::size_t old_room, std::size_t room) {
  void* grown = block == nullptr ? mmap(nullptr, room, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                                 : mremap(block, old_room, room, MREMAP_MAYMOVE);
  if (grown == MAP_FAILED) return nullptr;
#if defined(MADV_HUGEPAGE)
  // Advice only: where the kernel has no huge pages, nothing changes.
  madvise(grown, room, MADV_HUGEPAGE);
#endif
  return grown;
}

void free_large_block(void* block, std::size_t room) {
  if (block != nullptr) munmap(block, room);
}

#else

void* resize_large_block(void* block, std::size_t, std::size_t room) { return std::realloc(block, room); }

void free_large_block(void* block, std::size_t) { std::free(block); }

#endif

}  // namespace types
