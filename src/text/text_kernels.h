// The loops of text_runs.h for one vector level as one object: every level
// (plain loops, SSE2, AVX2, NEON) is an implementation of TextKernels, and
// text_runs.cpp picks one once, at first use, and calls through it from
// then on. A level's object is made only in the file compiled for its
// instructions.
#pragma once

#include <cstddef>
#include <cstdint>

#include "text/text_runs.h"

namespace text {

// See text_runs.h for what each function does; these are its forms for one
// level, by the form of text they take (UTF-8, Latin-1, UCS-2, UCS-4).
// Plain function pointers rather than virtual functions: a call through
// the table passes its arguments in the registers the caller got them in,
// and the public functions of text_runs.h are a load and a jump. Every
// table is a constant, shared by every thread.
struct TextKernels {
  SimdLevel level;
  RunScan (*copy_run_utf8)(const char* text, std::size_t from, std::size_t to, char* out, bool want_bits);
  RunScan (*copy_run_latin1)(const std::uint8_t* text, std::size_t from, std::size_t to, std::uint8_t* out,
                             bool want_bits);
  RunScan (*copy_run_ucs2)(const std::uint16_t* text, std::size_t from, std::size_t to, std::uint16_t* out,
                           bool want_bits);
  RunScan (*copy_run_ucs4)(const std::uint32_t* text, std::size_t from, std::size_t to, std::uint32_t* out,
                           bool want_bits);
  std::size_t (*find_unit_ucs2)(const std::uint16_t* text, std::size_t from, std::size_t to, std::uint16_t needle);
  std::size_t (*find_unit_ucs4)(const std::uint32_t* text, std::size_t from, std::size_t to, std::uint32_t needle);
  std::size_t (*skip_ascii)(const char* data, std::size_t from, std::size_t size);
  std::size_t (*utf8_length_latin1)(const std::uint8_t* units, std::size_t n);
  std::size_t (*utf8_length_ucs2)(const std::uint16_t* units, std::size_t n);
  std::size_t (*utf8_length_ucs4)(const std::uint32_t* units, std::size_t n);
  std::size_t (*continuation_words)(const char* data, std::size_t size, std::uint64_t* words, std::size_t* before);
  bool (*has_surrogate_ucs2)(const std::uint16_t* units, std::size_t length);
  bool (*has_surrogate_ucs4)(const std::uint32_t* units, std::size_t length);
};

// Each level's object, or null where this build has no code for it (the
// AVX2 level of an aarch64 build, say). Whether the processor runs it is
// text_runs.cpp's question.
const TextKernels* sse2_kernels();
const TextKernels* avx2_kernels();  // text_runs_avx2.cpp
const TextKernels* neon_kernels();  // text_runs_neon.cpp

}  // namespace text
