// The annotations of a parse, kept as the text of the tags they come from:
// a recorded span or marker keeps where its tag's name begins, and the
// name and attributes are read from the tag's text only when the
// annotation is read. A parse then costs nothing per annotation but that
// position, however many attributes its tags carry, and a result that is
// never asked for its annotations never reads one.
//
// The text of a tag is read where it stands: in the input of a one-shot
// parse (whose owner keeps it as long as the records), or in copies of the
// tags' text (a stream's, whose input is dropped as it is walked). Either
// way it runs from the tag's name to the tag's closing `>`, and strings
// keep the code units of that text (bytes of UTF-8, or one, two or four
// bytes per character).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "text/classes.h"
#include "text/encoding.h"
#include "types/tag_attributes.h"
#include "util/pod_vector.h"

namespace types {

// Where a tag's name begins, in code units from the start of the text that
// holds the tag.
using AnnotationRef = std::size_t;

// A string of a tag's text: `size` units of `Unit` at `data`.
template <class Unit>
struct StoredText {
  const Unit* data = nullptr;
  std::size_t size = 0;
};

// The form of text whose code units are `Unit`.
template <class Unit>
struct FormOfUnit;
template <>
struct FormOfUnit<char> {
  using type = text::Utf8;
};
template <>
struct FormOfUnit<std::uint8_t> {
  using type = text::Latin1;
};
template <>
struct FormOfUnit<std::uint16_t> {
  using type = text::Ucs2;
};
template <>
struct FormOfUnit<std::uint32_t> {
  using type = text::Ucs4;
};

// Reads one annotation from its tag's text, `source` being the text that
// holds the tag: `tag()`, then `attribute_count()` times `next_attribute()`.
// The attributes are read by the grammar the first time they are asked for.
template <class Unit>
class AnnotationReader {
 public:
  AnnotationReader(const char* source, AnnotationRef ref)
      : units_(reinterpret_cast<const Unit*>(source)), name_begin_(ref), name_end_(ref) {
    // A tag's name is followed by its attributes or its `>`, so the walk
    // stops inside the tag.
    while (text::is_name_unit(units_[name_end_])) ++name_end_;
  }
  StoredText<Unit> tag() const { return {units_ + name_begin_, name_end_ - name_begin_}; }

  std::size_t attribute_count() {
    if (!read_) read_attributes();
    return attributes_.size();
  }

  struct Attribute {
    StoredText<Unit> key;
    bool has_value = false;  // false: written without a value
    StoredText<Unit> value;
  };
  Attribute next_attribute() {
    if (!read_) read_attributes();
    const ScannedAttribute& a = attributes_[next_++];
    Attribute attribute;
    attribute.key = {units_ + a.key_begin, a.key_end - a.key_begin};
    if (a.has_value) {
      attribute.has_value = true;
      attribute.value = {units_ + a.value_begin, a.value_end - a.value_begin};
    }
    return attribute;
  }

  // Units of the tag's text from `ref` through its `>`: what a copy of the
  // annotation takes.
  static std::size_t length_at(const char* source, AnnotationRef ref) {
    const auto* units = reinterpret_cast<const Unit*>(source);
    std::size_t gt = ref;
    while (units[gt] != text::U<Unit>('>')) ++gt;
    return gt + 1 - ref;
  }

 private:
  using Form = typename FormOfUnit<Unit>::type;

  // The attribute text runs from the name to the white space before the
  // `>`, and, when a `/` stands last (a self-closing tag), to the white
  // space before that.
  void read_attributes() {
    read_ = true;
    const std::size_t gt = name_end_ - 1 + length_at(reinterpret_cast<const char*>(units_), name_end_);
    const text::TextView<Form> view{units_, gt};
    std::size_t end = text::skip_white_space_back(view, gt, name_end_);
    if (end > name_end_ && units_[end - 1] == text::U<Unit>('/')) {
      end = text::skip_white_space_back(view, end - 1, name_end_);
    }
    attributes_.read(view, name_end_, end);
  }

  const Unit* units_;
  std::size_t name_begin_;
  std::size_t name_end_;
  bool read_ = false;
  std::size_t next_ = 0;
  AttributeList attributes_;
};

// Copies of tags' text, one after another in one array, for records that
// outlive the text they were parsed from. Each copy is aligned for its
// units, and its reference counts those units from the array's start.
class AnnotationWriter {
 public:
  // Appends `n` units of a tag's text, from its name through its `>`, and
  // returns the copy's reference.
  template <class Unit>
  AnnotationRef add(const Unit* units, std::size_t n) {
    const std::size_t end = bytes_.size();
    const std::size_t at = (end + sizeof(Unit) - 1) / sizeof(Unit) * sizeof(Unit);
    bytes_.resize_uninitialised(at + n * sizeof(Unit));
    // Padding is written too, so that the bytes are all defined.
    for (std::size_t pad = end; pad < at; ++pad) bytes_.data()[pad] = 0;
    std::memcpy(bytes_.data() + at, units, n * sizeof(Unit));
    return at / sizeof(Unit);
  }

  std::size_t size() const { return bytes_.size(); }
  std::size_t bytes() const { return bytes_.bytes(); }
  const char* data() const { return bytes_.data(); }
  void clear() { bytes_.clear(); }
  // Forgets the copies made from byte `size` on.
  void truncate(std::size_t size) { bytes_.resize_uninitialised(size); }
  void release() { bytes_.release(); }

 private:
  util::PodVector<char> bytes_;
};

}  // namespace types
