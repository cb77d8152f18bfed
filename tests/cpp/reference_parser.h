// A deliberately plain parser for cross-checking: every rule written out the
// obvious way (search the stack, search the text, scan every span for every
// segment), with none of the bookkeeping that keeps the real one linear on
// hostile input. Only for small generated inputs.
#pragma once

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "text/classes.h"
#include "text/utf8.h"
#include "types/parse_result.h"
#include "types/parser_config.h"

namespace reference {

using namespace types;
inline bool is_ascii_letter(char c) { return text::is_ascii_letter(static_cast<unsigned char>(c)); }
inline bool is_name_char(char c) { return text::is_name_unit(c); }
inline text::TextView<text::Utf8> view(std::string_view s) { return {s.data(), s.size()}; }
inline text::utf8::Decoded decode_at(std::string_view s, std::size_t i) { return text::utf8::decode_at(s.data(), s.size(), i); }
inline text::utf8::Decoded decode_before(std::string_view s, std::size_t i) {
  return text::utf8::decode_before(s.data(), s.size(), i);
}

inline std::size_t ws_at(std::string_view s, std::size_t i) { return text::white_space_len_at(view(s), i); }

inline std::string_view trim_start(std::string_view s) {
  while (!s.empty() && ws_at(s, 0)) s.remove_prefix(ws_at(s, 0));
  return s;
}

inline std::string_view trim_end(std::string_view s) {
  while (!s.empty() && text::white_space_len_before(view(s), s.size())) {
    s.remove_suffix(text::white_space_len_before(view(s), s.size()));
  }
  return s;
}

struct Token {
  std::string raw, name, key;
  AttrMap attrs;
  int kind;  // 0 open, 1 close, 2 self-closing
};

inline void put(AttrMap& attrs, std::string key, AttrValue value) {
  for (auto& [k, v] : attrs) {
    if (k == key) {
      v = std::move(value);
      return;
    }
  }
  attrs.emplace_back(std::move(key), std::move(value));
}

inline AttrMap attributes(std::string_view rest) {
  AttrMap attrs;
  while (true) {
    rest = trim_start(rest);
    std::size_t k = 0;
    while (k < rest.size() && is_name_char(rest[k])) ++k;
    if (k == 0) return attrs;
    std::string key(rest.substr(0, k));
    rest = trim_start(rest.substr(k));
    if (rest.empty() || rest[0] != '=') {
      put(attrs, key, AttrValue::boolean(true));
      continue;
    }
    rest = trim_start(rest.substr(1));
    if (rest.empty()) {
      put(attrs, key, AttrValue::boolean(true));
    } else if (rest[0] == '"' || rest[0] == '\'') {
      const std::size_t q = rest.find(rest[0], 1);
      if (q == std::string_view::npos) {
        put(attrs, key, AttrValue::str(std::string(rest.substr(1))));
        rest = {};
      } else {
        put(attrs, key, AttrValue::str(std::string(rest.substr(1, q - 1))));
        rest = rest.substr(q + 1);
      }
    } else {
      std::size_t v = 0;
      while (v < rest.size() && rest[v] != '/' && rest[v] != '>' && !ws_at(rest, v)) {
        v += decode_at(rest, v).len;
      }
      if (v == 0) v = rest.size();
      put(attrs, key, AttrValue::str(std::string(rest.substr(0, v))));
      rest = rest.substr(v);
    }
  }
}

inline std::optional<Token> scan(std::string_view in, std::size_t pos, bool case_sensitive) {
  const std::size_t gt = in.find('>', pos + 1);
  if (gt == std::string_view::npos || gt - pos < 2) return std::nullopt;
  Token t;
  t.raw = std::string(in.substr(pos, gt - pos + 1));
  std::string_view inner = trim_end(trim_start(in.substr(pos + 1, gt - pos - 1)));
  t.kind = 0;
  if (!inner.empty() && inner[0] == '/') {
    t.kind = 1;
    inner = trim_start(inner.substr(1));
  } else if (!inner.empty() && inner.back() == '/') {
    t.kind = 2;
    inner = trim_end(inner.substr(0, inner.size() - 1));
  }
  if (inner.empty() || !is_ascii_letter(inner[0])) return std::nullopt;
  std::size_t n = 0;
  while (n < inner.size() && is_name_char(inner[n])) ++n;
  t.name = std::string(inner.substr(0, n));
  t.key = case_sensitive ? t.name : text::fold_ascii(t.name);
  if (t.kind != 1) t.attrs = attributes(inner.substr(n));
  return t;
}

struct Open {
  std::string name, key;
  AttrMap attrs;
  std::size_t start, line_start;
  RecoveryStrategy strategy;
  std::optional<std::size_t> provisional_end;  // auto-closed here, unless its closing tag comes first
};

struct SpanEntry {
  std::size_t start, end;
  Annotation annotation;
};

struct Reference {
  const ParserConfig& config;
  std::set<std::string> recognized;
  std::map<std::string, RecoveryStrategy> strategies;
  std::string out;
  std::vector<Marker> markers;
  std::vector<SpanEntry> spans;
  std::vector<Open> stack;
  std::size_t line_start = 0;
  std::size_t last_retro_or_marker = 0;

  static bool alnum(char32_t c) { return text::unicode::is_alphanumeric(c); }
  bool in_token(char32_t c) const {
    return alnum(c) || (config.token_clusters && text::unicode::continues_cluster(c));
  }
  bool provisional() const { return config.provisional_autoclose && config.autoclose_on_any_tag; }

  static bool blank_line(std::string_view line) {
    return std::all_of(line.begin(), line.end(), [](char c) { return c != '\n' && text::is_ascii_white_space(c); });
  }
  static bool trimmable(char32_t c) { return text::is_trimmable(c); }

  void append(std::string_view piece) {
    const std::size_t before = out.size();
    for (std::size_t i = 0; i < piece.size(); ++i) {
      if (piece[i] == '\n') line_start = out.size() + i + 1;
    }
    out.append(piece);
    if (!provisional()) return;
    // A paragraph that ends in this piece (a blank line between two line
    // feeds) ends every provisional close.
    for (std::size_t q = out.find('\n', before); q != std::string::npos; q = out.find('\n', q + 1)) {
      const std::size_t previous = q == 0 ? std::string::npos : out.rfind('\n', q - 1);
      if (previous != std::string::npos && blank_line(std::string_view(out).substr(previous + 1, q - previous - 1))) {
        expire();
        return;
      }
    }
  }

  void expire() {
    std::optional<Open> kept;
    if (!stack.empty() && !stack.back().provisional_end) {
      kept = stack.back();
      stack.pop_back();
    }
    while (!stack.empty()) {
      Open t = stack.back();
      stack.pop_back();
      close_tag(t, out.size());
    }
    if (kept) stack.push_back(*kept);
  }

  std::pair<std::size_t, std::size_t> trim(std::size_t s, std::size_t e) const {
    if (s >= e || !config.trim_punctuation) return {s, e};
    while (s < e && trimmable(decode_at(out, s).cp)) s += decode_at(out, s).len;
    while (e > s && trimmable(decode_before(out, e).cp)) e -= decode_before(out, e).len;
    return {s, e};
  }

  void close_explicit(Open t, std::size_t end) {
    if (t.start < end) spans.push_back({t.start, end, {t.name, t.attrs}});
  }

  void close_tag(Open t, std::size_t pos) {
    if (t.provisional_end) pos = *t.provisional_end;
    std::size_t s = 0, e = 0;
    switch (t.strategy) {
      case RecoveryStrategy::retro_line: s = t.line_start, e = t.start; break;
      case RecoveryStrategy::forward_until_tag:
      case RecoveryStrategy::forward_until_newline: {
        const std::size_t n = out.find('\n', t.start);
        s = t.start, e = (n != std::string::npos && n < pos) ? n : pos;
        break;
      }
      case RecoveryStrategy::forward_next_token: {
        std::size_t i = t.start;
        while (i < pos && !alnum(decode_at(out, i).cp)) i += decode_at(out, i).len;
        if (i >= pos) return;
        s = i;
        while (i < pos && in_token(decode_at(out, i).cp)) i += decode_at(out, i).len;
        e = i;
        break;
      }
      case RecoveryStrategy::noop: return;
    }
    auto [ts, te] = trim(s, e);
    if (ts < te) spans.push_back({ts, te, {t.name, t.attrs}});
  }

  void close_down_to(std::size_t i) {
    while (stack.size() > i + 1) {
      Open t = stack.back();
      stack.pop_back();
      close_tag(t, out.size());
    }
    Open t = stack.back();
    stack.pop_back();
    close_explicit(t, out.size());
  }

  std::optional<std::size_t> topmost(const std::string& key) const {
    for (std::size_t i = stack.size(); i-- > 0;) {
      if (stack[i].key == key) return i;
    }
    return std::nullopt;
  }

  void autoclose(const std::string& key) {
    if (config.autoclose_on_same_tag) {
      if (auto i = topmost(key)) close_down_to(*i);
    }
    if (provisional()) {
      for (Open& t : stack) {
        if (!t.provisional_end) t.provisional_end = out.size();
      }
    } else if (config.autoclose_on_any_tag) {
      while (!stack.empty()) {
        Open t = stack.back();
        stack.pop_back();
        close_tag(t, out.size());
      }
    }
  }

  ParseResult run(std::string_view in) {
    const auto fold = [&](const std::string& s) { return config.case_sensitive_tags ? s : text::fold_ascii(s); };
    for (const auto& n : config.recognized_tags) recognized.insert(fold(n));
    config.recovery_strategies.for_each([&](const std::string& n, RecoveryStrategy s) { strategies[fold(n)] = s; });
    std::size_t pos = 0;
    while (pos < in.size()) {
      if (in.compare(pos, 9, "<![CDATA[") == 0) {
        const std::size_t q = in.find("]]>", pos + 9);
        const std::size_t end = q == std::string_view::npos ? in.size() : q;
        append(in.substr(pos + 9, end - pos - 9));
        pos = q == std::string_view::npos ? in.size() : q + 3;
        continue;
      }
      if (in[pos] == '<') {
        if (auto t = scan(in, pos, config.case_sensitive_tags)) {
          pos += t->raw.size();
          if (!recognized.count(t->key)) {
            if (config.unknown_mode != UnknownTagMode::strip) append(t->raw);
          } else if (t->kind == 0) {
            autoclose(t->key);
            auto it = strategies.find(t->key);
            const RecoveryStrategy strategy = it == strategies.end() ? RecoveryStrategy::retro_line : it->second;
            const std::size_t reach = config.retro_line_split ? std::max(line_start, last_retro_or_marker) : line_start;
            stack.push_back({t->name, t->key, t->attrs, out.size(), reach, strategy, std::nullopt});
            if (strategy == RecoveryStrategy::retro_line) last_retro_or_marker = out.size();
          } else if (t->kind == 2) {
            autoclose(t->key);
            markers.push_back({out.size(), {t->name, t->attrs}});
            last_retro_or_marker = out.size();
          } else if (auto i = topmost(t->key)) {
            close_down_to(*i);
          }
          continue;
        }
      }
      const std::size_t q = in.find('<', pos + 1);
      const std::size_t end = q == std::string_view::npos ? in.size() : q;
      append(in.substr(pos, end - pos));
      pos = end;
    }
    while (!stack.empty()) {
      Open t = stack.back();
      stack.pop_back();
      close_tag(t, out.size());
    }
    ParseResult result;
    if (!out.empty()) {
      std::vector<std::size_t> cuts{0, out.size()};
      for (const auto& s : spans) cuts.insert(cuts.end(), {s.start, s.end});
      std::sort(cuts.begin(), cuts.end());
      cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
      for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
        Segment seg{out.substr(cuts[i], cuts[i + 1] - cuts[i]), {}};
        for (const auto& s : spans) {
          if (s.start <= cuts[i] && s.end >= cuts[i + 1]) seg.annotations.push_back(s.annotation);
        }
        result.segments.push_back(seg);
      }
    }
    result.text = out;
    result.markers = markers;
    return result;
  }
};

inline ParseResult parse(std::string_view in, const ParserConfig& config) {
  return Reference{config, {}, {}, {}, {}, {}, {}, 0, 0}.run(in);
}

}  // namespace reference
