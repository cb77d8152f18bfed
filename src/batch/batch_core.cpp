#include "batch/batch_core.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

#include "batch/joined_threads.h"
#include "batch/row_parser.h"
#include "text/platform.h"
#include "text/transcode.h"
#include "text/utf8_validate.h"

namespace batch {

namespace {

std::size_t input_bytes(const TextRow& row) { return row.length * std::max<std::size_t>(row.width, 1); }

// Reserves what a chunk of `units` input code units over `rows` rows is
// sure to need, so the largest buffers do not grow by doubling. The text
// takes about a byte a unit: rarely more (non-ASCII wide text grows it).
// Reserving the wide forms' whole size instead asked four times the memory
// of 4-byte rows: a block too large to be kept for the next batch.
void reserve(OutputChunk& chunk, std::size_t rows, std::size_t units) {
  chunk.row_validity.reserve(rows);
  chunk.text.offsets.reserve_more(rows + 1);
  chunk.text.data.reserve_more(units);
  (chunk.form == OutputForm::spans ? chunk.span_offsets : chunk.segment_offsets).reserve_more(rows + 1);
  chunk.marker_offsets.reserve_more(rows + 1);
}

// Asks for a row's first bytes ahead of its turn. The rows of a list of str
// are objects of their own, scattered over the heap, where the processor's
// prefetcher, which follows one stream within a page, starts again at each
// row and waits on memory. Fetching the next row while this one is parsed
// took a batch of 100,000 rows of 4-byte str (4 KB each) on one thread from
// 183 to 159 ms. Always inlined: as a call, GCC found the function free of
// effects and dropped it.
TAGMIRE_ALWAYS_INLINE void prefetch(const TextRow& row) {
  constexpr std::size_t kAhead = std::size_t{16} << 10;
  constexpr std::size_t kLine = 64;
  const auto* bytes = static_cast<const char*>(row.data);
  const std::size_t n = std::min(input_bytes(row), kAhead);
  for (std::size_t k = 0; k < n; k += kLine) TAGMIRE_PREFETCH(bytes + k);
}

struct RangeResult {
  OutputChunk chunk;
  std::optional<InvalidRow> invalid_row;
  std::size_t nulled_rows = 0;
  std::size_t plain_rows = 0;
  std::exception_ptr error;
};

// Where a row's text cannot be parsed: the character index of its first
// lone surrogate, or the byte offset of its first ill-formed UTF-8.
std::optional<InvalidRow> find_invalid(const TextRow& row, std::size_t index) {
  if (row.width == text::kUtf8Width) {
    const std::size_t at = text::utf8::first_invalid(static_cast<const char*>(row.data), row.length);
    if (at == row.length) return std::nullopt;
    return InvalidRow{index, RowFault::not_utf8, at};
  }
  for (std::size_t i = 0; i < row.length; ++i) {
    const std::uint32_t unit = row.width == 2 ? static_cast<const std::uint16_t*>(row.data)[i]
                                              : static_cast<const std::uint32_t*>(row.data)[i];
    if (unit >= 0xD800 && unit <= 0xDFFF) return InvalidRow{index, RowFault::lone_surrogate, i};
  }
  return std::nullopt;
}

void parse_range(std::span<const TextRow> rows, std::size_t first, const parser::PreparedConfig& config,
                 const BatchOptions& options, RangeResult& result) noexcept {
  const ErrorPolicy errors = options.errors;
  const RowBound bound{options.max_output_ratio, errors == ErrorPolicy::replace};
  try {
    result.chunk.form = options.form;
    std::size_t units = 0;
    for (const TextRow& row : rows) units += row.length;
    reserve(result.chunk, rows.size(), units);
    ChunkBuilder builder(result.chunk);
    std::string scratch;
    std::string repaired;
    // On the heap: a parser's workspace is large for a thread's stack.
    const auto workspace = std::make_unique<RowWorkspace>();
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const TextRow& row = rows[i];
      if (i + 1 < rows.size()) prefetch(rows[i + 1]);
      if (row.null) {
        builder.null_row();
        continue;
      }
      std::string_view text;
      // `scratch` only grows, so a thread allocates it a few times at most.
      bool valid = text::utf8_of(row.data, row.width, row.length, scratch, &text);
      if (valid && row.unchecked) valid = text::utf8::first_invalid(text.data(), text.size()) == text.size();
      if (!valid) {
        switch (errors) {
          case ErrorPolicy::strict:
            result.invalid_row = find_invalid(row, first + i);
            return;
          case ErrorPolicy::null:
            builder.null_row();
            ++result.nulled_rows;
            continue;
          case ErrorPolicy::replace:
            if (row.width == text::kUtf8Width) {
              repaired.clear();
              text::utf8::append_replacing_invalid(repaired, static_cast<const char*>(row.data), row.length);
              text = repaired;
            } else {
              text::utf8_of(row.data, row.width, row.length, scratch, &text, true);
            }
            break;
        }
      }
      const RowOutcome outcome = parse_row(text, config, *workspace, builder, bound);
      if (outcome.kind == RowOutcome::plain) {
        ++result.plain_rows;
      } else if (outcome.kind == RowOutcome::skipped) {
        if (errors == ErrorPolicy::strict) {
          result.invalid_row = InvalidRow{first + i, RowFault::too_large, outcome.output_bytes, outcome.limit};
          return;
        }
        builder.null_row();
        ++result.nulled_rows;
      }
    }
  } catch (...) {
    // Handed to the calling thread, which rethrows it after every join.
    result.error = std::current_exception();
  }
}

// Cuts [0, rows.size()) into at most `parts` contiguous ranges of about the
// same number of input bytes (plus a little per row, so that many empty
// rows still count). Returns the range ends.
std::vector<std::size_t> range_ends(std::span<const TextRow> rows, std::size_t parts) {
  constexpr std::size_t kRowWeight = 32;
  std::size_t total = 0;
  for (const TextRow& row : rows) total += input_bytes(row) + kRowWeight;
  std::vector<std::size_t> ends;
  std::size_t seen = 0;
  for (std::size_t i = 0; i < rows.size() && ends.size() + 1 < parts; ++i) {
    seen += input_bytes(rows[i]) + kRowWeight;
    // Ends range k once it holds k/parts of the weight (in integers: no
    // floating point, no overflow for any realistic total).
    if (seen * parts >= total * (ends.size() + 1)) ends.push_back(i + 1);
  }
  if (ends.empty() || ends.back() != rows.size()) ends.push_back(rows.size());
  return ends;
}

}  // namespace

bool append_arrow_rows(const ArrowStrings& strings, std::vector<TextRow>& rows) {
  if (strings.length < 0 || strings.offset < 0) return false;
  const auto width = static_cast<std::size_t>(strings.large_offsets ? 8 : 4);
  const auto first = static_cast<std::size_t>(strings.offset);
  const auto length = static_cast<std::size_t>(strings.length);
  if (length == 0) return true;
  if (strings.offsets == nullptr || strings.offsets_size / width < first + length + 1) return false;
  auto offset_at = [&](std::size_t i) -> std::int64_t {
    return strings.large_offsets ? static_cast<const std::int64_t*>(strings.offsets)[i]
                                 : static_cast<const std::int32_t*>(strings.offsets)[i];
  };
  rows.reserve(rows.size() + length);
  std::int64_t start = offset_at(first);
  if (start < 0) return false;
  for (std::size_t i = 0; i < length; ++i) {
    const std::size_t bit = first + i;
    const std::int64_t end = offset_at(bit + 1);
    if (end < start || static_cast<std::uint64_t>(end) > strings.data_size) return false;
    TextRow row;
    row.null = strings.validity != nullptr && (strings.validity[bit / 8] & (1u << (bit % 8))) == 0;
    if (!row.null) {
      row.data = strings.data + start;
      row.length = static_cast<std::size_t>(end - start);
      row.unchecked = true;
    }
    rows.push_back(row);
    start = end;
  }
  return true;
}

BatchOutcome parse_rows(std::span<const TextRow> rows, const parser::PreparedConfig& prepared, std::size_t threads,
                        const BatchOptions& options) {
  BatchOutcome outcome;
  if (rows.empty()) return outcome;
  const std::vector<std::size_t> ends = range_ends(rows, std::clamp<std::size_t>(threads, 1, rows.size()));
  std::vector<RangeResult> results(ends.size());
  auto range = [&](std::size_t k) {
    const std::size_t begin = k == 0 ? 0 : ends[k - 1];
    return std::pair(rows.subspan(begin, ends[k] - begin), begin);
  };
  {
    // The calling thread takes the first range itself.
    JoinedThreads workers;
    workers.reserve(ends.size() - 1);
    for (std::size_t k = 1; k < ends.size(); ++k) {
      workers.start([&, k] {
        const auto [part, begin] = range(k);
        parse_range(part, begin, prepared, options, results[k]);
      });
    }
    const auto [part, begin] = range(0);
    parse_range(part, begin, prepared, options, results[0]);
  }
  for (RangeResult& result : results) {
    if (result.error) std::rethrow_exception(result.error);
  }
  for (RangeResult& result : results) {
    if (result.invalid_row) {
      outcome.invalid_row = result.invalid_row;
      return outcome;
    }
    outcome.nulled_rows += result.nulled_rows;
    outcome.plain_rows += result.plain_rows;
  }
  outcome.chunks.reserve(results.size());
  for (RangeResult& result : results) outcome.chunks.push_back(std::move(result.chunk));
  return outcome;
}

}  // namespace batch
