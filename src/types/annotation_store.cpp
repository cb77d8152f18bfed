#include "types/annotation_store.h"

namespace types {

namespace {

// A hash of a run of bytes, eight at a time.
std::uint64_t hash_bytes(const char* bytes, std::size_t n) {
  std::uint64_t h = 0x9E3779B97F4A7C15ull ^ n;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes + i, 8);
    h = (h ^ word) * 0xFF51AFD7ED558CCDull;
    h ^= h >> 32;
  }
  std::uint64_t tail = 0;
  std::memcpy(&tail, bytes + i, n - i);
  h = (h ^ tail) * 0xC4CEB9FE1A85EC53ull;
  return h ^ (h >> 29);
}

}  // namespace

AnnotationRef AnnotationWriter::end(AnnotationRef ref) {
  const std::size_t n = bytes_.size() - ref;
  const char* written = bytes_.data() + ref;
  const std::uint64_t hash = hash_bytes(written, n);
  if (2 * (distinct_ + 1) > slots_.size()) grow_slots();
  const std::size_t mask = slots_.size() - 1;
  std::size_t slot = hash & mask;
  for (; slots_[slot].ref != 0; slot = (slot + 1) & mask) {
    if (slots_[slot].hash != hash || slots_[slot].length != n) continue;
    const AnnotationRef earlier = slots_[slot].ref - 1;
    // Equal bytes read from the same alignment are the same annotation.
    if (earlier % 8 == ref % 8 && std::memcmp(bytes_.data() + earlier, written, n) == 0) {
      bytes_.resize_uninitialised(ref);
      return earlier;
    }
  }
  slots_[slot] = Slot{hash, ref + 1, n};
  ++distinct_;
  return ref;
}

void AnnotationWriter::grow_slots() {
  PodVector<Slot> old;
  std::swap(old, slots_);
  slots_.assign(old.size() < 64 ? 64 : 2 * old.size(), Slot{0, 0, 0});
  const std::size_t mask = slots_.size() - 1;
  for (const Slot& s : old) {
    if (s.ref == 0) continue;
    std::size_t slot = s.hash & mask;
    while (slots_[slot].ref != 0) slot = (slot + 1) & mask;
    slots_[slot] = s;
  }
}

void AnnotationWriter::clear() {
  bytes_.clear();
  for (Slot& s : slots_) s = Slot{0, 0, 0};
  distinct_ = 0;
}

void AnnotationWriter::release() {
  bytes_.release();
  slots_.release();
  distinct_ = 0;
}

}  // namespace types
