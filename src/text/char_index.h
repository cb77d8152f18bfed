// Character offsets of a UTF-8 text's byte offsets, each in constant time:
// a bitmap of the text's continuation bytes from one vector pass, and the
// count of them before each 64-byte word. A caller that asks for many
// offsets of one text (a row's segment ends and markers) then reads the
// text once, instead of counting from one offset to the next.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "text/bit_count.h"
#include "text/text_runs.h"

namespace text {

class Utf8CharIndex {
 public:
  // Indexes `size` bytes of valid UTF-8 at `data`; the arrays are kept for
  // the next text.
  void build(const char* data, std::size_t size) {
    const std::size_t count = size / 64 + 1;
    if (words_.size() < count) {
      words_.resize(count);
      before_.resize(count);
    }
    ascii_ = continuation_words(data, size, words_.data(), before_.data()) == 0;
  }

  // Whether the text is ASCII: every offset counts characters as well.
  bool ascii() const { return ascii_; }

  // The characters in the first `byte` bytes (`byte` at most the size).
  std::size_t chars_before(std::size_t byte) const {
    if (ascii_) return byte;
    const std::size_t w = byte / 64;
    const std::uint64_t below = words_[w] & ((std::uint64_t{1} << (byte % 64)) - 1);
    return byte - before_[w] - bit_count(below);
  }

 private:
  // Only grown: sized for the largest text so far.
  std::vector<std::uint64_t> words_;
  std::vector<std::size_t> before_;
  bool ascii_ = true;
};

}  // namespace text
