// The annotations of one parse, written one after another into one byte
// array, so that a result holds them without an allocation per tag, name or
// attribute. A recorded span or marker keeps the offset of its annotation.
// Strings keep the code units of the text they were read from (bytes of
// UTF-8, or one, two or four bytes per character).
//
// Layout of one annotation: the tag name, the attribute count, then each
// key and value. A string is its length in code units (LEB128), padding to
// its unit size, then its units. A value is 0 for a key written without a
// value, or its length plus 1 followed by its units.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "util/pod_vector.h"

namespace types {

using AnnotationRef = std::size_t;

// A string in the store: `size` units of `Unit` at `data` (aligned for Unit).
template <class Unit>
struct StoredText {
  const Unit* data = nullptr;
  std::size_t size = 0;
};

// Reads one annotation from stored bytes: `tag()`, then
// `attribute_count()` times `next_attribute()`.
template <class Unit>
class AnnotationReader {
 public:
  AnnotationReader(const char* bytes, AnnotationRef ref) : data_(bytes), pos_(ref) {
    tag_ = read_text();
    count_ = read_length();
  }
  StoredText<Unit> tag() const { return tag_; }
  std::size_t attribute_count() const { return count_; }

  // Bytes the annotation at `ref` takes.
  static std::size_t length_at(const char* bytes, AnnotationRef ref) {
    AnnotationReader reader(bytes, ref);
    for (std::size_t k = 0; k < reader.count_; ++k) reader.next_attribute();
    return reader.pos_ - ref;
  }

  struct Attribute {
    StoredText<Unit> key;
    bool has_value = false;  // false: written without a value
    StoredText<Unit> value;
  };
  Attribute next_attribute() {
    Attribute attribute;
    attribute.key = read_text();
    const std::size_t value = read_length();
    if (value != 0) {
      attribute.has_value = true;
      attribute.value = read_units(value - 1);
    }
    return attribute;
  }

 private:
  std::size_t read_length() {
    std::size_t n = 0;
    for (int shift = 0;; shift += 7) {
      const auto b = static_cast<unsigned char>(data_[pos_++]);
      n |= static_cast<std::size_t>(b & 0x7F) << shift;
      if (b < 0x80) return n;
    }
  }
  StoredText<Unit> read_text() { return read_units(read_length()); }
  StoredText<Unit> read_units(std::size_t n) {
    pos_ = (pos_ + sizeof(Unit) - 1) / sizeof(Unit) * sizeof(Unit);
    StoredText<Unit> text{reinterpret_cast<const Unit*>(data_ + pos_), n};
    pos_ += n * sizeof(Unit);
    return text;
  }

  const char* data_;
  std::size_t pos_;
  StoredText<Unit> tag_;
  std::size_t count_ = 0;
};

// Writes annotations as a parse records them. Each annotation is written
// through a pointer after one check for room, since a parse records one for
// nearly every tag. The bytes are kept at an address aligned for the
// widest unit (as any allocation is).
class AnnotationWriter {
 public:
  // Begins an annotation of at most `bound` bytes (see `bound_for`), and
  // returns where it begins.
  AnnotationRef begin(std::size_t bound) {
    bytes_.reserve_more(bound);
    return bytes_.size();
  }
  // The most bytes one string or value of `n` units of `Unit` takes.
  template <class Unit>
  static constexpr std::size_t bound_for(std::size_t n) {
    return 10 + sizeof(Unit) - 1 + n * sizeof(Unit);
  }
  static constexpr std::size_t kCountBound = 10;

  void add_count(std::size_t n) { put_length(n); }
  template <class Unit>
  void add_text(const Unit* units, std::size_t n) {
    put_length(n);
    put_units(units, n);
  }
  void add_bare_value() { put_length(0); }
  template <class Unit>
  void add_value(const Unit* units, std::size_t n) {
    put_length(n + 1);
    put_units(units, n);
  }
  // Adds a copy of an annotation stored elsewhere at `ref` (`length` bytes
  // at `bytes`), placed at the same offset modulo eight so that it reads
  // the same.
  AnnotationRef copy_in(const char* bytes, std::size_t length, AnnotationRef ref) {
    const std::size_t pad = (ref - bytes_.size()) % 8;
    const AnnotationRef at = begin(pad + length) + pad;
    for (std::size_t i = bytes_.size(); i < at; ++i) bytes_.data()[i] = 0;
    std::memcpy(bytes_.data() + at, bytes, length);
    bytes_.resize_uninitialised(at + length);
    return at;
  }

  std::size_t size() const { return bytes_.size(); }
  std::size_t bytes() const { return bytes_.bytes(); }
  const char* data() const { return bytes_.data(); }
  void clear() { bytes_.clear(); }
  // Forgets the annotations written from byte `size` on.
  void truncate(std::size_t size) { bytes_.resize_uninitialised(size); }
  void release() { bytes_.release(); }

 private:
  void put_length(std::size_t n) {
    char* to = bytes_.data() + bytes_.size();
    char* const from = to;
    while (n >= 0x80) {
      *to++ = static_cast<char>((n & 0x7F) | 0x80);
      n >>= 7;
    }
    *to++ = static_cast<char>(n);
    bytes_.resize_uninitialised(bytes_.size() + static_cast<std::size_t>(to - from));
  }
  template <class Unit>
  void put_units(const Unit* units, std::size_t n) {
    // Offsets are aligned within the array, and the array itself is
    // allocated aligned, so the units can be read in place.
    const std::size_t at = (bytes_.size() + sizeof(Unit) - 1) / sizeof(Unit) * sizeof(Unit);
    // Padding is written too, so that the bytes are all defined.
    for (std::size_t pad = bytes_.size(); pad < at; ++pad) bytes_.data()[pad] = 0;
    if (n != 0) std::memcpy(bytes_.data() + at, units, n * sizeof(Unit));
    bytes_.resize_uninitialised(at + n * sizeof(Unit));
  }
  util::PodVector<char> bytes_;
};

}  // namespace types
