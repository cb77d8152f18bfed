// Finding where trimming stops. Spans are trimmed one by one, and many spans
// may end inside the same long stretch of white space or punctuation; long
// stretches are remembered once walked, so no stretch is walked over and over.
#pragma once

#include <cstddef>
#include <map>

#include "text/encoding.h"

namespace parser {

class TrimmableRuns {
 public:
  // First position in [pos, limit) that begins a non-trimmable character of
  // `content`, or `limit`.
  template <class Form>
  std::size_t skip_forward(const text::TextView<Form>& content, std::size_t pos, std::size_t limit);
  // Last position in (limit, pos] where a non-trimmable character of `text`
  // ends, or `limit`.
  template <class Form>
  std::size_t skip_backward(const text::TextView<Form>& content, std::size_t pos, std::size_t limit);

  void clear() { runs_.clear(); }
  // Forgets stretches before `pos` and moves the rest down by `pos`.
  void drop_before(std::size_t pos);

 private:
  void remember(std::size_t begin, std::size_t end);

  // Disjoint stretches known to hold only trimmable characters: begin -> end.
  // The text only ever grows, so what is known stays true.
  std::map<std::size_t, std::size_t> runs_;
};

}  // namespace parser
