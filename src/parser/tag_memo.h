// Remembers the annotation each distinct tag text was stored as. A model's
// answer writes the same few tags again and again (`<note>`, `<cite
// src="wiki"/>`), and equal tag text means an equal annotation, so a
// repeated tag is neither read for attributes nor stored again. The memo
// holds a bounded number of texts, so input of nothing but distinct tags
// costs a fixed amount more, not memory in proportion.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "types/annotation_store.h"
#include "util/pod_vector.h"

namespace parser {

template <class Unit>
class TagMemo {
 public:
  // The annotation stored for the text [begin, begin + length) of `input`,
  // or `kUnknown`.
  static constexpr types::AnnotationRef kUnknown = static_cast<types::AnnotationRef>(-1);

  types::AnnotationRef find(const Unit* input, std::size_t begin, std::size_t length) {
    hash_ = hash(input + begin, length);
    if (slots_.empty()) return kUnknown;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = hash_ & mask; slots_[slot].generation == generation_; slot = (slot + 1) & mask) {
      const Slot& s = slots_[slot];
      if (s.hash == hash_ && s.length == length &&
          std::memcmp(input + s.begin, input + begin, length * sizeof(Unit)) == 0) {
        return s.ref;
      }
    }
    return kUnknown;
  }

  // Remembers `ref` for the text `find` was last asked about.
  void remember(std::size_t begin, std::size_t length, types::AnnotationRef ref) {
    if (2 * (count_ + 1) > slots_.size()) {
      if (slots_.size() >= kMaxSlots) return;
      grow();
    }
    const std::size_t mask = slots_.size() - 1;
    std::size_t slot = hash_ & mask;
    while (slots_[slot].generation == generation_) slot = (slot + 1) & mask;
    slots_[slot] = Slot{hash_, begin, length, ref, generation_};
    ++count_;
  }

  // Forgets everything (a new input, or annotations that moved).
  void clear() {
    ++generation_;
    count_ = 0;
  }
  void release() {
    slots_.release();
    clear();
  }

 private:
  static constexpr std::size_t kMaxSlots = 8192;

  struct Slot {
    std::uint64_t hash;
    std::size_t begin;
    std::size_t length;
    types::AnnotationRef ref;
    std::uint64_t generation;  // in use when it is the memo's
  };

  // Over the units' bytes, whatever their width: equal texts have equal
  // bytes, and a tag's text of wide units is hashed in as few steps as
  // one of bytes (one multiplication a unit was most of a wide tag's cost).
  static std::uint64_t hash(const Unit* units, std::size_t n) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(units);
    const std::size_t size = n * sizeof(Unit);
    std::uint64_t h = 0x9E3779B97F4A7C15ull ^ size;
    if (size < 8) {
      for (std::size_t i = 0; i < size; ++i) h = (h ^ static_cast<std::uint64_t>(bytes[i])) * 0x100000001B3ull;
      return h ^ (h >> 29);
    }
    std::size_t i = 0;
    if (size >= 32) {
      // Four lanes of eight bytes: a long tag (a source's address, four
      // bytes a character in the widest form) is then four short chains of
      // dependent multiplications, not one long one.
      std::uint64_t lanes[4] = {h, h ^ 0x2545F4914F6CDD1Dull, h ^ 0x9FB21C651E98DF25ull, h ^ 0xD6E8FEB86659FD93ull};
      for (; i + 32 <= size; i += 32) {
        for (std::size_t k = 0; k < 4; ++k) lanes[k] = (lanes[k] ^ word_at(bytes + i + 8 * k)) * 0xFF51AFD7ED558CCDull;
      }
      h = lanes[0] ^ std::rotl(lanes[1], 17) ^ std::rotl(lanes[2], 31) ^ std::rotl(lanes[3], 47);
    }
    // Eight bytes at a time; the last eight overlap what came before.
    for (; i + 8 <= size; i += 8) h = (h ^ word_at(bytes + i)) * 0xFF51AFD7ED558CCDull;
    h = (h ^ word_at(bytes + size - 8)) * 0xC4CEB9FE1A85EC53ull;
    return h ^ (h >> 29);
  }

  static std::uint64_t word_at(const unsigned char* bytes) {
    std::uint64_t word;
    std::memcpy(&word, bytes, 8);
    return word;
  }

  void grow() {
    util::PodVector<Slot> old(std::move(slots_));
    slots_.assign(old.empty() ? 64 : 2 * old.size(), Slot{0, 0, 0, 0, 0});
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& s : old) {
      if (s.generation != generation_) continue;
      std::size_t slot = s.hash & mask;
      while (slots_[slot].generation == generation_) slot = (slot + 1) & mask;
      slots_[slot] = s;
    }
  }

  util::PodVector<Slot> slots_;
  std::size_t count_ = 0;
  std::uint64_t generation_ = 1;
  std::uint64_t hash_ = 0;
};

}  // namespace parser
