"""The package's records: positions that slice the text they came from, in
bytes and in characters; plain values for JSON; equality by value. Their
notebook display is tested in test_notebook_display."""

import json
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _tagmire_rs
import tagmire
from conftest import CONFIGS
from inputs import hostile_families
from tagmire import Config

PIECES = st.sampled_from([
    "<note kind=x flag>", "</note>", "<cite src='a \"b\"'/>", "<cite>", "<todo>", "</todo>", "<b>", "</b>",
    "<script>alert(1)</script>", "&amp;", "&", "<", ">", "'", '"', " ", "\n", "word", "é", "中", "🙂",
    "\u0301", "\u2028", "<![CDATA[<b>]]>",
])
ANSWERS = st.lists(PIECES, max_size=30).map("".join)


@given(ANSWERS, CONFIGS)
@settings(max_examples=200, deadline=None)
def test_positions_slice_the_text_in_bytes_and_in_characters(text, config):
    result = tagmire.parse(text, config)
    encoded = result.text.encode()
    assert (result.start, result.end, result.char_start, result.char_end) == (0, len(encoded), 0, len(result.text))
    assert not result.provisional
    assert "".join(s.text for s in result.segments) == result.text
    for segment in result.segments:
        assert result.text[segment.char_start:segment.char_end] == segment.text
        assert encoded[segment.start:segment.end] == segment.text.encode()
        assert not segment.continues
    for marker in result.markers:
        assert marker.char_pos == len(encoded[:marker.pos].decode())
    # The same answer as the module's, whose bare keys read True.
    module = _tagmire_rs.parse(text, config.to_parser_config())
    assert result.text == module.text
    assert [(m.pos, m.annotation.tag) for m in result.markers] == [(m.pos, m.annotation.tag) for m in module.markers]


@given(ANSWERS, CONFIGS)
@settings(max_examples=100, deadline=None)
def test_to_dict_is_plain_json_that_mirrors_the_attributes(text, config):
    result = tagmire.parse(text, config)
    plain = result.to_dict()
    assert json.loads(json.dumps(plain)) == plain
    assert plain["text"] == result.text
    assert [s["text"] for s in plain["segments"]] == [s.text for s in result.segments]
    assert [s["annotations"] for s in plain["segments"]] == [
        [{"tag": a.tag, "attrs": a.attrs} for a in s.annotations] for s in result.segments]
    assert [(m["pos"], m["char_pos"], m["annotation"]) for m in plain["markers"]] == [
        (m.pos, m.char_pos, m.annotation.to_dict()) for m in result.markers]


def test_records_compare_by_value_and_read_back_in_their_repr():
    text = "Café <note kind=x flag>deep</note> end<cite src=w/>"
    first, second = tagmire.parse(text), tagmire.parse(text)
    assert first == second and first is not second
    assert first.segments == second.segments and first.markers == second.markers
    assert first != tagmire.parse(text, Config.cite())
    assert first.segments[1] != first.segments[0]
    with pytest.raises(TypeError, match="unhashable"):
        hash(first)
    assert repr(first.segments[1]) == (
        "Segment(text='deep', start=6, end=10, char_start=5, char_end=9, "
        "annotations=(Annotation(tag='note', attrs={'kind': 'x', 'flag': None}),), continues=False)")
    assert repr(first) == (
        "<ParsedText 0-14, characters 0-13: 3 segments, 1 markers, text='Café deep end'>")


@pytest.mark.parametrize("config", [None, Config(), Config.cite(), Config.cite().to_parser_config()])
def test_parse_takes_every_form_of_configuration(config):
    expected = Config.cite() if config is not None and (
        config == Config.cite() or isinstance(config, tagmire.ParserConfig)) else Config()
    text = "a <note>b</note> c<cite/>"
    assert tagmire.parse(text, config) == tagmire.parse(text, expected)


@pytest.mark.parametrize("config, message", [
    ("cite", "config must be None, a tagmire.Config or a ParserConfig, not str"),
    ({}, "config must be None, a tagmire.Config or a ParserConfig, not dict"),
])
def test_parse_refuses_other_configurations_by_name(config, message):
    with pytest.raises(TypeError, match=message):
        tagmire.parse("x", config)


def test_hostile_families_read_as_the_module_reads_them_large_records_included():
    # At 4 MB the records of the densest families outgrow the object they
    # would follow and lie in a block of their own.
    sizes = []
    for family in hostile_families.FAMILIES:
        # None is the module's preset here: the package's own default differs.
        text, config = family.make(4 << 20), family.config.build() or _tagmire_rs.ParserConfig()
        result, module = tagmire.parse(text, config), _tagmire_rs.parse(text, config)
        sizes.append(sys.getsizeof(result))
        assert result.text == module.text, family.name
        segments, expected = result.segments, module.segments
        assert len(segments) == len(expected), family.name
        for i in range(0, len(segments), max(1, len(segments) // 50)):
            assert segments[i].text == expected[i].text, (family.name, i)
            assert [(a.tag, {k: True if v is None else v for k, v in a.attrs.items()})
                    for a in segments[i].annotations] == [(a.tag, a.attrs) for a in expected[i].annotations]
        assert [(m.pos, m.annotation.tag) for m in result.markers] == [
            (m.pos, m.annotation.tag) for m in module.markers], family.name
    assert max(sizes) > 4 << 20
