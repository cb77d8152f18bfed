"""tagmire.StreamParser: whatever the cuts, what settles joins to the one-shot
parse; the preview, kept from its changes, reads as the parse of what came so
far; text settles as early as the rules allow; misuse gets clear errors."""

import asyncio
import copy
import pickle
import threading
import time

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tagmire
from conftest import CONFIGS, ShownPreview, joined_committed, shape
from inputs import hostile_families
from tagmire import Config, ParserConfig, PreviewUpdate, StreamParser, StreamUpdate, parse

pieces = st.sampled_from([
    "<note>", "</note>", "<cite/>", "<cite>", "<cite src=\"a b\"/>", "<todo x=1>", "</todo>", "<b>", "</b>",
    "<", ">", "/", "'", '"', " ", "\n", "\n\n", "word", "Word.", ",", "é", "中", "🙂", "\u3000",
    "<![CDATA[", "]]>", "]", "<!", "<a", "<not a tag", "x < y", "<Note>", "</NOTE>",
])
answers = st.lists(pieces, max_size=40).map("".join)


FAMILIES = {family.name: family for family in hostile_families.FAMILIES}


def cut(text, cuts):
    bounds = sorted({0, len(text), *(c for c in cuts if c <= len(text))})
    return [text[a:b] for a, b in zip(bounds, bounds[1:])]


def streamed(chunks, config, preview=False):
    stream = StreamParser(config, preview=preview)
    return joined_committed([stream.feed(chunk) for chunk in chunks] + [stream.close()])


@given(answers, CONFIGS, st.lists(st.integers(0, 200), max_size=8))
@settings(max_examples=300, deadline=None)
def test_settled_runs_join_to_the_parse_at_random_cuts(text, config, cuts):
    assert streamed(cut(text, cuts), config, preview=bool(len(cuts) % 2)) == shape(parse(text, config))


@given(answers, CONFIGS)
@settings(max_examples=60, deadline=None)
def test_settled_runs_join_to_the_parse_at_every_cut_and_in_single_characters(text, config):
    want = shape(parse(text, config))
    for at in range(len(text) + 1):
        assert streamed([text[:at], text[at:]], config) == want
    assert streamed(list(text), config) == want


@given(answers, CONFIGS, st.lists(st.integers(0, 200), max_size=8))
@settings(max_examples=300, deadline=None)
def test_the_preview_kept_from_its_changes_is_the_whole_preview(text, config, cuts):
    stream = StreamParser(config)
    shown = ShownPreview()
    for chunk in cut(text, cuts):
        shown.apply(stream.feed(chunk))
        assert shown.shape() == ShownPreview.of(stream.preview()).shape()
    shown.apply(stream.close())
    assert shown.shape() == ("", [], [])


@given(answers, CONFIGS, st.lists(st.integers(0, 200), max_size=8), st.booleans())
@settings(max_examples=300, deadline=None)
def test_a_window_that_shows_only_text_keeps_it_by_the_readmes_rule(text, config, cuts, unfinished):
    # Revised stretches change annotations, never text, so a plain-text view
    # keeps the tail by slicing and appending alone.
    stream = StreamParser(config, unfinished=unfinished)
    settled, tail = "", ""
    for chunk in [*cut(text, cuts), None]:
        update = stream.feed(chunk) if chunk is not None else stream.close()
        start = update.committed.char_start
        for run in update.revised:
            assert tail[run.char_start - start:run.char_end - start] == run.text
        settled += update.committed.text
        tail = tail[len(update.committed.text):update.pending.char_start - start] + update.pending.text
        if chunk is not None:
            assert tail == stream.preview().text
    assert (settled, tail) == (parse(text, config).text, "")


# Whole tags and text only: every prefix is decided, so the preview must read
# as the parse of what came so far, from where the committed text ends.
whole = st.lists(st.sampled_from([
    "<note>", "</note>", "<cite/>", "<cite>", "</cite>", "<todo k=v>", "<claim id=1/>", "<b>", "word", " ",
    ".", "\n", "é", "🙂", "Paris is big", "<CITE src=x>",
]), max_size=30)


@given(whole, CONFIGS)
@settings(max_examples=200, deadline=None)
def test_after_every_piece_the_preview_reads_as_the_parse_so_far(tokens, config):
    stream = StreamParser(config)
    shown = ShownPreview()
    so_far = ""
    for token in tokens:
        so_far += token
        update = stream.feed(token)
        shown.apply(update)
        settled = update.committed.end
        text, segments, markers = shape(parse(so_far, config))
        expected_segments = []
        at = 0
        for piece, annotations in segments:
            end = at + len(piece.encode())
            if end > settled:
                expected_segments.append((piece.encode()[max(0, settled - at):].decode(), annotations))
            at = end
        assert shown.shape() == (text.encode()[settled:].decode(), expected_segments,
                                 [m for m in markers if m[0] > settled])


@given(whole, CONFIGS, st.lists(st.sampled_from([42, b"<cite/>", None]), max_size=3), st.data())
@settings(max_examples=100, deadline=None)
def test_a_piece_that_is_refused_leaves_the_stream_as_it_was(tokens, config, refused, data):
    stream = StreamParser(config)
    shown, updates = ShownPreview(), []
    for token in tokens:
        for piece in refused[:data.draw(st.integers(0, len(refused)))]:
            with pytest.raises(TypeError):
                stream.feed(piece)
        updates.append(stream.feed(token))
        shown.apply(updates[-1])
        assert shown.shape() == ShownPreview.of(stream.preview()).shape()
    updates.append(stream.close())
    assert joined_committed(updates) == shape(parse("".join(tokens), config))


def shown_by_window(window, pieces):
    """The window's redraws applied by their rule alone, checked against
    `window.parsed` after each."""
    shown = ShownPreview()
    for piece in [*pieces, None]:
        redraw = window.close() if piece is None else window.feed(piece)
        shown.markers = [m for m in shown.markers if m[0] < redraw.start]
        shown._replace(redraw, to_end=True)
        assert shown.shape() == ShownPreview.of(window.parsed).shape()
    return shown


@given(whole, CONFIGS, st.booleans())
@settings(max_examples=200, deadline=None)
def test_a_window_redrawn_by_its_rule_shows_the_answer_so_far(tokens, config, unfinished):
    window = tagmire.Window(config, unfinished=unfinished)
    shown = shown_by_window(window, tokens)
    text = "".join(tokens)
    assert shown.shape() == ShownPreview.of(parse(text, config)).shape()
    assert window.parsed == parse(text, config) and not window.parsed.provisional


@pytest.mark.parametrize("family", FAMILIES)
@given(st.lists(st.integers(0, 3000), max_size=12))
@settings(max_examples=10, deadline=None)
def test_hostile_families_through_a_window(family, cuts):
    family = FAMILIES[family]
    text, config = family.make(3000), family.config.build()
    window = tagmire.Window(config)
    shown_by_window(window, cut(text, cuts))
    assert window.parsed == parse(text, config)


def test_a_redraw_starts_where_the_reading_changed():
    window = tagmire.Window()
    redraws = [window.feed(piece) for piece in ["Fact one", "<cite src=a>", ". Fact two", "<cite src=b>", "."]]
    assert [r.char_start for r in redraws] == [0, 0, 8, 10, 18]
    assert [(s.text, [a.attrs["src"] for a in s.annotations]) for s in redraws[3].segments] == [
        ("Fact two", ["b"])]
    with pytest.raises(TypeError, match="cannot be copied"):
        copy.copy(window)


def test_the_pending_run_carries_every_marker_from_its_start():
    # The marker at 10 is held with its line; the third update's pending
    # run starts at it again, so it comes again: a window that replaces
    # what it shows from pending.char_start on keeps it.
    stream = StreamParser(Config.compat_default())
    pendings = [stream.feed(piece).pending for piece in ["Alpha beta", "<cite src=x/>", " gamma"]]
    assert [(p.char_start, [(m.char_pos, m.annotation.attrs) for m in p.markers]) for p in pendings] == [
        (0, []), (10, [(10, {"src": "x"})]), (10, [(10, {"src": "x"})])]
    assert [m.char_pos for m in stream.preview().markers] == [10]


def test_a_line_settles_before_the_next_one_arrives():
    stream = StreamParser()
    first = stream.feed("First <note>line</note><cite src=a/>.\n")
    assert first.committed.text == "First line.\n"
    assert [(s.text, [a.tag for a in s.annotations]) for s in first.committed.segments] == [
        ("First ", []), ("line", ["note"]), (".\n", [])]
    marker, = first.committed.markers
    assert (marker.pos, marker.char_pos, marker.annotation.tag, marker.annotation.attrs) == (10, 10, "cite", {"src": "a"})
    second = stream.feed("Second line")
    assert second.committed.text == ""  # a cite still to come may annotate it
    assert second.pending.text == "Second line" and second.pending.provisional


def test_a_tag_split_over_three_chunks_never_leaks():
    stream = StreamParser()
    settled, frames = "", []
    for chunk in ["Paris is the capital<ci", "te src=wi", "ki/> of France.\n"]:
        update = stream.feed(chunk)
        settled += update.committed.text
        frames.append(update.pending.text)
        assert "<" not in settled + update.pending.text and "src" not in settled + update.pending.text
    assert settled == "Paris is the capital of France.\n"
    # Half-written markup is left out of the preview, so it never flickers.
    assert frames[:2] == ["Paris is the capital", ""]


def test_unfinished_markup_is_shown_as_written_when_asked_for():
    stream = StreamParser(unfinished=True)
    shown = ShownPreview()
    settled = ""
    for chunk, expected in [("Paris<ci", "Paris<ci"), ("te s", "Paris<cite s"), ("rc=w/>.", "Paris.")]:
        update = stream.feed(chunk)
        settled += update.committed.text
        shown.apply(update)
        assert settled + shown.shape()[0] == expected
    with pytest.raises(ValueError, match="needs preview=True"):
        StreamParser(preview=False, unfinished=True)


def test_a_change_far_back_is_sent_alone_with_what_came_at_the_end():
    # Each cite annotates the `a` at the start of the line (the spaces
    # between are trimmed, and each reaches back to the line's start, not
    # to the cite before it): only that segment is sent again, not the line.
    stream = StreamParser(Config(retro_line_split=False))
    stream.feed("a")
    stream.feed(" <cite>")
    for cites in range(2, 5):
        update = stream.feed(" <cite>")
        revised, = update.revised
        assert [(s.text, [a.tag for a in s.annotations]) for s in revised.segments] == [("a", ["cite"] * cites)]
        assert update.pending.text == " "
    assert stream.preview().segments[0].text == "a"


@pytest.mark.parametrize("config", [None, Config.cite(), ParserConfig.default_cite_config()])
def test_every_kind_of_configuration_is_taken(config):
    stream = StreamParser(config)
    runs = [stream.feed("Rates rose<cite/>.\n<note>x").committed, stream.close().committed]
    assert [m.annotation.tag for run in runs for m in run.markers] == ["cite"]


def test_helpers_over_iterables_and_async_iterables_end_with_the_last_update():
    chunks = ["Water boils", " at 100 C<cite>.\n", "<note>x"]
    updates = list(tagmire.stream(iter(chunks), preview=False))
    assert len(updates) == len(chunks) + 1 and all(type(u) is StreamUpdate for u in updates)

    async def chunks_arriving():
        for chunk in chunks:
            await asyncio.sleep(0)
            yield chunk

    async def collect():
        return [update async for update in tagmire.astream(chunks_arriving())]

    async_updates = asyncio.run(collect())
    assert all(type(u) is PreviewUpdate for u in async_updates)
    assert joined_committed(async_updates) == joined_committed(updates) == shape(parse("".join(chunks)))
    assert async_updates[-1].pending.text == ""  # the end: nothing held back


def test_a_stream_is_neither_copied_nor_pickled():
    stream = StreamParser()
    stream.feed("held <cite>")
    for refuse in (copy.copy, copy.deepcopy, pickle.dumps):
        with pytest.raises(TypeError, match="cannot be copied or pickled"):
            refuse(stream)


def test_misuse_gets_clear_errors_and_the_stream_stays_usable():
    stream = StreamParser()
    with pytest.raises(TypeError, match="chunk must be a str, not 'bytes'"):
        stream.feed(b"bytes")
    with pytest.raises(UnicodeEncodeError):
        stream.feed("lone \ud800 surrogate")
    assert stream.feed("still fine.\n").committed.text == "still fine.\n"
    stream.close()
    assert stream.closed and stream.close().committed.text == ""
    with pytest.raises(ValueError, match=r"feed\(\) after close\(\)"):
        stream.feed("more")
    with pytest.raises(TypeError, match="config must be"):
        StreamParser({"recognized_tags": ["cite"]})
    with pytest.raises(TypeError, match="preview must be a bool"):
        StreamParser(preview=1)


def test_a_feed_from_another_thread_while_one_runs_is_refused():
    # A large chunk is parsed with the interpreter lock released; a call
    # arriving meanwhile is refused rather than corrupting the stream.
    stream = StreamParser(preview=False)
    big = "word <note>x</note> " * 600_000
    refused = []
    done = threading.Event()

    def feed_big():
        # Again until the other thread has met one under way: on a busy
        # machine it may not run at all during the first. On a free-threaded
        # interpreter the small feeds may hold the stream when a big one
        # comes, which is refused in its turn.
        try:
            for _ in range(50):
                try:
                    stream.feed(big)
                except RuntimeError as error:
                    refused.append(str(error))
                if refused:
                    break
        finally:
            done.set()

    worker = threading.Thread(target=feed_big)
    worker.start()
    while not done.is_set():
        try:
            stream.feed("")
        except RuntimeError as error:
            refused.append(str(error))
    worker.join()
    assert refused and all("in use by another thread" in message for message in refused)
    assert stream.feed("end.\n").committed.text.endswith("end.\n")


@pytest.mark.parametrize("preview", [False, True])
def test_memory_follows_the_held_tail_not_the_answer(preview):
    stream = StreamParser(preview=preview)
    most = 0
    for _ in range(20_000):
        stream.feed("A line with <note>a note</note> and a <cite src=x/> marker.\n")
        most = max(most, stream.held_bytes)
    assert most < 16384


@pytest.mark.parametrize("family", FAMILIES)
@given(st.lists(st.integers(0, 3000), max_size=12))
@settings(max_examples=15, deadline=None)
def test_hostile_families_stream_to_their_parse_with_a_true_preview(family, cuts):
    family = FAMILIES[family]
    text, config = family.make(3000), family.config.build()
    stream = StreamParser(config)
    shown, updates = ShownPreview(), []
    for chunk in cut(text, cuts):
        updates.append(stream.feed(chunk))
        shown.apply(updates[-1])
        assert shown.shape() == ShownPreview.of(stream.preview()).shape()
    updates.append(stream.close())
    assert joined_committed(updates) == shape(parse(text, config))


@pytest.mark.slow
@pytest.mark.usefixtures("hang_guard")
@pytest.mark.parametrize("family", FAMILIES)
def test_hostile_families_stream_in_linear_time(family):
    # Thousands of tags left open, or one `<` whose head grows with every
    # piece, must not make each piece cost the whole held text: linear work
    # here takes a fraction of a second, quadratic work half a minute. How
    # the time grows is measured by bench/stream.py.
    family = FAMILIES[family]
    text, config = family.make(4 << 20), family.config.build()
    start = time.process_time()
    stream = StreamParser(config)
    for at in range(0, len(text), 64):
        update = stream.feed(text[at:at + 64])
        update.committed.segments, update.pending.segments, [run.segments for run in update.revised]
    settled = len(stream.close().committed.text)
    seconds = time.process_time() - start
    assert settled <= len(text)
    assert seconds < 20, f"{family.name}: {seconds:.1f} s of CPU to stream 4 MB"
