// Large blocks for the growable arrays (PodVector), taken from the kernel
// directly: from a few megabytes up for a parse's workspace, from a
// quarter of one for a batch's output. A large parse writes its arrays
// once, front to back: with 4 KB pages it pays a page fault and a page of
// zeroing every 4 KB, call after call, since the C library returns such
// blocks when they are freed. Elsewhere (no Linux) blocks are the C
// library's.
#pragma once

#include <cstddef>
#include <cstdint>

namespace util {


// What a block is for, which decides its pages and its end.
enum class BlockUse : std::uint8_t {
  // A parse's workspace and a result's records: marked for huge pages
  // where the kernel offers them (512 times fewer faults), and given back
  // to the kernel when freed, so that a parse's peak does not outlive it.
  workspace,
  // A batch's output columns. Several threads fill theirs at once, and
  // with huge pages the first batches of a process ran two threads slower
  // than one (the kernel zeroing 2 MB pages), so they keep small pages.
  // Freed, they are kept (up to kKeptOutputBytes) for the next batch's
  // columns, which then write into pages already in memory: faulting in
  // every 4 KB of the output afresh was 40% of a batch's time.
  output,
};

// The most that freed output blocks hold for reuse, process-wide.
inline constexpr std::size_t kKeptOutputBytes = std::size_t{256} << 20;

// Blocks from this size up are large blocks: a few megabytes for a
// workspace, whose smaller arrays the C library keeps between parses
// anyway; far less for output, so that a batch's every column but the
// smallest is kept for the next.
inline constexpr std::size_t kLargeBlockBytes = std::size_t{4} << 20;
inline constexpr std::size_t kLargeOutputBlockBytes = std::size_t{256} << 10;
constexpr std::size_t large_block_threshold(BlockUse use) {
  return use == BlockUse::output ? kLargeOutputBlockBytes : kLargeBlockBytes;
}

// The bytes a large block of at least `bytes` holds: whole pages.
std::size_t large_block_room(std::size_t bytes);
// A new large block of at least `room` bytes (a large_block_room) or,
// given `block` of `old_room` bytes, that block grown to at least `room`
// bytes, its content kept (it may move). `room` becomes the block's whole
// room: a kept output block may be larger than asked, never more than
// twice. Null when the memory is not there.
void* resize_large_block(void* block, std::size_t old_room, std::size_t& room, BlockUse use = BlockUse::workspace);
void free_large_block(void* block, std::size_t room, BlockUse use = BlockUse::workspace);

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
  ~LargeBlock() {
    if (data_ != nullptr) free_large_block(data_, room_);
  }

  std::byte* data() const { return static_cast<std::byte*>(data_); }

 private:
  void* data_ = nullptr;
  std::size_t room_ = 0;
};

}  // namespace util
