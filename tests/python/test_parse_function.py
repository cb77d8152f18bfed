"""parse(input, config=None): argument binding, conversion and its errors."""

import sys

import pytest

from _tagmire_rs import ParserConfig, parse
from conftest import Text, shape


SAMPLE = 'Water boils at 100 C.<cite>\n<note id="n1">verify <todo/>altitude'


@pytest.mark.parametrize(
    "call",
    [
        lambda: parse(SAMPLE),
        lambda: parse(SAMPLE, None),
        lambda: parse(input=SAMPLE),
        lambda: parse(SAMPLE, config=None),
        lambda: parse(config=None, input=SAMPLE),
        lambda: parse(SAMPLE, ParserConfig()),
        lambda: parse(SAMPLE, ParserConfig.default_llm_friendly_config()),
    ],
    ids=["positional", "none", "input-keyword", "config-keyword", "keywords-reversed", "new-config", "preset"],
)
def test_call_forms_parse_with_the_default_preset(call):
    assert shape(call()) == (
        "Water boils at 100 C.\nverify altitude",
        [
            ("Water boils at 100 C", [("cite", {})]),
            (".\n", []),
            # The self-closing todo auto-closes note.
            ("verify", [("note", {"id": "n1"})]),
            (" altitude", []),
        ],
        [(29, "todo", {})],
    )


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((), {}, "parse() missing 1 required positional argument: 'input'"),
        ((), {"config": None}, "parse() missing 1 required positional argument: 'input'"),
        (("x", None, None), {}, "parse() takes from 1 to 2 positional arguments but 3 were given"),
        (("x", None, None, None), {}, "parse() takes from 1 to 2 positional arguments but 4 were given"),
        ((), {"text": "x"}, "parse() got an unexpected keyword argument 'text'"),
        (("x",), {"input": "x"}, "parse() got multiple values for argument 'input'"),
        (("x", None), {"config": None}, "parse() got multiple values for argument 'config'"),
        ((b"x",), {}, "argument 'input': 'bytes' object cannot be converted to 'PyString'"),
        ((None,), {}, "argument 'input': 'NoneType' object cannot be converted to 'PyString'"),
        (("x", {}), {}, "argument 'config': 'dict' object cannot be converted to 'ParserConfig'"),
        (("x", "cite"), {}, "argument 'config': 'str' object cannot be converted to 'ParserConfig'"),
        # The input is converted first, so its error wins.
        ((1, {}), {}, "argument 'input': 'int' object cannot be converted to 'PyString'"),
    ],
)
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        parse(*args, **kwargs)
    assert str(caught.value) == message


def test_conversion_error_names_the_qualified_type():
    class Outer:
        class Text:
            pass

    with pytest.raises(TypeError) as caught:
        parse(Outer.Text())
    assert str(caught.value) == (
        "argument 'input': 'test_conversion_error_names_the_qualified_type.<locals>.Outer.Text' "
        "object cannot be converted to 'PyString'"
    )


def test_lone_surrogate_raises_the_interpreters_encoding_error_unprefixed():
    with pytest.raises(UnicodeEncodeError) as caught:
        parse("ok \ud800")
    assert not str(caught.value).startswith("argument")


def test_str_subclass_is_accepted():
    assert parse(Text("<cite>x</cite>")).segments[0].annotations[0].tag == "cite"


def test_empty_input_gives_empty_result():
    assert shape(parse("")) == ("", [], [])


def test_marker_positions_are_utf8_byte_offsets():
    result = parse("é<cite/>ü<note/>")
    assert [m.pos for m in result.markers] == [2, 4]
    assert len(result.text) == 2


def test_result_does_not_follow_later_config_changes():
    config = ParserConfig()
    result = parse("abc<cite>", config)
    before = shape(result)
    config.set_recovery_strategy("cite", "noop")
    config.set_recognized_tags([])
    assert shape(result) == before
    assert shape(parse("abc<cite>", config)) == ("abc", [("abc", [])], [])


def test_cite_preset_treats_other_tags_as_unknown():
    result = parse("a <note>b</note> <cite>c</cite>", ParserConfig.default_cite_config())
    assert shape(result) == ("a b c", [("a b ", []), ("c", [("cite", {})])], [])


@pytest.mark.parametrize(
    "text",
    [
        "caf\xe9 \xff<cite/>x",  # one byte per character, not ASCII
        "\u4e2d\u6587<cite/>\u2028x\uffff",  # two bytes per character
        "\U0001f642<cite/>\U0010ffff\x80\u07ff\u0800",  # four bytes per character
    ],
)
def test_non_ascii_input_parses_by_its_utf8_form_and_is_left_as_it_was(text):
    size_before = sys.getsizeof(text)
    result = parse(text)
    plain = text.replace("<cite/>", "")
    assert result.text == plain
    assert [m.pos for m in result.markers] == [len(text.split("<cite/>")[0].encode("utf-8"))]
    # The string gains no UTF-8 copy of itself from being parsed.
    assert sys.getsizeof(text) == size_before


@pytest.mark.parametrize("wide", ["é", "中", "🙂"])
def test_marker_offsets_read_the_same_every_time(wide):
    # Marker offsets are converted to bytes when first read: a second read,
    # a marker kept from the first, and a read after the segments must all
    # see the same offsets, converted once.
    text = f"{wide}<cite/>a{wide}{wide}<cite/><note>{wide}</note><cite/>"
    offsets = [len(wide.encode()), 1 + 3 * len(wide.encode()), 1 + 4 * len(wide.encode())]
    result = parse(text)
    kept = result.markers[1]
    assert [m.pos for m in result.markers] == offsets
    assert [m.pos for m in result.markers] == offsets
    assert kept.pos == offsets[1] and repr(kept) == f"Marker(pos={offsets[1]}, annotation=Annotation(tag='cite'))"
    later = parse(text)
    assert [s.text for s in later.segments] == [f"{wide}a{wide}{wide}", wide]
    assert [m.pos for m in later.markers] == offsets


@pytest.mark.parametrize("wide", ["", "é", "中", "🙂"])
def test_large_results_read_the_same_as_small_ones(wide):
    # Records of several megabytes live in a block of their own rather than
    # after the result object: every piece must read as in a small result,
    # and the result must report the memory it holds.
    piece = f"{wide}a<note>b{wide}</note> c<cite src=s{wide}/>\n"
    copies = 120_000
    small, large = parse(piece * 3), parse(piece * copies)
    assert sys.getsizeof(large) > 5 << 20 > sys.getsizeof(small)

    def read(segment):
        return segment.text, [(a.tag, a.attrs) for a in segment.annotations]

    # Two segments a piece after the first: the note's, and what lies between.
    assert read(large.segments[0]) == read(small.segments[0])
    assert read(large.segments[-1]) == read(small.segments[-1])
    for i in (0, 1, copies // 2, copies - 2):
        assert [read(s) for s in large.segments[1 + 2 * i : 3 + 2 * i]] == [read(s) for s in small.segments[1:3]]
    step = len(parse(piece).text.encode())  # a marker a piece, at its UTF-8 offset in the text
    assert len(large.markers) == copies
    assert large.markers[-1].pos == small.markers[0].pos + (copies - 1) * step
    assert large.markers[-1].annotation.attrs == {"src": f"s{wide}"}
    del large
    assert parse(piece * 3).text == small.text
