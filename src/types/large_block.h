// Blocks of several megabytes for the growable arrays (PodVector), taken
// from the kernel directly and marked for huge pages where the kernel
// offers them. A large parse writes its arrays once, front to back: with
// 4 KB pages it pays a page fault and a page of zeroing every 4 KB, call
// after call, since the C library returns such blocks when they are freed;
// with 2 MB pages, 512 times fewer faults. Elsewhere (no Linux) blocks are
// the C library's.
#pragma once

#include <cstddef>

namespace types {

// Blocks from this size up are large blocks.
inline constexpr std::size_t kLargeBlockBytes = std::size_t{4} << 20;

// The bytes a large block of at least `bytes` holds: whole pages.
std::size_t large_block_room(std::size_t bytes);
// A new large block of `room` bytes (a large_block_room) or, given
// `block` of `old_room` bytes, that block grown to `room` bytes, its
// content kept (it may move), on huge pages when `huge_pages`. Null when
// the memory is not there.
void* resize_large_block(void* block, std::size_t old_room, std::size_t room, bool huge_pages = true);
void free_large_block(void* block, std::size_t room);

// A large block owned: memory a result keeps for as long as it lives.
class LargeBlock {
 public:
  LargeBlock() = default;
  // At least `bytes`; throws std::bad_alloc when the memory is not there.
  explicit LargeBlock(std::size_t bytes);
  LargeBlock(LargeBlock&& other) noexcept : data_(other.data_), room_(other.room_) {
    other.data_ = nullptr;
    other.room_ = 0;
  }
  LargeBlock& operator=(LargeBlock&& other) noexcept {
    if (this != &other) {
      free_large_block(data_, room_);
      data_ = other.data_;
      room_ = other.room_;
      other.data_ = nullptr;
      other.room_ = 0;
    }
    return *this;
  }
  ~LargeBlock() { free_large_block(data_, room_); }

  std::byte* data() const { return static_cast<std::byte*>(data_); }

 private:
  void* data_ = nullptr;
  std::size_t room_ = 0;
};

}  // namespace types
