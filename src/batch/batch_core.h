// The batch core of tagmire._native: many texts in, flat Arrow-layout
// buffers out, the rows split over native threads. Pure C++; the Python
// glue (package/batch_functions.cpp) only hands rows in and buffers out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "batch/chunk_builder.h"
#include "parser/tag_table.h"
#include "text/encoding.h"

namespace batch {

// One input row. Arrow strings and ASCII `str` objects are UTF-8 already
// (`width` text::kUtf8Width, `length` in bytes); any other `str` arrives as
// the interpreter's own code units (`width` 1, 2 or 4, `length` in units) and
// is encoded by the thread that parses it, so that this work is shared out
// too rather than done up front under the interpreter lock.
struct TextRow {
  const void* data = nullptr;
  std::size_t length = 0;
  std::uint8_t width = text::kUtf8Width;
  bool null = false;
  // Bytes that claim to be UTF-8 but are not known to be (an Arrow array's).
  bool unchecked = false;
};

// What becomes of a row that cannot be parsed: a str holding a lone
// surrogate, bytes that are not UTF-8, a row whose output would pass the
// bound of BatchOptions::max_output_ratio.
enum class ErrorPolicy : std::uint8_t {
  strict,   // the batch stops and names the row
  replace,  // each lone surrogate, each ill-formed stretch of bytes becomes U+FFFD; output past the bound, the
            // row's text alone, with no annotations and no markers
  null,     // the row becomes a null row
};

// Why a row could not be parsed.
enum class RowFault : std::uint8_t {
  not_utf8,        // `at` is the byte offset of its first ill-formed UTF-8
  lone_surrogate,  // `at` is the character index of its first lone surrogate
  too_large,       // `at` is the output's size in bytes, past `limit`
};

struct InvalidRow {
  std::size_t row = 0;
  RowFault fault = RowFault::not_utf8;
  std::size_t at = 0;
  std::size_t limit = 0;
};

struct BatchOptions {
  ErrorPolicy errors = ErrorPolicy::strict;
  OutputForm form = OutputForm::segments;
  // Output bytes allowed per byte of a row's UTF-8 text (a row of less
  // than kSmallestBoundedRow bytes counted as that many); 0 for no bound.
  // Segment annotations repeat each span's annotation over every segment
  // it covers, so that nested spans may ask for memory quadratic in the
  // input: a row is measured before its columns are built.
  std::size_t max_output_ratio = 64;
};

// A string or large_string Arrow array as its buffers: rows [offset,
// offset + length) of `offsets` (int32 or int64), bytes in `data`, and an
// optional validity bitmap (bit i for row i, counted from the array start).
struct ArrowStrings {
  std::int64_t length = 0;
  std::int64_t offset = 0;
  const std::uint8_t* validity = nullptr;  // null: every row is valid
  const void* offsets = nullptr;
  std::size_t offsets_size = 0;            // bytes, for the bounds check
  bool large_offsets = false;              // int64 (large_string) or int32 (string)
  const char* data = nullptr;
  std::size_t data_size = 0;
};

// Appends one TextRow per row of `strings`. False when an offset lies
// outside the buffers or runs backwards: a producer's fault that must not
// become a read out of bounds.
bool append_arrow_rows(const ArrowStrings& strings, std::vector<TextRow>& rows);

struct BatchOutcome {
  // One chunk per row range, in row order; together they hold every row.
  std::vector<OutputChunk> chunks;
  // Under ErrorPolicy::strict, the first row that could not be parsed;
  // when set, `chunks` is incomplete and must be dropped.
  std::optional<InvalidRow> invalid_row;
  // Under ErrorPolicy::null, how many rows became null that way, and under
  // replace, how many rows were replaced by their text alone.
  std::size_t nulled_rows = 0;
  std::size_t plain_rows = 0;
};

// Parses every row under `config` (which the threads share, only reading
// it) into `options.form`, on up to `threads` threads (never more than
// there are rows), each taking one contiguous range of about the same
// number of bytes. The rows' memory must stay unchanged until it returns.
// Throws std::bad_alloc, std::system_error when a thread cannot start, or
// std::length_error past what Arrow's map offsets can index.
BatchOutcome parse_rows(std::span<const TextRow> rows, const parser::PreparedConfig& config, std::size_t threads,
                        const BatchOptions& options = {});

}  // namespace batch
