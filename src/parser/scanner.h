// Reading markup at a `<`: CDATA sections and tags. Neither reader fails: a
// `<` that begins nothing is reported as no tag and stays ordinary text.
// Positions and lengths are byte offsets into the UTF-8 input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "types/annotation.h"

namespace parser {

enum class TagKind : std::uint8_t {
  Open = 0,         // <name ...>
  Close = 1,        // </name ...>
  SelfClosing = 2,  // <name .../>
};

// One scanned tag. It lives only until the driver has dispatched it, so its
// raw text and name are views into the input rather than copies.
struct TagToken {
  std::string_view raw;   // from `<` through `>`, exactly as written
  std::string_view name;  // as written
  std::string key;        // `name` ASCII-folded unless tags are case-sensitive
  types::AttrMap attrs;   // always empty for a Close tag
  TagKind kind = TagKind::Open;
};

struct ScannedTag {
  TagToken token;
  std::size_t length = 0;  // bytes of `raw`; the walk resumes after them
};

struct CdataSection {
  std::size_t content_begin = 0;
  std::size_t content_end = 0;
  std::size_t next = 0;  // just after `]]>`, or the end of an unterminated section
};

// A section starts with exactly "<![CDATA[" and ends at the first "]]>", or at
// the end of the input when there is none.
std::optional<CdataSection> scan_cdata(std::string_view input, std::size_t pos);

// Reads tags at successive `<` positions of one input. It remembers where the
// next `>` lies (or that none is left) and the white space before it, so that
// any number of `<` before one distant `>`, or before none, costs time linear
// in the input.
class TagScanner {
 public:
  TagScanner(std::string_view input, bool case_sensitive_tags)
      : input_(input), case_sensitive_tags_(case_sensitive_tags) {}

  // `pos` must hold a `<` and must not be less than in the previous call.
  std::optional<ScannedTag> scan(std::size_t pos);

 private:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  std::size_t find_gt(std::size_t from);
  std::size_t inner_end(std::size_t gt);

  std::string_view input_;
  bool case_sensitive_tags_;
  std::size_t gt_ = kNone;       // the `>` found by the last search
  bool gt_exhausted_ = false;    // no `>` after the last search's start
  std::size_t inner_end_gt_ = kNone;  // the `>` that `inner_end_` belongs to
  std::size_t inner_end_ = 0;    // where the white space before that `>` begins
};

// One tag at `pos` (which holds a `<`), or nothing.
std::optional<ScannedTag> scan_tag(std::string_view input, std::size_t pos,
                                   bool case_sensitive_tags);

}  // namespace parser
