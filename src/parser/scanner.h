// Reading markup at a `<`: CDATA sections and tags. Neither reader fails: a
// `<` that begins nothing is reported as no tag and stays ordinary text.
// Neither reads the configuration. Positions count code units of the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "parser/name_key.h"
#include "text/classes.h"
#include "text/encoding.h"
#include "text/search.h"

namespace parser {

// "No position yet", wherever a position may be unknown.
inline constexpr std::size_t kNoPosition = static_cast<std::size_t>(-1);

enum class TagKind : std::uint8_t {
  Open = 0,         // <name ...>
  Close = 1,        // </name ...>
  SelfClosing = 2,  // <name .../>
};

// One scanned tag, as positions in the input: it lives only until the
// driver has dispatched it, so nothing of it is copied.
struct TagToken {
  std::size_t begin = 0;       // the `<`
  std::size_t end = 0;         // just after the `>`: the raw text is [begin, end)
  std::size_t name_begin = 0;  // the name as written is [name_begin, name_end)
  std::size_t name_end = 0;
  std::size_t attributes_end = 0;  // the attribute text is [name_end, attributes_end)
  NameKey name_key;                // what the tag table looks the name up by
  TagKind kind = TagKind::Open;
};

// What a `<` begins.
enum class Markup : std::uint8_t {
  kText,       // nothing: the `<` is ordinary text
  kTag,        // a tag, read into the token
  kCdata,      // a CDATA section, whose content follows its kCdataOpen
  kUndecided,  // not known yet: more input may make it a tag or a section
};

// A section starts with exactly "<![CDATA[" and ends at the first "]]>", or
// at the end of the input when there is none.
inline constexpr char kCdataOpen[] = "<![CDATA[";
inline constexpr std::size_t kCdataOpenSize = sizeof kCdataOpen - 1;

// Where the first "]]>" at or after `from` begins, or kNoPosition.
template <class Form>
std::size_t find_cdata_end(const text::TextView<Form>& input, std::size_t from);

// Reads tags at successive `<` positions of one input; their attributes are
// read only when their annotation is (types/tag_attributes.h). It remembers
// where the next `>` lies (or that none is left) and the white space before it, so that
// any number of `<` before one distant `>`, or before none, costs time linear
// in the input.
template <class Form>
class TagScanner {
 public:
  void reset(const text::TextView<Form>& input);
  // The same input, grown at its end: what was found stays true, except that
  // a `>` may now come after the point where none was left.
  void extend(const text::TextView<Form>& input) { input_ = input; }
  // What the `<` at `pos` begins, reading a tag into `token`. `pos` must
  // not be less than in the previous call. With kFinal the input is
  // complete; otherwise a `<` whose meaning depends on input still to come
  // (a tag whose `>` has not arrived, the start of "<![CDATA[") is
  // kUndecided. Almost every `<` is a tag: one unit rules out a section.
  template <bool kFinal>
  Markup markup_at(std::size_t pos, TagToken& token) {
    using Unit = typename Form::Unit;
    if (pos + 1 < input_.size && input_[pos + 1] == text::U<Unit>('!')) {
      const Markup section = cdata_open_at<kFinal>(pos);
      if (section != Markup::kText) return section;
    }
    if (scan(pos, token)) return Markup::kTag;
    // Without its `>` a tag is undecided unless its head already rules it out.
    if (kFinal || find_gt(pos + 1) != kNoPosition || !head_may_grow(pos)) return Markup::kText;
    return Markup::kUndecided;
  }

  // Reads the tag at `pos` into `token`, or returns false when there is
  // none. `pos` must hold a `<` and must not be less than in the previous
  // call. Nearly every tag starts `<name` or `</name`: the name is read at
  // once and the `>` looked for only after it (a name holds none), here,
  // where the parser's walk can inline it; anything else takes the general
  // path.
  bool scan(std::size_t pos, TagToken& token) {
    using Unit = typename Form::Unit;
    std::size_t name_begin = pos + 1;
    TagKind kind = TagKind::Open;
    NameKey key;
    std::size_t name_end = 0;
    if (pos == unfinished_.lt) {
      // The name ran to the end of the input last time: it goes on from there.
      name_begin = unfinished_.name_begin;
      name_end = unfinished_.name_end;
      key = unfinished_.key;
      kind = unfinished_.kind;
    } else {
      if (name_begin < input_.size && input_[name_begin] == text::U<Unit>('/')) {
        kind = TagKind::Close;
        ++name_begin;
      }
      if (name_begin >= input_.size) return false;
      const std::uint32_t first = text::code_of(input_[name_begin]);
      if (first >= 0x80 || !text::is_ascii_letter(first)) return scan_spaced(pos, token);
      key.add(first, 0);
      name_end = name_begin + 1;
    }
    for (; name_end < input_.size; ++name_end) {
      const std::uint32_t c = text::code_of(input_[name_end]);
      if (c >= 0x80 || !text::is_name_char(c)) break;
      key.add(c, name_end - name_begin);
    }
    if (name_end == input_.size) {
      // No `>` yet. A stream asks about this `<` again after each piece,
      // and rereading a long name each time would make it quadratic.
      unfinished_ = UnfinishedName{pos, name_begin, name_end, key, kind};
      return false;
    }
    std::size_t gt = name_end;
    if (name_end >= input_.size || input_[name_end] != text::U<Unit>('>')) {
      gt = find_gt(name_end);
      if (gt == kNoPosition) return false;
    }
    token = TagToken{pos, gt + 1, name_begin, name_end, name_end, key, kind};
    if (kind != TagKind::Close) find_attributes_end(token);
    return true;
  }

 private:
  template <bool kFinal>
  Markup cdata_open_at(std::size_t pos) const;
  // Whether the text after the `<` at `pos`, which has no `>` after it, may
  // still become a tag's head: white space, an optional `/` and white space,
  // then an ASCII letter or the end of the input so far.
  bool head_may_grow(std::size_t pos);

  std::size_t find_gt(std::size_t from) {
    if (gt_ != kNoPosition && gt_ >= from) return gt_;
    return search_gt(from);
  }
  std::size_t search_gt(std::size_t from);
  std::size_t inner_end(std::size_t gt);
  bool scan_spaced(std::size_t pos, TagToken& token);
  // For an opening tag: where its attribute text ends, and whether a `/`
  // there makes it self-closing.
  void find_attributes_end(TagToken& token) {
    using Unit = typename Form::Unit;
    const std::size_t gt = token.end - 1;
    // The inner text ends before the white space that precedes the `>`.
    const std::uint32_t before = text::code_of(input_[gt - 1]);
    std::size_t end = before < 0x80 && !text::is_ascii_white_space(before) ? gt : inner_end(gt);
    if (input_[end - 1] == text::U<Unit>('/')) {
      token.kind = TagKind::SelfClosing;
      end = text::skip_white_space_back(input_, end - 1, token.name_begin + 1);
    }
    token.attributes_end = end;
  }
  // A tag name read up to the end of the input, as far as it went.
  struct UnfinishedName {
    std::size_t lt = kNoPosition;  // its `<`
    std::size_t name_begin = 0;
    std::size_t name_end = 0;
    NameKey key;
    TagKind kind = TagKind::Open;
  };

  text::TextView<Form> input_;
  UnfinishedName unfinished_;
  std::size_t gt_ = kNoPosition;  // the `>` found by the last search
  // [none_from_, none_to_) is known to hold no `>`: the last search found
  // none up to the end of the input as it then was.
  std::size_t none_from_ = kNoPosition;
  std::size_t none_to_ = 0;
  std::size_t inner_end_gt_ = kNoPosition;  // the `>` that `inner_end_` belongs to
  std::size_t inner_end_ = 0;         // where the white space before that `>` begins
  // The `<` head_may_grow last looked at, and how far: its head is white
  // space (and a `/` when head_slash_) up to head_at_.
  std::size_t head_lt_ = kNoPosition;
  std::size_t head_at_ = 0;
  bool head_slash_ = false;
};

}  // namespace parser
