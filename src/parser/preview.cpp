#include "parser/preview.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace parser {

namespace {

AnnotationChain push(const AnnotationBytes& annotation, AnnotationChain next) {
  return std::make_shared<const AnnotationNode>(annotation, std::move(next));
}

bool same_bytes(const AnnotationBytes& a, const AnnotationBytes& b) { return a == b || *a == *b; }

}  // namespace

std::vector<AnnotationBytes> Coverage::list() const {
  std::vector<AnnotationBytes> out(size());
  std::size_t i = recorded_count;
  for (const AnnotationNode* node = recorded.get(); node != nullptr; node = node->next.get()) {
    out[--i] = node->annotation;
  }
  i = recorded_count;
  for (const AnnotationNode* node = open.get(); node != nullptr; node = node->next.get()) out[i++] = node->annotation;
  return out;
}

bool same_annotations(const Coverage& a, const Coverage& b) {
  if (a.size() != b.size()) return false;
  if (a.recorded == b.recorded && a.open == b.open && a.recorded_count == b.recorded_count) return true;
  const std::vector<AnnotationBytes> left = a.list();
  const std::vector<AnnotationBytes> right = b.list();
  return std::equal(left.begin(), left.end(), right.begin(), same_bytes);
}

void Preview::reset(std::size_t start) {
  *this = Preview();
  start_ = end_ = tail_ = start;
}

AnnotationBytes Preview::bytes_of(types::AnnotationRef ref, const char* store) {
  const auto [entry, added] = copied_.try_emplace(ref);
  if (added) {
    const std::size_t length = types::AnnotationReader<char>::length_at(store, ref);
    entry->second = std::make_shared<const std::string>(store + ref, length);
  }
  return entry->second;
}

Preview::ShownTag Preview::shown_of(Parser<text::Utf8>& parser, const Parser<text::Utf8>::OpenTag& tag,
                                     std::size_t offset, AnnotationBytes annotation) {
  ShownTag shown;
  shown.annotation = std::move(annotation);
  const Span span = parser.recovered_span(tag);
  shown.start = offset + span.start;
  shown.end = offset + span.end;
  const Reach covering = span.start < span.end ? Reach::kFixed : Reach::kNone;
  if (tag.provisional_end != kNoPosition) {
    // Auto-closed already: its span no longer grows, whatever its strategy.
    shown.reach = covering;
    return shown;
  }
  switch (tag.strategy) {
    case types::RecoveryStrategy::retro_line:
      shown.reach = covering;
      break;
    case types::RecoveryStrategy::forward_until_tag:
    case types::RecoveryStrategy::forward_until_newline:
      if (tag.reach != kNoPosition) {
        shown.reach = covering;
      } else {
        shown.reach = covering == Reach::kFixed ? Reach::kRunning : Reach::kPending;
      }
      break;
    case types::RecoveryStrategy::forward_next_token:
      if (tag.reach == kNoPosition) {
        shown.reach = Reach::kWaiting;
      } else {
        shown.reach = tag.token_end != kNoPosition ? covering : Reach::kRunning;
      }
      break;
    case types::RecoveryStrategy::noop:
      shown.reach = Reach::kNone;
      break;
  }
  return shown;
}

// --- the segments ---

Preview::Map::iterator Preview::split_at(std::size_t pos) {
  const auto next = map_.upper_bound(pos);
  if (next == map_.begin()) return next;
  const auto it = std::prev(next);
  if (it->first == pos) return it;
  if (pos >= it->second.end) return next;
  Interval right = it->second;
  it->second.end = pos;
  const std::size_t dirty = it->second.dirty_from;
  if (dirty != kNoPosition) {
    if (dirty >= pos) {
      it->second.dirty_from = kNoPosition;
    } else {
      right.dirty_from = pos;
    }
    dirty_.push_back(pos);
  }
  new_cuts_.push_back(pos);
  touched_.push_back(pos);
  return map_.emplace_hint(next, pos, std::move(right));
}

void Preview::mark_grown(Interval& interval, std::size_t from, std::size_t key) {
  interval.dirty_from = std::min(interval.dirty_from, from);
  dirty_.push_back(key);
}

void Preview::mark(Interval& interval, std::size_t from, std::size_t key) {
  if (!interval.saved && !interval.fresh) {
    interval.original = interval.coverage;
    interval.saved = true;
  }
  interval.dirty_from = std::min(interval.dirty_from, from);
  dirty_.push_back(key);
}

template <class Change>
void Preview::change(std::size_t from, std::size_t to, Change&& change_coverage) {
  if (from >= to) return;
  auto it = split_at(from);
  split_at(to);
  for (; it != map_.end() && it->first < to; ++it) {
    mark(it->second, it->first, it->first);
    change_coverage(it->second.coverage);
  }
}

void Preview::add_cut(std::size_t pos, int delta) {
  cuts_[pos] += delta;
  touched_.push_back(pos);
  if (delta > 0) split_at(pos);
}

void Preview::record(std::size_t from, std::size_t to, const AnnotationBytes& annotation) {
  if (from >= to) return;
  add_cut(from, 1);
  add_cut(to, 1);
  change(from, to, [&](Coverage& c) {
    c.recorded = push(annotation, c.recorded);
    ++c.recorded_count;
  });
}

void Preview::cover(std::size_t from, std::size_t to, const AnnotationBytes& annotation, bool counts_end) {
  if (from >= to) return;
  add_cut(from, 1);
  if (counts_end) add_cut(to, 1);
  change(from, to, [&](Coverage& c) {
    c.open = push(annotation, c.open);
    ++c.open_count;
  });
}

void Preview::uncover(std::size_t from, std::size_t to, bool counts_end) {
  if (from >= to) return;
  add_cut(from, -1);
  if (counts_end) add_cut(to, -1);
  change(from, to, [](Coverage& c) {
    c.open = c.open->next;
    --c.open_count;
  });
}

void Preview::promote(std::size_t from, std::size_t to) {
  // The topmost open tag becomes the newest recorded span, which stands
  // where it stood: the segments read the same, so nothing is marked.
  if (from >= to) return;
  auto it = split_at(from);
  split_at(to);
  for (; it != map_.end() && it->first < to; ++it) {
    Coverage& c = it->second.coverage;
    c.recorded = push(c.open->annotation, c.recorded);
    ++c.recorded_count;
    c.open = c.open->next;
    --c.open_count;
  }
}

// --- an update ---

void Preview::update(Parser<text::Utf8>& parser, std::size_t offset) {
  const std::size_t new_end = offset + parser.text_size();
  if (parser.stack_events().empty() && pending_.empty() && extend_plainly(parser, offset, new_end)) return;
  copied_.clear();
  if (new_end > end_) {
    Interval fresh;
    fresh.end = new_end;
    fresh.fresh = true;
    fresh.dirty_from = end_;
    map_.emplace_hint(map_.end(), end_, std::move(fresh));
    dirty_.push_back(end_);
    touched_.push_back(end_);  // the old end was shown as a cut and may no longer be one
    end_ = new_end;
  }

  // What happened to the shown tags, in order: the parser closes the
  // topmost first, so a shown tag closed is always the topmost shown one.
  const std::span<const Span> spans = parser.spans();
  reached_.clear();
  for (const StackEvent& event : parser.stack_events()) {
    const Span* recorded = event.span != kNoPosition ? &spans[event.span] : nullptr;
    switch (event.kind) {
      case StackEvent::Kind::kPush:
        break;
      case StackEvent::Kind::kPop:
        if (event.index < shown_.size()) {
          close_shown(recorded, offset);
        } else if (recorded != nullptr) {
          record(offset + recorded->start, offset + recorded->end,
                 bytes_of(recorded->annotation, parser.annotation_bytes()));
        }
        break;
      case StackEvent::Kind::kReach:
        // A tag closed later in the update leaves its entry behind, which
        // extend_tail passes over: no tag is shown anew until after it.
        if (event.index < shown_.size() && !shown_[event.index].reached) {
          shown_[event.index].reached = true;
          reached_.push_back(event.index);
        }
        break;
    }
  }
  parser.clear_stack_events();
  extend_tail(parser, offset);
  for (std::size_t index = shown_.size(); index < parser.open_tags().size(); ++index) show_new(index, parser, offset);

  // The tail mark is a cut while some running span shows.
  if (tail_cut_ != kNoPosition) touched_.push_back(tail_cut_);
  tail_cut_ = kNoPosition;
  if (!running_.empty()) {
    tail_cut_ = tail_;
    touched_.push_back(tail_);
    split_at(tail_);
  }
  normalise_cuts();
}

void Preview::rebuild(Parser<text::Utf8>& parser, std::size_t offset, std::size_t start) {
  reset(start);
  parser.clear_stack_events();
  // The text as one fresh stretch, with every open tag shown on it.
  update(parser, offset);
  for (const Span& span : parser.spans()) {
    record(std::max(offset + span.start, start), offset + span.end,
           bytes_of(span.annotation, parser.annotation_bytes()));
  }
  normalise_cuts();
}

// Text came and nothing else happened: in the common case the last segment
// just grows, with no cut to move but the tail mark's. False, having done
// nothing, when the update needs the general way.
bool Preview::extend_plainly(Parser<text::Utf8>& parser, std::size_t offset, std::size_t new_end) {
  if (new_end == end_) return true;
  if (map_.empty() || cuts_.contains(end_)) return false;
  const auto last = std::prev(map_.end());
  if (running_.empty()) {
    // Nothing runs: the new text reads as the last segment did.
    if (last->second.coverage.open_count != 0 || tail_cut_ != kNoPosition) return false;
  } else {
    // The running spans run on over all of it: no trimmable text before
    // or after.
    if (tail_ != end_ || tail_cut_ != end_ || offset + parser.trimmed_end() != new_end) return false;
    tail_ = tail_cut_ = new_end;
  }
  mark_grown(last->second, end_, last->first);
  last->second.end = new_end;
  end_ = new_end;
  return true;
}

void Preview::close_shown(const Span* recorded, std::size_t offset) {
  const std::size_t index = shown_.size() - 1;
  const ShownTag tag = shown_.back();
  shown_.pop_back();
  if (!pending_.empty() && pending_.back() == index) pending_.pop_back();
  const std::size_t start = recorded != nullptr ? offset + recorded->start : 0;
  const std::size_t end = recorded != nullptr ? offset + recorded->end : 0;
  switch (tag.reach) {
    case Reach::kFixed:
      if (recorded != nullptr && start == tag.start && end == tag.end) {
        promote(tag.start, tag.end);
        return;
      }
      uncover(tag.start, tag.end, true);
      break;
    case Reach::kRunning:
      running_.pop_back();  // the topmost shown tag is the topmost running one
      running_chain_ = running_chain_->next;
      if (recorded != nullptr && start == tag.start && end >= tail_) {
        // As shown, and grown over what came since.
        promote(tag.start, tail_);
        add_cut(end, 1);
        change(tail_, end, [&](Coverage& c) {
          c.recorded = push(tag.annotation, c.recorded);
          ++c.recorded_count;
        });
        return;
      }
      uncover(tag.start, tail_, false);
      break;
    case Reach::kPending:
    case Reach::kWaiting:
    case Reach::kNone:
      break;
  }
  if (recorded != nullptr) record(start, end, tag.annotation);
}

void Preview::show_new(std::size_t index, Parser<text::Utf8>& parser, std::size_t offset) {
  const Parser<text::Utf8>::OpenTag& open = parser.open_tags()[index];
  const ShownTag tag = shown_of(parser, open, offset, bytes_of(open.annotation, parser.annotation_bytes()));
  shown_.push_back(tag);
  switch (tag.reach) {
    case Reach::kFixed:
      cover(tag.start, tag.end, tag.annotation, true);
      break;
    case Reach::kRunning:
      cover(tag.start, tail_, tag.annotation, false);
      running_.push_back(index);
      running_chain_ = push(tag.annotation, running_chain_);
      break;
    case Reach::kPending:
      pending_.push_back(index);
      break;
    case Reach::kWaiting:
    case Reach::kNone:
      break;
  }
}

void Preview::rebuild_running_chain() {
  running_chain_.reset();
  for (const std::size_t index : running_) running_chain_ = push(shown_[index].annotation, running_chain_);
}

// Text came after the tail mark. The spans still running grow over it;
// shown tags whose reach changed (a line feed, a token that began or ended)
// take their new extent, and pending ones begin once untrimmable text comes.
// Nothing open covers the text past the old tail yet: every fixed span of
// an open tag ends at or before it.
void Preview::extend_tail(Parser<text::Utf8>& parser, std::size_t offset) {
  const std::size_t old_tail = tail_;
  const std::size_t new_tail = offset + parser.trimmed_end();
  struct Growth {
    std::size_t index;
    std::size_t from;
    std::size_t to;  // kNoPosition: to the new tail
  };
  std::vector<Growth> growth;
  std::vector<std::size_t> started;  // indices that run from now on
  bool stopped = false;              // a running tag no longer runs
  bool unpended = false;             // a pending tag no longer waits
  const auto reconsider = [&](std::size_t index) {
    const ShownTag before = shown_[index];
    // A fixed span stays as it is shown: a provisional close's line feed
    // or token that came after it changes nothing.
    if (before.reach == Reach::kFixed || before.reach == Reach::kNone) return;
    ShownTag after = shown_of(parser, parser.open_tags()[index], offset, before.annotation);
    after.reached = before.reached;  // reconsidered once per update
    shown_[index] = after;
    unpended = unpended || (before.reach == Reach::kPending && after.reach != Reach::kPending);
    if (before.reach == Reach::kRunning) {
      if (after.reach == Reach::kRunning) return;
      // A running span stops only where its reach becomes fixed (a line
      // feed, the end of its token), past what it covered: it never shrinks.
      stopped = true;
      growth.push_back({index, old_tail, after.end});
      add_cut(after.end, 1);
      return;
    }
    if (after.reach == Reach::kRunning || after.reach == Reach::kFixed) {
      add_cut(after.start, 1);
      if (after.reach == Reach::kFixed) add_cut(after.end, 1);
      growth.push_back({index, after.start, after.reach == Reach::kFixed ? after.end : kNoPosition});
      if (after.reach == Reach::kRunning) started.push_back(index);
    }
  };
  // In stack order, as the spans nest.
  std::sort(reached_.begin(), reached_.end());
  for (const std::size_t index : reached_) {
    if (index < shown_.size()) reconsider(index);
  }
  // A tag that waits for untrimmable text begins when any comes; until then
  // none of them is looked at.
  if (new_tail > old_tail) {
    for (const std::size_t index : pending_) {
      if (!shown_[index].reached && shown_[index].reach == Reach::kPending) reconsider(index);
    }
  }
  // Waiting tags stop together (untrimmable text came, a line ended), so
  // the list is rewritten rarely.
  if (unpended) std::erase_if(pending_, [&](std::size_t index) { return shown_[index].reach != Reach::kPending; });
  for (const std::size_t index : reached_) {
    if (index < shown_.size()) shown_[index].reached = false;
  }

  const std::size_t count_before = running_.size();
  const AnnotationChain chain_before = running_chain_;
  std::vector<Growth> all;
  if (!growth.empty()) {
    all = growth;
    for (const std::size_t index : running_) {
      if (shown_[index].reach == Reach::kRunning) all.push_back({index, old_tail, kNoPosition});
    }
  }
  if (stopped || !started.empty()) {
    // The running tags that still run, with those that began, in stack order.
    std::sort(started.begin(), started.end());
    std::vector<std::size_t> running;
    running.reserve(running_.size() + started.size());
    std::vector<std::size_t> still;
    for (const std::size_t index : running_) {
      if (shown_[index].reach == Reach::kRunning) still.push_back(index);
    }
    std::merge(still.begin(), still.end(), started.begin(), started.end(), std::back_inserter(running));
    running_ = std::move(running);
    rebuild_running_chain();
  }

  if (growth.empty() && count_before == 0) {
    // Nothing runs on: the new text reads as it came.
  } else if (growth.empty()) {
    // The common case: the same spans run on, as one shared list.
    change(old_tail, new_tail, [&](Coverage& c) {
      c.open = chain_before;
      c.open_count = count_before;
    });
  } else {
    // Each stretch between the stops gets the tags covering all of it,
    // bottom first so that the topmost heads its list.
    std::sort(all.begin(), all.end(), [](const Growth& a, const Growth& b) { return a.index < b.index; });
    std::vector<std::size_t> stops{old_tail, new_tail};
    for (const Growth& g : all) {
      stops.push_back(g.from);
      if (g.to != kNoPosition) stops.push_back(g.to);
    }
    std::sort(stops.begin(), stops.end());
    stops.erase(std::unique(stops.begin(), stops.end()), stops.end());
    for (std::size_t k = 0; k + 1 < stops.size(); ++k) {
      const std::size_t from = stops[k];
      const std::size_t to = stops[k + 1];
      AnnotationChain chain;
      std::size_t count = 0;
      for (const Growth& g : all) {
        if (g.from <= from && to <= (g.to == kNoPosition ? new_tail : g.to)) {
          chain = push(shown_[g.index].annotation, chain);
          ++count;
        }
      }
      change(from, to, [&](Coverage& c) {
        c.open = chain;
        c.open_count = count;
      });
    }
  }
  tail_ = new_tail;
}

// A cut stays where a span ends or begins, and goes where none does; the
// segments on both sides of a cut that went read the same by then.
void Preview::normalise_cuts() {
  std::sort(touched_.begin(), touched_.end());
  touched_.erase(std::unique(touched_.begin(), touched_.end()), touched_.end());
  std::sort(new_cuts_.begin(), new_cuts_.end());
  for (const std::size_t pos : touched_) {
    int count = 0;
    if (const auto found = cuts_.find(pos); found != cuts_.end()) {
      count = found->second;
      if (count == 0) cuts_.erase(found);
    }
    if (pos <= start_ || pos >= end_) continue;
    const auto it = map_.find(pos);
    if (it == map_.end()) continue;
    const bool made_now = std::binary_search(new_cuts_.begin(), new_cuts_.end(), pos);
    if (count > 0 || pos == tail_cut_) {
      if (made_now) {
        it->second.cut_changed = true;
        mark(it->second, pos, pos);
      }
      continue;
    }
    const auto left = std::prev(it);
    Interval& merged = left->second;
    std::size_t dirty = std::min(merged.dirty_from, it->second.dirty_from);
    if (!made_now) dirty = std::min(dirty, pos);  // a cut shown before is gone
    merged.end = it->second.end;
    merged.cut_changed = merged.cut_changed || it->second.cut_changed || !made_now;
    merged.fresh = merged.fresh && it->second.fresh;
    if (dirty != kNoPosition) {
      merged.dirty_from = dirty;
      dirty_.push_back(left->first);
    }
    map_.erase(it);
  }
  touched_.clear();
  new_cuts_.clear();
}

void Preview::drop_before(std::size_t settled) {
  settled = std::min(settled, end_);
  if (settled <= start_) return;
  const auto first = split_at(settled);
  map_.erase(map_.begin(), first);
  std::erase_if(dirty_, [&](std::size_t key) { return key < settled; });
  cuts_.erase(cuts_.begin(), cuts_.lower_bound(settled));
  touched_.clear();
  new_cuts_.clear();
  start_ = settled;
  if (first != map_.end() && first->second.dirty_from != kNoPosition) {
    // What is shown now begins here.
    first->second.dirty_from = std::max(first->second.dirty_from, settled);
  }
}

std::span<const PreviewRun> Preview::take_changes() {
  out_runs_.clear();
  out_segments_.clear();
  std::sort(dirty_.begin(), dirty_.end());
  dirty_.erase(std::unique(dirty_.begin(), dirty_.end()), dirty_.end());
  std::vector<std::size_t> run_firsts;
  for (const std::size_t key : dirty_) {
    const auto it = map_.find(key);
    if (it == map_.end()) continue;
    Interval& interval = it->second;
    const std::size_t from = interval.dirty_from;
    const bool unchanged = !interval.fresh && !interval.cut_changed && interval.saved && from == key &&
                           same_annotations(interval.coverage, interval.original);
    interval.dirty_from = kNoPosition;
    interval.fresh = interval.cut_changed = interval.saved = false;
    interval.original = Coverage();
    if (from == kNoPosition || unchanged) continue;
    if (out_runs_.empty() || out_runs_.back().end != key || from != key) {
      out_runs_.push_back(PreviewRun{from, from, from > key, {}});
      run_firsts.push_back(out_segments_.size());
    }
    out_segments_.push_back(PreviewSegment{from, interval.end, interval.coverage});
    out_runs_.back().end = interval.end;
  }
  dirty_.clear();
  // The views, now that the buffer is complete.
  for (std::size_t r = 0; r < out_runs_.size(); ++r) {
    const std::size_t last = r + 1 < out_runs_.size() ? run_firsts[r + 1] : out_segments_.size();
    out_runs_[r].segments = std::span<const PreviewSegment>(out_segments_).subspan(run_firsts[r], last - run_firsts[r]);
  }
  return out_runs_;
}

PreviewRun Preview::snapshot_from(std::size_t from) {
  from = std::clamp(from, start_, end_);
  out_segments_.clear();
  auto it = map_.upper_bound(from);
  if (it != map_.begin() && std::prev(it)->second.end > from) --it;
  const bool continues = it != map_.end() && it->first < from;
  for (; it != map_.end(); ++it) {
    out_segments_.push_back(PreviewSegment{std::max(it->first, from), it->second.end, it->second.coverage});
  }
  return PreviewRun{from, end_, continues, out_segments_};
}

}  // namespace parser
