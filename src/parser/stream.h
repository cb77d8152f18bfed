// Parsing a text while it is still being written: the input arrives in
// pieces cut anywhere (inside a tag, a CDATA section, a character), and what
// the parser has settled is handed out as it settles.
//
// Text is settled once nothing still to come can change it: it lies before
// the oldest tag still open (before its line, for a retro_line tag), before
// the start of the current line when a recognised tag may recover by
// retro_line, and before any `<` whose tag or CDATA section is not complete.
// Settled runs, joined, give exactly the one-shot parse's text; their
// segments, with a run's first segment joined to the one before when it
// continues it, the one-shot parse's segments; and their markers its
// markers. Work and memory follow the held-back tail, however the input is
// cut.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "parser/output_buffer.h"
#include "parser/parser.h"
#include "parser/tag_table.h"
#include "text/encoding.h"
#include "types/parse_records.h"
#include "types/pod_vector.h"

namespace parser {

// A run of settled text with its records: segments and markers over the
// run (positions in bytes from the run's start) and their annotations.
struct SettledText {
  std::string text;        // UTF-8
  std::size_t start = 0;   // byte offset of the run in the whole text
  bool continues = false;  // its first segment continues the previous run's last one
  types::ParseRecords records;
};

class StreamParser {
 public:
  explicit StreamParser(std::shared_ptr<const PreparedConfig> config);
  StreamParser(const StreamParser& other);
  StreamParser& operator=(const StreamParser&) = delete;

  // Appends UTF-8 `chunk` (it may end inside a character) and parses as far
  // as the input decides. Nothing after close().
  void feed(std::string_view chunk);
  // Ends the input: everything left is parsed and settles.
  void close();
  bool closed() const { return closed_; }

  // What settled since the last call (an empty run when nothing did).
  SettledText take_settled();
  // What the held-back tail would give if the input ended now: a preview
  // that is not final. Costs time in proportion to the tail.
  SettledText preview() const;
  // Bytes held: input not yet decided and text not yet settled.
  std::size_t held_bytes() const { return input_.size() - walked_ + parser_.text_size() - settled_; }

 private:
  static void grow_output(OutputBuffer<char>& out, std::size_t needed, void* context);
  void walk(bool final);

  std::shared_ptr<const PreparedConfig> config_;
  Parser<text::Utf8> parser_;
  std::string input_;        // input from the first position not yet walked over, roughly
  std::size_t walked_ = 0;   // input_[0, walked_) is parsed
  types::PodVector<char> text_;  // the output the parser writes
  OutputBuffer<char> out_;
  std::size_t settled_ = 0;  // text before this (a parser position) is handed out
  std::size_t dropped_ = 0;  // text bytes dropped from the front, handed out long ago
  bool closed_ = false;
};

}  // namespace parser
