// The one place that calls the parser and reads its result: one row's text
// in, that row appended to a chunk in the chunk's form, unless its output
// would pass the row's bound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "batch/chunk_builder.h"
#include "parser/parser.h"
#include "parser/tag_table.h"
#include "text/positions.h"
#include "util/pod_vector.h"

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

// What a batch's thread reuses from row to row: its parser and the storage
// each row's records and index take. A thread owns it outright, rather than
// as thread_local objects, whose destruction at a thread's end MinGW's
// runtime orders against the freeing of their storage as it pleases.
struct RowWorkspace {
  parser::Parser<text::Utf8> parser;
  text::PositionMap<char> chars;  // the row's text indexed, rebuilt for each row
  util::PodVector<std::byte> block;
  // The spans in recording order, for the spans form, where they overlap:
  // the parser's own list lasts only as long as its parse.
  util::PodVector<types::CoveringSpan> recorded;
  std::vector<types::AnnotationRef> refs;
};

// Parses UTF-8 `input` under `config`, which every thread shares (it is only
// read), in the thread's `workspace`, and appends the row to `out`, whose
// output is checked against `bound` before any of it is built.
RowOutcome parse_row(std::string_view input, const parser::PreparedConfig& config, RowWorkspace& workspace,
                     ChunkBuilder& out, const RowBound& bound);

}  // namespace batch
