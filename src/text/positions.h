// Positions of a text in its other measure, found by walking forward: for
// UTF-8, the characters before a byte; for the units of a str (one, two or
// four bytes per character), the bytes of UTF-8 before a character. Every
// layer that hands out both measures (a parse's records, a stream's runs
// and previews, a batch's rows) asks this, and only this.
//
// Questions in increasing order cost one walk over the text whatever their
// number. A question behind the last counts on from the nearest point that
// an earlier walk passed (one every 4 KB of units is kept), so that none
// costs more than that. A stream's held text grows at its end and is
// dropped at its front between questions: each question says where the
// text lies now, and `start_at` forgets what lies before the text kept.
//
// A UTF-8 text asked about many times whole, as a batch asks each row
// (every segment's end and every marker), is better indexed once: one
// vector pass notes its continuation bytes, and each question then costs a
// bit count, in any order (a row of 1 KB: 7% fewer instructions for the
// whole batch than walking).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "text/ascii_blocks.h"
#include "text/bit_count.h"
#include "text/text_runs.h"

namespace text {

template <class Unit>
class PositionMap {
 public:
  // Forgets the text: positions are asked of another one from now on.
  void reset() {
    origin_ = last_ = Point{0, 0};
    points_.clear();
    indexed_ = false;
  }

  // Forgets the text, and indexes `size` bytes of UTF-8 at `data`, which
  // every question until the next reset is about.
  void index(const char* data, std::size_t size)
    requires std::is_same_v<Unit, char>
  {
    reset();
    const std::size_t count = size / 64 + 1;
    if (words_.size() < count) {
      words_.resize(count);
      before_.resize(count);
    }
    ascii_ = continuation_words(data, size, words_.data(), before_.data()) == 0;
    indexed_ = true;
  }

  // From now on no position before `pos` is asked for; at `pos` the other
  // measure is `other`.
  void start_at(std::size_t pos, std::size_t other) {
    if (origin_.pos == pos) return;
    origin_ = Point{pos, other};
    std::erase_if(points_, [&](const Point& p) { return p.pos <= pos; });
    if (last_.pos < pos) last_ = origin_;
  }

  // The other measure at `pos`, of the text whose unit at position
  // `offset` lies at `data` (`pos` at least `offset`, within the text).
  std::size_t at(std::size_t pos, const Unit* data, std::size_t offset = 0) {
    if (indexed_) return indexed_at(pos);
    const Point& furthest = points_.empty() ? origin_ : points_.back();
    if (last_.pos <= pos && pos <= furthest.pos + kPointEvery && last_.pos >= origin_.pos) {
      // The common question: a little after the last one, and no further
      // from the last point kept than the span between points.
      last_ = Point{pos, last_.other + count(data + (last_.pos - offset), pos - last_.pos)};
      return last_.other;
    }
    auto it = std::upper_bound(points_.begin(), points_.end(), pos,
                               [](std::size_t p, const Point& point) { return p < point.pos; });
    Point from = it == points_.begin() ? origin_ : *std::prev(it);
    // Most questions come a little after the last one.
    if (last_.pos <= pos && last_.pos >= from.pos) from = last_;
    while (pos - from.pos > kPointEvery) {
      const std::size_t next = from.pos + kPointEvery;
      from = Point{next, from.other + count(data + (from.pos - offset), next - from.pos)};
      it = points_.insert(it, from) + 1;
    }
    last_ = Point{pos, from.other + count(data + (from.pos - offset), pos - from.pos)};
    return last_.other;
  }

 private:
  static constexpr std::size_t kPointEvery = 4096;

  struct Point {
    std::size_t pos;
    std::size_t other;
  };

  std::size_t indexed_at(std::size_t pos) const {
    if (ascii_) return pos;
    const std::size_t w = pos / 64;
    const std::uint64_t below = words_[w] & ((std::uint64_t{1} << (pos % 64)) - 1);
    return pos - before_[w] - bit_count(below);
  }

  static std::size_t count(const Unit* data, std::size_t n) {
    if constexpr (sizeof(Unit) == 1 && std::is_same_v<Unit, char>) {
      return count_utf8_chars(data, n);
    } else {
      return utf8_length(data, n);
    }
  }

  // Where the text starts, and points kept after it, every kPointEvery
  // units of a walk.
  Point origin_{0, 0};
  std::vector<Point> points_;
  Point last_{0, 0};
  // The index: bit i of words_[i / 64] set where byte i continues a
  // character, and the continuation bytes before each word. Only grown,
  // sized for the largest text so far.
  bool indexed_ = false;
  bool ascii_ = false;
  std::vector<std::uint64_t> words_;
  std::vector<std::size_t> before_;
};

}  // namespace text
