"""tagmire.StreamParser: whatever the cuts, what settles joins to the one-shot
parse; text settles as early as the rules allow; misuse gets clear errors."""

import dataclasses
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tagmire
from tagmire import Config, ParserConfig, StreamParser, parse

pieces = st.sampled_from([
    "<note>", "</note>", "<cite/>", "<cite>", "<cite src=\"a b\"/>", "<todo x=1>", "</todo>", "<b>", "</b>",
    "<", ">", "/", "'", '"', " ", "\n", "\n\n", "word", "Word.", ",", "é", "中", "🙂", "\u3000",
    "<![CDATA[", "]]>", "]", "<!", "<a", "<not a tag", "x < y", "<Note>", "</NOTE>",
])
answers = st.lists(pieces, max_size=40).map("".join)


@st.composite
def configs(draw):
    config = Config.default() if draw(st.booleans()) else Config.cite()
    return dataclasses.replace(
        config,
        recognized_tags=config.recognized_tags | draw(st.sets(st.sampled_from(["b", "a", "x"]), max_size=2)),
        autoclose_on_any_tag=draw(st.booleans()),
        autoclose_on_same_tag=draw(st.booleans()),
        trim_punctuation=draw(st.booleans()),
        case_sensitive_tags=draw(st.booleans()),
        unknown_mode=draw(st.sampled_from(["strip", "passthrough"])),
        recovery_strategies=dict(config.recovery_strategies) | {
            "note": draw(st.sampled_from(["retro_line", "forward_until_tag", "forward_next_token", "noop"]))},
    )


def expected(text, config):
    result = parse(text, config.to_parser_config())
    return (result.text, [(s.text, [(a.tag, a.attrs) for a in s.annotations]) for s in result.segments],
            [(m.pos, m.annotation.tag, m.annotation.attrs) for m in result.markers])


def streamed(chunks, config, preview=False):
    stream = StreamParser(config, preview=preview)
    runs = [stream.feed(chunk).committed for chunk in chunks] + [stream.close().committed]
    text, segments, markers = "", [], []
    for run in runs:
        assert run.start == len(text.encode()) and run.char_start == len(text)
        assert not run.provisional
        for segment in run.segments:
            assert run.text[segment.char_start - run.char_start: segment.char_end - run.char_start] == segment.text
            assert segment.text.encode() == (text + run.text).encode()[segment.start: segment.end]
            shaped = (segment.text, [(a.tag, a.attrs) for a in segment.annotations])
            if segment.continues:
                assert segments and segments[-1][1] == shaped[1]
                segments[-1] = (segments[-1][0] + segment.text, shaped[1])
            else:
                segments.append(shaped)
        for marker in run.markers:
            assert marker.char_pos == len((text + run.text).encode()[: marker.pos].decode())
            markers.append((marker.pos, marker.annotation.tag, marker.annotation.attrs))
        text += run.text
    return text, segments, markers


@given(answers, configs(), st.lists(st.integers(0, 200), max_size=8))
@settings(max_examples=300, deadline=None)
def test_settled_runs_join_to_the_parse_at_random_cuts(text, config, cuts):
    bounds = sorted({0, len(text), *(c for c in cuts if c <= len(text))})
    chunks = [text[a:b] for a, b in zip(bounds, bounds[1:])]
    assert streamed(chunks, config, preview=bool(len(cuts) % 2)) == expected(text, config)


@given(answers, configs())
@settings(max_examples=60, deadline=None)
def test_settled_runs_join_to_the_parse_at_every_cut_and_in_single_characters(text, config):
    want = expected(text, config)
    for cut in range(len(text) + 1):
        assert streamed([text[:cut], text[cut:]], config) == want
    assert streamed(list(text), config) == want


def test_a_line_settles_before_the_next_one_arrives():
    stream = StreamParser()
    first = stream.feed("First <note>line</note><cite src=a/>.\n")
    assert first.committed.text == "First line.\n"
    assert [(s.text, [a.tag for a in s.annotations]) for s in first.committed.segments] == [
        ("First ", []), ("line", ["note"]), (".\n", [])]
    assert first.committed.markers == (tagmire.StreamMarker(10, 10, tagmire.StreamAnnotation("cite", {"src": "a"})),)
    second = stream.feed("Second line")
    assert second.committed.text == ""  # a cite still to come may annotate it
    assert second.pending.text == "Second line" and second.pending.provisional


def test_a_tag_split_over_three_chunks_never_leaks_into_settled_text():
    stream = StreamParser(preview=False)
    settled = ""
    for chunk in ["Paris.\nIt is big<ci", "te src=", "wiki/> and old.\n"]:
        update = stream.feed(chunk)
        assert update.pending is None
        settled += update.committed.text
        assert "<" not in settled and "src" not in settled
    assert settled == "Paris.\nIt is big and old.\n"


def test_the_preview_shows_the_tail_as_if_the_text_ended_now():
    stream = StreamParser()
    update = stream.feed("Water <note>boils</note> at 100 C.<cite>\nverify alt")
    # The cite may still be closed by </cite>, so its line is held back.
    assert (update.committed.text, update.pending.text) == ("", "Water boils at 100 C.\nverify alt")
    assert [(s.text, [a.tag for a in s.annotations]) for s in update.pending.segments] == [
        ("Water ", ["cite"]), ("boils", ["note", "cite"]), (" at 100 C", ["cite"]), (".\nverify alt", [])]
    # The preview changed nothing: the stream goes on as if it had not run.
    settled = stream.feed("itude <note>check").committed.text + stream.close().committed.text
    assert settled == "Water boils at 100 C.\nverify altitude check"


@pytest.mark.parametrize("config", [None, Config.cite(), ParserConfig.default_cite_config()])
def test_every_kind_of_configuration_is_taken(config):
    stream = StreamParser(config)
    runs = [stream.feed("Rates rose<cite/>.\n<note>x").committed, stream.close().committed]
    assert [m.annotation.tag for run in runs for m in run.markers] == ["cite"]


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


def test_a_feed_from_another_thread_while_one_runs_is_refused():
    # A large chunk is parsed with the interpreter lock released; a call
    # arriving meanwhile is refused rather than corrupting the stream.
    stream = StreamParser(preview=False)
    big = "word <note>x</note> " * 600_000
    refused = []
    done = threading.Event()

    def feed_big():
        stream.feed(big)
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


def test_memory_follows_the_held_tail_not_the_answer():
    stream = StreamParser(preview=False)
    most = 0
    for _ in range(20_000):
        stream.feed("A line with <note>a note</note> and a <cite src=x/> marker.\n")
        most = max(most, stream.held_bytes)
    assert most < 16384
