// Shared by the property test and the fuzz targets: one way to draw a
// configuration from a source of choices, and the checks every parse result
// must pass. A check returns what is wrong, or an empty string; the property
// test asserts on it and a fuzz target aborts with it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_set>
#include <vector>

#include "parser/parse.h"
#include "parser/stream.h"
#include "text/utf8.h"
#include "types/compact_result.h"
#include "types/parse_result.h"
#include "types/parser_config.h"

namespace tagmire_checks {

// Names generated inputs use, in both cases, plus names no scanned tag can
// ever have (a space, a non-ASCII letter, a leading digit, the empty name).
inline constexpr const char* kNames[] = {"cite", "note", "t", "o", "n", "a", "T", "NOTE",
                                         "x-y",  "x y",  "\xc3\xa9", "1a", ""};
inline constexpr std::size_t kNameCount = sizeof(kNames) / sizeof(kNames[0]);

// A configuration drawn from `choose(n)`, which returns a number in [0, n).
// Zero for every choice leaves the default preset as it is, so a fuzz seed
// whose header is all zero bytes parses under the default.
template <class Choose>
types::ParserConfig draw_config(Choose&& choose) {
  using types::ParserConfig;
  ParserConfig config = ParserConfig::default_llm_friendly_config();
  switch (choose(3)) {
    case 0: break;
    case 1: config = ParserConfig::default_cite_config(); break;
    default: config.recognized_tags.clear(), config.recovery_strategies.clear();
  }
  config.unknown_mode = static_cast<types::UnknownTagMode>((static_cast<int>(config.unknown_mode) + choose(3)) % 3);
  const unsigned flips = static_cast<unsigned>(choose(128));
  config.autoclose_on_any_tag ^= (flips & 1) != 0;
  config.autoclose_on_same_tag ^= (flips & 2) != 0;
  config.trim_punctuation ^= (flips & 4) != 0;
  config.case_sensitive_tags ^= (flips & 8) != 0;
  config.provisional_autoclose ^= (flips & 16) != 0;
  config.retro_line_split ^= (flips & 32) != 0;
  config.token_clusters ^= (flips & 64) != 0;
  for (const char* name : kNames) {
    if (choose(2) != 0) config.recognized_tags.insert(name);
  }
  for (const char* name : kNames) {
    const int strategy = choose(8);  // 1..5: a strategy, else none
    if (strategy >= 1 && strategy <= 5) {
      config.recovery_strategies.set(name, static_cast<types::RecoveryStrategy>(strategy - 1));
    }
  }
  return config;
}

inline bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Whether every byte of `text` belongs to a well-formed character. Kept
// apart from the parser's own decoder on purpose: a check should not reuse
// the code it checks.
inline bool is_valid_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    std::size_t len = b0 < 0x80 ? 1 : b0 >= 0xC2 && b0 <= 0xDF ? 2 : b0 >= 0xE0 && b0 <= 0xEF ? 3
                                : b0 >= 0xF0 && b0 <= 0xF4   ? 4 : 0;
    if (len == 0 || text.size() - i < len) return false;
    char32_t cp = len == 1 ? b0 : b0 & (0x7F >> len);
    for (std::size_t k = 1; k < len; ++k) {
      const auto b = static_cast<unsigned char>(text[i + k]);
      if (!is_continuation(b)) return false;
      cp = (cp << 6) | (b & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += len;
  }
  return true;
}

inline bool on_char_boundary(std::string_view text, std::size_t pos) {
  return pos == text.size() || !is_continuation(static_cast<unsigned char>(text[pos]));
}

inline bool is_name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == ':' || c == '_';
}

inline std::string folded(std::string_view name, const types::ParserConfig& config) {
  std::string key(name);
  if (!config.case_sensitive_tags) {
    for (char& c : key) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  }
  return key;
}

// Everything the Python binding relies on when it turns a result into str
// objects and ints, plus what follows from the rules for any input: the
// output never outgrows the input, and every annotation comes from a
// recognised tag.
inline std::string check_result(const types::ParseResult& result, std::string_view input,
                                const types::ParserConfig& config) {
  const bool utf8 = is_valid_utf8(input);
  const std::string& text = result.text;
  if (text.size() > input.size()) return "the text is longer than the input";
  if (text.empty() && !result.segments.empty()) return "segments of an empty text";
  if (utf8 && !is_valid_utf8(text)) return "the text of valid UTF-8 input is not valid UTF-8";

  std::unordered_set<std::string> recognised;
  for (const std::string& name : config.recognized_tags) recognised.insert(folded(name, config));
  const auto check_annotation = [&](const types::Annotation& annotation) -> std::string {
    const std::string& tag = annotation.tag;
    if (tag.empty() || !((tag[0] | 0x20) >= 'a' && (tag[0] | 0x20) <= 'z')) return "a tag name without a letter first";
    for (char c : tag) {
      if (!is_name_char(c)) return "a tag name with a character that is not a name character";
    }
    if (recognised.count(folded(tag, config)) == 0) return "an annotation from a tag that is not recognised";
    std::unordered_set<std::string_view> keys;
    for (const auto& [key, value] : annotation.attrs) {
      if (key.empty()) return "an empty attribute key";
      for (char c : key) {
        if (!is_name_char(c)) return "an attribute key with a character that is not a name character";
      }
      if (!keys.insert(key).second) return "an attribute key listed twice";
      if (utf8 && value.kind() == types::AttrValue::Kind::Str && !is_valid_utf8(value.as_str())) {
        return "an attribute value of valid UTF-8 input is not valid UTF-8";
      }
    }
    return {};
  };

  std::size_t joined = 0;
  for (const types::Segment& segment : result.segments) {
    if (segment.text.empty()) return "an empty segment";
    if (text.compare(joined, segment.text.size(), segment.text) != 0) return "segments do not join to the text";
    if (utf8 && !on_char_boundary(text, joined)) return "a segment starts inside a character";
    joined += segment.text.size();
    for (const types::Annotation& annotation : segment.annotations) {
      if (std::string wrong = check_annotation(annotation); !wrong.empty()) return wrong;
    }
  }
  if (joined != text.size()) return "segments do not cover the text";

  std::uint64_t previous = 0;
  std::size_t tags = 0;
  for (char c : input) tags += c == '<';
  if (result.markers.size() > tags) return "more markers than `<` in the input";
  for (const types::Marker& marker : result.markers) {
    if (marker.pos < previous) return "marker positions decrease";
    if (marker.pos > text.size()) return "a marker lies past the end of the text";
    if (utf8 && !on_char_boundary(text, marker.pos)) return "a marker lies inside a character";
    if (std::string wrong = check_annotation(marker.annotation); !wrong.empty()) return wrong;
    previous = marker.pos;
  }
  return {};
}

// The records the Python binding keeps and reads without checking: cuts
// that tile the text, and annotations that refer to a tag's name in the
// input (they are read from there).
inline std::string check_records(const types::CompactResult& result, std::string_view input) {
  const types::SegmentTable& segments = result.records.segments();
  const auto names_a_tag = [&](types::AnnotationRef ref) {
    return ref < input.size() && ref > 0 && (input[ref] | 0x20) >= 'a' && (input[ref] | 0x20) <= 'z' &&
           input.find('>', ref) != std::string_view::npos && input.rfind('<', ref) != std::string_view::npos;
  };
  if (result.records.annotation_bytes() != input.data()) return "annotations are not read in the input";
  std::size_t end = 0;
  std::vector<types::AnnotationRef> refs;
  for (std::size_t i = 0; i < segments.size(); ++i) {
    if (segments.start(i) != end || segments.end(i) <= segments.start(i)) return "segment cuts do not tile the text";
    end = segments.end(i);
    refs.clear();
    segments.annotations(i, refs);
    for (const types::AnnotationRef ref : refs) {
      if (!names_a_tag(ref)) return "a segment's annotation does not refer to a tag's name";
    }
  }
  for (const types::MarkerRecord& marker : result.records.markers()) {
    if (!names_a_tag(marker.annotation)) return "a marker's annotation does not refer to a tag's name";
  }
  if (end != result.text_size) return "segment cuts do not cover the text";
  if (result.text_size == 0 && segments.size() != 0) return "segments of an empty text";
  return {};
}

// The code points of valid UTF-8 `text`, as units of a one-unit form, or
// nothing when one does not fit the form.
template <class Unit>
bool code_points(std::string_view text, std::vector<Unit>& units) {
  units.clear();
  for (std::size_t i = 0; i < text.size();) {
    const text::utf8::Decoded d = text::utf8::decode_at(text.data(), text.size(), i);
    if (d.cp > static_cast<char32_t>(static_cast<Unit>(-1))) return false;
    units.push_back(static_cast<Unit>(d.cp));
    i += d.len;
  }
  return true;
}

template <class Unit>
std::string utf8_of(const Unit* units, std::size_t n) {
  if constexpr (std::is_same_v<Unit, char>) {
    return std::string(units, n);  // UTF-8 already
  } else {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) text::utf8::append_encoded(out, static_cast<char32_t>(units[i]));
    return out;
  }
}

// An annotation read back from its stored form, its strings in UTF-8.
template <class Unit>
types::Annotation read_annotation(types::AnnotationReader<Unit> reader) {
  types::Annotation copy{utf8_of(reader.tag().data, reader.tag().size), {}};
  for (std::size_t k = 0; k < reader.attribute_count(); ++k) {
    const auto a = reader.next_attribute();
    copy.attrs.emplace_back(utf8_of(a.key.data, a.key.size),
                            a.has_value ? types::AttrValue::str(utf8_of(a.value.data, a.value.size))
                                        : types::AttrValue::boolean(true));
  }
  return copy;
}

// The result of parsing `units` in `Form`, turned into the UTF-8 records a
// UTF-8 parse gives: positions from characters to bytes, strings encoded.
template <class Form>
types::ParseResult parse_in_form(const std::vector<typename Form::Unit>& units, const types::ParserConfig& config) {
  using Unit = typename Form::Unit;
  const parser::PreparedConfig prepared(config);
  std::vector<Unit> out_units(units.size() + 1);
  parser::OutputBuffer<Unit> out;
  out.data = out_units.data();
  out.capacity = units.size();
  const types::ParseRecords records =
      parser::parse_into(text::TextView<Form>{units.data(), units.size()}, prepared, out);
  // Byte offset of every character position of the text.
  std::vector<std::size_t> byte_at(out.size + 1, 0);
  for (std::size_t i = 0; i < out.size; ++i) {
    byte_at[i + 1] = byte_at[i] + text::utf8::encoded_length(static_cast<char32_t>(out.data[i]));
  }
  const auto annotation = [&](types::AnnotationRef ref) { return read_annotation(records.annotation<Unit>(ref)); };
  types::ParseResult result;
  result.text = utf8_of(out.data, out.size);
  std::vector<types::AnnotationRef> refs;
  for (std::size_t i = 0; i < records.segments().size(); ++i) {
    types::Segment& segment = result.segments.emplace_back();
    segment.text = result.text.substr(byte_at[records.segments().start(i)],
                                      byte_at[records.segments().end(i)] - byte_at[records.segments().start(i)]);
    refs.clear();
    records.segments().annotations(i, refs);
    for (const types::AnnotationRef ref : refs) segment.annotations.push_back(annotation(ref));
  }
  for (const types::MarkerRecord& marker : records.markers()) {
    result.markers.push_back(types::Marker{byte_at[marker.pos], annotation(marker.annotation)});
  }
  return result;
}

// For valid UTF-8 `text`: the same text parsed in every form that can hold
// it gives exactly the UTF-8 parse's result.
inline std::string check_forms(std::string_view text, const types::ParserConfig& config,
                               const types::ParseResult& expected) {
  std::vector<std::uint8_t> latin1;
  std::vector<std::uint16_t> ucs2;
  std::vector<std::uint32_t> ucs4;
  if (code_points(text, latin1) && !(parse_in_form<text::Latin1>(latin1, config) == expected)) {
    return "the one-byte form parses differently from UTF-8";
  }
  if (code_points(text, ucs2) && !(parse_in_form<text::Ucs2>(ucs2, config) == expected)) {
    return "the two-byte form parses differently from UTF-8";
  }
  if (code_points(text, ucs4) && !(parse_in_form<text::Ucs4>(ucs4, config) == expected)) {
    return "the four-byte form parses differently from UTF-8";
  }
  return {};
}

// The settled runs of a stream joined into one result: texts concatenated,
// a run's first segment joined to the one before when it continues it.
// Empty when a continuing segment's annotations differ from the one before.
inline std::string join_runs(const std::vector<parser::SettledText>& runs, types::ParseResult& joined) {
  for (const parser::SettledText& run : runs) {
    if (run.start != joined.text.size()) return "a run does not start where the text before it ends";
    const types::SegmentTable& segments = run.records.segments();
    const auto annotation = [&](types::AnnotationRef ref) {
      return read_annotation(run.records.annotation<char>(ref));
    };
    std::vector<types::AnnotationRef> refs;
    for (std::size_t i = 0; i < segments.size(); ++i) {
      types::Segment segment;
      segment.text = run.text.substr(segments.start(i), segments.end(i) - segments.start(i));
      refs.clear();
      segments.annotations(i, refs);
      for (const types::AnnotationRef ref : refs) segment.annotations.push_back(annotation(ref));
      if (i == 0 && run.continues) {
        if (joined.segments.empty()) return "a run continues nothing";
        if (joined.segments.back().annotations != segment.annotations) return "a continued segment changes annotations";
        joined.segments.back().text += segment.text;
      } else {
        joined.segments.push_back(std::move(segment));
      }
    }
    for (const types::MarkerRecord& marker : run.records.markers()) {
      joined.markers.push_back(types::Marker{run.start + marker.pos, annotation(marker.annotation)});
    }
    joined.text += run.text;
  }
  return {};
}

// An annotation kept as its stored bytes (a preview's), read back.
inline types::Annotation annotation_of(const std::string& bytes) {
  return read_annotation(types::AnnotationReader<char>(bytes.data(), 0));
}

// A preview as a user interface keeps it from the changes it is handed: the
// held-back text's segments (whole-text byte positions) and markers.
struct ShownPreview {
  struct Piece {
    std::size_t start = 0;
    std::size_t end = 0;
    std::string text;
    std::vector<types::Annotation> annotations;
  };
  std::vector<Piece> pieces;
  std::vector<types::Marker> markers;

  // Cuts the piece holding `pos` in two there.
  void cut_at(std::size_t pos) {
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      Piece& piece = pieces[i];
      if (piece.start < pos && pos < piece.end) {
        Piece right = piece;
        right.start = pos;
        right.text = piece.text.substr(pos - piece.start);
        piece.text.resize(pos - piece.start);
        piece.end = pos;
        pieces.insert(pieces.begin() + static_cast<std::ptrdiff_t>(i) + 1, std::move(right));
        return;
      }
    }
  }

  // Text before `settled` is final now, and leaves the preview.
  void drop_before(std::size_t settled) {
    cut_at(settled);
    std::erase_if(pieces, [&](const Piece& piece) { return piece.end <= settled; });
    std::erase_if(markers, [&](const types::Marker& marker) { return marker.pos <= settled; });
  }

  // Replaces what is shown from `run.start` (to its end, or to the end of
  // the preview) with the run's segments.
  std::string replace(const parser::PreviewRun& run, const parser::StreamParser& stream, bool to_end) {
    const std::string text(stream.text_of(run));
    cut_at(run.start);
    cut_at(run.end);
    std::erase_if(pieces, [&](const Piece& piece) { return piece.start >= run.start && (to_end || piece.end <= run.end); });
    auto at = std::find_if(pieces.begin(), pieces.end(), [&](const Piece& piece) { return piece.start >= run.start; });
    std::vector<Piece> added;
    for (const parser::PreviewSegment& segment : run.segments) {
      Piece piece{segment.start, segment.end, text.substr(segment.start - run.start, segment.end - segment.start), {}};
      for (const auto& bytes : segment.coverage.list()) piece.annotations.push_back(annotation_of(*bytes));
      added.push_back(std::move(piece));
    }
    if (run.continues && !added.empty()) {
      if (at == pieces.begin() || std::prev(at)->end != run.start) return "a run continues no piece";
      Piece& before = *std::prev(at);
      if (before.annotations != added.front().annotations) return "a continued piece changes its annotations";
      before.text += added.front().text;
      before.end = added.front().end;
      added.erase(added.begin());
    }
    pieces.insert(at, added.begin(), added.end());
    return {};
  }

  // Applies one change by its documented rule alone; an empty string, or
  // what was wrong with it.
  std::string apply(const parser::PreviewChange& change, const parser::StreamParser& stream) {
    for (const parser::PreviewRun& run : change.revised) {
      if (run.end > change.pending.start) return "a revised run reaches into the pending one";
      if (std::string wrong = replace(run, stream, false); !wrong.empty()) return wrong;
    }
    if (change.unfinished_from == 0) {
      if (std::string wrong = replace(change.pending, stream, true); !wrong.empty()) return wrong;
      std::erase_if(markers, [&](const types::Marker& marker) { return marker.pos >= change.pending.start; });
    }
    for (const parser::PreviewMarker& marker : change.markers) {
      markers.push_back(types::Marker{marker.pos, annotation_of(*marker.annotation)});
    }
    return {};
  }
};

// The preview a stream should show: the one-shot parse of the input it has
// decided, from where its settled text ends.
inline std::string check_preview(const ShownPreview& shown, const types::ParseResult& decided, std::size_t settled) {
  std::vector<ShownPreview::Piece> expected;
  std::size_t at = 0;
  for (const types::Segment& segment : decided.segments) {
    const std::size_t end = at + segment.text.size();
    if (end > settled) {
      const std::size_t from = std::max(at, settled);
      expected.push_back({from, end, segment.text.substr(from - at), segment.annotations});
    }
    at = end;
  }
  if (shown.pieces.size() != expected.size()) return "the preview has another number of segments than the parse";
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const auto& a = shown.pieces[i];
    const auto& b = expected[i];
    if (a.start != b.start || a.end != b.end || a.text != b.text) return "a preview segment's stretch differs";
    if (a.annotations != b.annotations) return "a preview segment's annotations differ";
  }
  std::vector<types::Marker> markers;
  for (const types::Marker& marker : decided.markers) {
    if (marker.pos > settled) markers.push_back(marker);
  }
  if (shown.markers != markers) return "the preview's markers differ from the parse's";
  return {};
}

// `input` fed in pieces ending at `cuts` (increasing), its settled runs
// taken after every piece, and the whole joined: it must equal the
// one-shot parse, and no settled text may come from a later piece than
// the one that completed it. The preview, kept from its changes, must read
// after every piece as the one-shot parse of the input decided so far.
inline std::string check_stream(std::string_view input, const types::ParserConfig& config,
                                const std::vector<std::size_t>& cuts, const types::ParseResult& expected) {
  parser::StreamParser stream(std::make_shared<const parser::PreparedConfig>(config), true);
  std::vector<parser::SettledText> runs;
  ShownPreview shown;
  std::size_t from = 0;
  std::size_t settled = 0;
  for (const std::size_t cut : cuts) {
    stream.feed(input.substr(from, cut - from));
    from = cut;
    runs.push_back(stream.take_settled());
    settled = runs.back().start + runs.back().text.size();
    shown.drop_before(settled);
    if (std::string wrong = shown.apply(stream.take_preview(), stream); !wrong.empty()) return wrong;
    const types::ParseResult decided = parser::parse(input.substr(0, stream.walked()), config);
    if (std::string wrong = check_preview(shown, decided, settled); !wrong.empty()) {
      return wrong + " (after " + std::to_string(cut) + " bytes)";
    }
  }
  stream.feed(input.substr(from));
  stream.close();
  runs.push_back(stream.take_settled());
  for (const parser::PreviewChange& last : {stream.take_preview(), stream.full_preview()}) {
    if (!last.revised.empty() || !last.pending.segments.empty() || !last.markers.empty() ||
        last.held_end != expected.text.size()) {
      return "a closed stream still previews something";
    }
  }
  types::ParseResult joined;
  if (std::string wrong = join_runs(runs, joined); !wrong.empty()) return wrong;
  if (joined.text != expected.text) return "the settled texts differ from the parse's text";
  if (joined.segments != expected.segments) return "the settled segments differ from the parse's segments";
  if (joined.markers != expected.markers) return "the settled markers differ from the parse's markers";
  return {};
}

}  // namespace tagmire_checks
