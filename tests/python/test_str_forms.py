"""A str is read in the form CPython keeps it in (one, two or four bytes per
character) and the text is built in the narrowest form that holds it. The
same text must give the same result whatever form the input came in, and
every str handed out must equal, and hash like, the same text built any
other way."""

import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _tagmire_rs import ParserConfig, parse
from conftest import shape

# Characters of each width, and characters next to the surrogates.
ONE_BYTE = "aé\xa0\xff"
TWO_BYTE = "中\u3000\u2028\ud7ff\ue000\uffff"
FOUR_BYTE = "🙂\U0001d800\U0001dfff\U0010ffff"

pieces = st.sampled_from(
    ["<note>", "</note>", "<cite/>", "<cite src='x'>", "<b>", "\n", " ", ".", "word", "<![CDATA[<x>]]>"]
    + list(ONE_BYTE + TWO_BYTE + FOUR_BYTE)
)
texts = st.lists(pieces, max_size=30).map("".join)


def widened(text: str, wide: str) -> str:
    """`text` with a tag no configuration here recognises carrying `wide`:
    the input is as wide as `wide`, the text it parses to is not."""
    return text + f"<zz a='{wide}'>"


def kind(s: str) -> int:
    return 1 if max(s, default="a") <= "\xff" else 2 if max(s) <= "\uffff" else 4


@given(texts, st.sampled_from(["é", "中", "🙂"]))
@settings(max_examples=300)
def test_a_wider_input_gives_the_same_result_as_a_narrower_one(text, wide):
    assert shape(parse(widened(text, wide))) == shape(parse(text))


@given(texts, st.sampled_from(["é", "中", "🙂"]))
@settings(max_examples=200)
def test_strs_handed_out_are_in_their_narrowest_form(text, wide):
    result = parse(widened(text, wide))
    for s in [result.text] + [segment.text for segment in result.segments]:
        rebuilt = s.encode().decode()  # decoding builds the narrowest form
        assert s == rebuilt and hash(s) == hash(rebuilt)
        # Single characters may be the interpreter's shared objects, which
        # can carry a cached UTF-8 form that their size counts.
        if len(s) > 1:
            assert sys.getsizeof(s) == sys.getsizeof(rebuilt)


@pytest.mark.parametrize("char", list(ONE_BYTE + TWO_BYTE + FOUR_BYTE))
def test_characters_next_to_the_surrogates_are_not_surrogates(char):
    result = parse(f"{char}<cite/>{char}")
    assert result.text == char * 2
    assert result.markers[0].pos == len(char.encode())


@pytest.mark.parametrize("surrogate", ["\ud800", "\udbff", "\udc00", "\udfff"])
@pytest.mark.parametrize("company", ["", "é", "中", "🙂"])
def test_a_lone_surrogate_in_any_form_is_refused_as_encoding_refuses_it(surrogate, company):
    text = f"{company}a<cite x='{surrogate}'/>b"
    with pytest.raises(UnicodeEncodeError) as refused:
        parse(text)
    with pytest.raises(UnicodeEncodeError) as encoding:
        text.encode("utf-8")
    assert str(refused.value) == str(encoding.value)


@given(texts)
@settings(max_examples=200)
def test_marker_positions_count_utf8_bytes_in_every_form(text):
    result = parse(text)
    encoded = result.text.encode()
    for marker in result.markers:
        encoded[: marker.pos].decode()  # raises unless on a character boundary
    assert repr(result).startswith(f"ParseResult(text_len={len(encoded)},")


def test_a_config_parses_wide_input_in_place_too():
    config = ParserConfig()
    config.set_recognized_tags(["citation"])  # recovers backwards: no strategy set
    result = parse("🙂 x<Citation id='中'>y", config)
    [segment] = [s for s in result.segments if s.annotations]
    assert (segment.text, segment.annotations[0].tag, segment.annotations[0].attrs) == ("🙂 x", "Citation", {"id": "中"})
    assert kind(result.text) == 4


# A lone surrogate is found by the parse's own walk, which reads every unit
# once: in a run it copies, in a tag it strips or keeps, in an attribute, in
# a CDATA section, right after a `<` that begins nothing, and on both sides
# of the vector edges of a long run. Wherever it stands, the str is refused
# with the interpreter's own error, as encoding it would be.
SURROUNDINGS = [
    "{s}", "a{s}b", "x" * 31 + "{s}", "x" * 32 + "{s}", "x" * 63 + "{s}" + "y" * 40, "<note>{s}</note>",
    "<zz a='{s}'>", "<cite src=\"{s}\"/>", "<{s}>", "<b{s}>", "<![CDATA[{s}]]>", "<![CDATA[{s}", "<{s}",
    "< {s} >", "<note>" + "w " * 40 + "{s}", "text\n{s}\n",
    # Short tags after a run, tested together with the units before them.
    "x" * 40 + "<b{s}>", "x" * 12 + "<{s}>", "x" * 40 + "</{s}>y", "x" * 9 + "<i a={s}>",
    # Early in a tag far longer than a vector.
    "<cite src='{s}' title='" + "y" * 40 + "'/>",
]


@pytest.mark.parametrize("wide", ["", "中", "🙂"], ids=["two-byte", "with-two-byte", "four-byte"])
@pytest.mark.parametrize("surrogate", ["\ud800", "\udbff", "\udc00", "\udfff"])
@pytest.mark.parametrize("around", SURROUNDINGS)
def test_a_lone_surrogate_anywhere_raises_the_encoding_error(around, surrogate, wide):
    text = wide + around.format(s=surrogate)
    with pytest.raises(UnicodeEncodeError) as expected:
        text.encode()
    for config in (None, ParserConfig(), ParserConfig.default_cite_config()):
        with pytest.raises(UnicodeEncodeError) as caught:
            parse(text, config)
        assert str(caught.value) == str(expected.value)


def test_a_lone_surrogate_comes_before_a_wrong_config():
    with pytest.raises(UnicodeEncodeError):
        parse("a\ud800<cite/>", config=42)
    with pytest.raises(TypeError):
        parse("a<cite/>", config=42)


@pytest.mark.slow
@pytest.mark.parametrize("wide", ["é", "中", "🙂"])
def test_a_str_past_what_the_allocator_keeps_parses_whole(wide):
    # Texts of more than 32 MB are written straight into their str, on huge
    # pages where the kernel has them: every character must land.
    piece = f"ab{wide}<note>c</note>\n"
    text = piece * ((34 << 20) // kind(wide) // len(piece))
    assert len(text) * kind(wide) > 32 << 20
    result = parse(text)
    assert result.text == text.replace("<note>", "").replace("</note>", "")
    assert len(result.segments) == 2 * text.count("<note>") + 1


@pytest.mark.parametrize("wide", ["", "é", "中", "🙂"])
@pytest.mark.parametrize("size", [(64 << 10) - 40, (64 << 10) + 40, 3 << 20])
def test_texts_on_either_side_of_the_thread_buffer_read_whole(wide, size):
    # Small texts are copied out of a per-thread buffer, larger ones written
    # straight into a str as long as the input and shrunk, or copied into a
    # narrower one: each way must hand out the whole text in its narrowest form.
    piece = f"ab{wide}<note>c</note> "
    tagged = piece * (size // max(1, kind(piece)) // len(piece))
    untagged = tagged.replace("<note>", "").replace("</note>", "")
    narrowed = untagged.replace(wide, "x") if wide else untagged
    for text, expected in [
        (tagged, untagged),
        (untagged, untagged),  # the text is as long as the input
        (widened(narrowed, wide), narrowed),  # the input is wider than its text
    ]:
        got = parse(text).text
        assert got == expected
        assert sys.getsizeof(got) == sys.getsizeof("".join(list(expected)))
