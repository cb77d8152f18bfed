#include "parser/stream.h"

#include <algorithm>
#include <utility>

namespace parser {

namespace {

// Bytes at the end of `text` that begin a UTF-8 character not yet complete.
std::size_t incomplete_tail(std::string_view text) {
  for (std::size_t back = 1; back <= 3 && back <= text.size(); ++back) {
    const auto b = static_cast<unsigned char>(text[text.size() - back]);
    if ((b & 0xC0) == 0x80) continue;  // a continuation byte: look further back
    const std::size_t length = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
    return length > back ? back : 0;
  }
  return 0;
}

}  // namespace

StreamParser::StreamParser(std::shared_ptr<const PreparedConfig> config) : config_(std::move(config)) {
  out_.grow = &StreamParser::grow_output;
  out_.grow_context = this;
  parser_.start(*config_, out_);
  parser_.see_input(text::TextView<text::Utf8>{input_.data(), 0}, true);
}

StreamParser::StreamParser(const StreamParser& other)
    : config_(other.config_),
      parser_(other.parser_),
      input_(other.input_),
      walked_(other.walked_),
      settled_(other.settled_),
      dropped_(other.dropped_),
      closed_(other.closed_) {
  // The parser writes past the vector's own size: copy what it wrote.
  text_.resize_uninitialised(other.out_.size);
  std::copy(other.out_.data, other.out_.data + other.out_.size, text_.data());
  out_ = other.out_;
  out_.data = text_.data();
  out_.capacity = text_.capacity();
  out_.grow_context = this;
  parser_.rebind_output(out_);
  parser_.see_input(text::TextView<text::Utf8>{input_.data(), input_.size() - incomplete_tail(input_)}, false);
}

void StreamParser::grow_output(OutputBuffer<char>& out, std::size_t needed, void* context) {
  auto& self = *static_cast<StreamParser*>(context);
  self.text_.resize_uninitialised(out.size);
  self.text_.reserve_more(needed);
  out.data = self.text_.data();
  out.capacity = self.text_.capacity();
}

void StreamParser::feed(std::string_view chunk) {
  if (closed_) return;
  input_.append(chunk);
  walk(false);
}

void StreamParser::close() {
  if (closed_) return;
  walk(true);
  parser_.close_open_tags();
  closed_ = true;
}

void StreamParser::walk(bool final) {
  // The parser sees whole characters only, so that a character cut in two
  // is read as it will be, not as two broken ones.
  const std::size_t usable = final ? input_.size() : input_.size() - incomplete_tail(input_);
  parser_.see_input(text::TextView<text::Utf8>{input_.data(), usable}, false);
  walked_ = parser_.walk_available(walked_, final);
  // Dropping walked input costs what is kept, so it waits until the input
  // to drop outweighs it.
  if (walked_ >= 4096 && walked_ >= input_.size() - walked_) {
    input_.erase(0, walked_);
    walked_ = 0;
    parser_.see_input(text::TextView<text::Utf8>{input_.data(), input_.size() - incomplete_tail(input_)}, true);
  }
}

SettledText StreamParser::take_settled() {
  SettledText run;
  const std::size_t end = closed_ ? parser_.text_size() : parser_.settled_end();
  run.start = dropped_ + settled_;
  // Markers settle with the text before them, also when no text came since.
  if (end == settled_ && !parser_.has_marker_through(end)) return run;
  run.continues = end > settled_ && run.start != 0 && !parser_.boundary_at(settled_);
  run.text.assign(parser_.text_data() + settled_, end - settled_);
  run.records = types::ParseRecords::pack(parser_.window_parts(settled_, end));
  const std::size_t shift = parser_.forget_before(end);
  settled_ = end - shift;
  dropped_ += shift;
  text_.resize_uninitialised(parser_.text_size());
  return run;
}

SettledText StreamParser::preview() const {
  StreamParser ending(*this);
  ending.close();
  return ending.take_settled();
}

}  // namespace parser
