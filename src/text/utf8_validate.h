// Checking bytes that claim to be UTF-8 (Arrow string arrays promise it but
// nothing enforces it), and repairing them as Python's
// `bytes.decode("utf-8", errors="replace")` does: every maximal ill-formed
// subsequence becomes one U+FFFD. ASCII stretches are skipped by the vector
// loops of text_runs.h (32 bytes a step with AVX2).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "text/text_runs.h"

namespace text::utf8 {

// The length of the well-formed character at `pos` (1 to 4), or 0 when the
// bytes there begin no well-formed character. `*bad` is then set to the
// length of the maximal ill-formed subsequence there (at least 1).
inline std::size_t well_formed_at(const unsigned char* s, std::size_t size, std::size_t pos, std::size_t* bad) {
  const unsigned char b0 = s[pos];
  if (b0 < 0x80) return 1;
  std::size_t len = 0;
  unsigned char lo = 0x80;  // the range the second byte must lie in
  unsigned char hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    if (b0 == 0xE0) lo = 0xA0;  // no overlong forms
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    if (b0 == 0xF0) lo = 0x90;  // no overlong forms
    if (b0 == 0xF4) hi = 0x8F;  // nothing past U+10FFFF
  } else {
    *bad = 1;
    return 0;
  }
  for (std::size_t i = 1; i < len; ++i) {
    const unsigned char first_lo = i == 1 ? lo : 0x80;
    const unsigned char first_hi = i == 1 ? hi : 0xBF;
    if (pos + i >= size || s[pos + i] < first_lo || s[pos + i] > first_hi) {
      *bad = i;  // the lead and the continuation bytes that fit
      return 0;
    }
  }
  return len;
}

// Where the first ill-formed byte of `data` lies, or `size` when all of it
// is well-formed UTF-8.
inline std::size_t first_invalid(const char* data, std::size_t size) {
  const auto* s = reinterpret_cast<const unsigned char*>(data);
  std::size_t pos = 0;
  while (pos < size) {
    pos = skip_ascii(data, pos, size);
    // Then character by character while they are not ASCII: text that
    // mixes scripts goes back to the vectors at its next ASCII byte.
    while (pos < size && s[pos] >= 0x80) {
      std::size_t bad = 0;
      const std::size_t len = well_formed_at(s, size, pos, &bad);
      if (len == 0) return pos;
      pos += len;
    }
  }
  return size;
}

// Appends `data` to `out` with every maximal ill-formed subsequence
// replaced by U+FFFD.
inline void append_replacing_invalid(std::string& out, const char* data, std::size_t size) {
  const auto* s = reinterpret_cast<const unsigned char*>(data);
  std::size_t pos = 0;
  std::size_t copied = 0;
  while (pos < size) {
    std::size_t bad = 0;
    const std::size_t len = well_formed_at(s, size, pos, &bad);
    if (len != 0) {
      pos += len;
      continue;
    }
    out.append(data + copied, pos - copied);
    out += "\xEF\xBF\xBD";
    pos += bad;
    copied = pos;
  }
  out.append(data + copied, size - copied);
}

}  // namespace text::utf8
