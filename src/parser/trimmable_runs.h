// Finding where trimming stops. Spans are trimmed one by one, and many spans
// may end inside the same long stretch of white space or punctuation; long
// stretches are remembered once walked, so no stretch is walked over and over.
#pragma once

#include <cstddef>
#include <map>
#include <string_view>

namespace parser {

class TrimmableRuns {
 public:
  // First position in [pos, limit) that begins a non-trimmable character of
  // `text`, or `limit`.
  std::size_t skip_forward(std::string_view text, std::size_t pos, std::size_t limit);
  // Last position in (limit, pos] where a non-trimmable character of `text`
  // ends, or `limit`.
  std::size_t skip_backward(std::string_view text, std::size_t pos, std::size_t limit);

 private:
  void remember(std::size_t begin, std::size_t end);

  // Disjoint stretches known to hold only trimmable characters: begin -> end.
  // `text` only ever grows, so what is known stays true.
  std::map<std::size_t, std::size_t> runs_;
};

}  // namespace parser
