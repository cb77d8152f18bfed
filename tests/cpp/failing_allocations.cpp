#include "failing_allocations.h"

#include <cstddef>
#include <cstdlib>
#include <new>

extern "C" void* __real_malloc(std::size_t size);
extern "C" void* __real_realloc(void* block, std::size_t size);

namespace tagmire_test {

namespace {

// Allocations to let through before one fails; negative when none fails.
std::atomic<long> allocations_left{-1};

bool this_one_fails() {
  long left = allocations_left.load(std::memory_order_relaxed);
  while (left >= 0) {
    if (allocations_left.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) return left == 0;
  }
  return false;
}

}  // namespace

void fail_allocation_after(long count) { allocations_left.store(count, std::memory_order_relaxed); }

bool disarm_failing_allocation() { return allocations_left.exchange(-1, std::memory_order_relaxed) >= 0; }

}  // namespace tagmire_test

extern "C" void* __wrap_malloc(std::size_t size) {
  return tagmire_test::this_one_fails() ? nullptr : __real_malloc(size);
}

extern "C" void* __wrap_realloc(void* block, std::size_t size) {
  return tagmire_test::this_one_fails() ? nullptr : __real_realloc(block, size);
}

void* operator new(std::size_t size) {
  void* block = tagmire_test::this_one_fails() ? nullptr : __real_malloc(size == 0 ? 1 : size);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
