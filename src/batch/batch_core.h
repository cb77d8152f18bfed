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
// surrogate, bytes that are not UTF-8.
enum class ErrorPolicy : std::uint8_t {
  strict,   // the batch stops and names the row
  replace,  // each lone surrogate, each ill-formed stretch of bytes becomes U+FFFD
  null,     // the row becomes a null row
};

// Why a row could not be parsed, and where: a character index (a lone
// surrogate) or a byte offset (ill-formed UTF-8).
struct InvalidRow {
  std::size_t row = 0;
  bool surrogate = false;
  std::size_t at = 0;
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
  // Under ErrorPolicy::null, how many rows became null that way.
  std::size_t nulled_rows = 0;
};

// Parses every row under `config` (which the threads share, only reading
// it) on up to `threads` threads (never more than there are rows), each
// taking one contiguous range of about the same number of bytes. The rows'
// memory must stay unchanged until it returns. Throws std::bad_alloc, or
// std::system_error when a thread cannot start.
BatchOutcome parse_rows(std::span<const TextRow> rows, const parser::PreparedConfig& config, std::size_t threads,
                        ErrorPolicy errors = ErrorPolicy::strict);

}  // namespace batch
