// The one place that calls the parser and reads its result: one row's text
// in, that row appended to a chunk in the chunk's form, unless its output
// would pass the row's bound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "batch/chunk_builder.h"
#include "parser/tag_table.h"
#include "text/positions.h"

namespace batch {

// No row is held to less than its bound's ratio times this many bytes:
// a short row cannot ask for much, whatever its tags.
inline constexpr std::size_t kSmallestBoundedRow = 1024;

// A row's bound: its output may take `ratio` bytes per byte of its text (0:
// no bound); past it, the row is appended as its text alone where `plain`,
// and not at all otherwise.
struct RowBound {
  std::size_t ratio = 0;
  bool plain = false;
};

struct RowOutcome {
  enum Kind : std::uint8_t {
    parsed,
    plain,     // past the bound, appended as its text alone
    skipped,   // past the bound, nothing appended
  } kind = parsed;
  // Past the bound: about how many bytes the output would take, and the bound.
  std::size_t output_bytes = 0;
  std::size_t limit = 0;
};

// Parses UTF-8 `input` under `config`, which every thread shares (it is only
// read), and appends the row to `out`, whose output is checked against
// `bound` before any of it is built. `chars` is the thread's index of the
// row's text, rebuilt for each row.
RowOutcome parse_row(std::string_view input, const parser::PreparedConfig& config, text::PositionMap<char>& chars,
                     ChunkBuilder& out, const RowBound& bound);

}  // namespace batch
