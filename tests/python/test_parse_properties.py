"""Properties that hold for every input and configuration."""

from hypothesis import given
from hypothesis import strategies as st

from _tagmire_rs import ParserConfig, parse
from conftest import RECOVERY_KEYWORDS, TAG_NAMES, TEXTS, UNKNOWN_MODES, shape


@st.composite
def configs(draw):
    if draw(st.booleans()):
        return None
    config = draw(st.sampled_from([ParserConfig, ParserConfig.default_cite_config]))()
    if draw(st.booleans()):
        config.set_recognized_tags(draw(st.lists(TAG_NAMES, max_size=6)))
    for tag, strategy in draw(st.lists(st.tuples(TAG_NAMES, RECOVERY_KEYWORDS), max_size=4)):
        config.set_recovery_strategy(tag, strategy)
    config.set_unknown_mode(draw(st.sampled_from(UNKNOWN_MODES)))
    config.set_trim_punctuation(draw(st.booleans()))
    config.set_autoclose_on_any_tag(draw(st.booleans()))
    config.set_autoclose_on_same_tag(draw(st.booleans()))
    config.set_case_sensitive_tags(draw(st.booleans()))
    return config


@given(TEXTS, configs())
def test_segments_join_to_the_text(text, config):
    result = parse(text, config)
    segments = result.segments
    assert "".join(s.text for s in segments) == result.text
    assert all(s.text for s in segments)
    assert bool(segments) == bool(result.text)


@given(TEXTS, configs())
def test_markers_are_ordered_byte_offsets_within_the_text(text, config):
    result = parse(text, config)
    positions = [m.pos for m in result.markers]
    assert positions == sorted(positions)
    assert all(0 <= pos <= len(result.text.encode("utf-8")) for pos in positions)


@given(TEXTS, TEXTS, configs())
def test_a_parse_depends_on_its_input_and_configuration_only(text, other, config):
    result = parse(text, config)
    # Other parses in between, with the same object and with the default,
    # must not change the object, leave state behind in the module, or
    # reuse memory that the first result still reads from.
    parse(other, config)
    parse(other)
    assert shape(result) == shape(parse(text, config))


@given(TEXTS, configs())
def test_reprs_agree_with_properties(text, config):
    result = parse(text, config)
    assert repr(result) == (
        f"ParseResult(text_len={len(result.text.encode())}, "
        f"segments={len(result.segments)}, markers={len(result.markers)})"
    )
    for segment in result.segments:
        tags = ", ".join(f"Annotation(tag='{a.tag}')" for a in segment.annotations)
        assert repr(segment) == f"Segment(text='{segment.text.replace(chr(39), chr(34))}', annotations={tags})"
    for marker in result.markers:
        assert repr(marker) == f"Marker(pos={marker.pos}, annotation=Annotation(tag='{marker.annotation.tag}'))"


ATTRIBUTES = st.lists(
    st.tuples(st.sampled_from([f"k{i}" for i in range(24)] + ["K0", "k-0", "k_0"]),
              st.none() | st.text(st.sampled_from("ab é中🙂"), max_size=4)),
    max_size=60,
)


@given(ATTRIBUTES, st.sampled_from(["", "é", "中", "🙂"]), st.booleans())
def test_a_repeated_key_keeps_its_first_place_and_its_last_value(attributes, wide, point):
    # A handful of attributes and a long list are de-duplicated differently
    # (the long one through an index): both must read as a dict filled in
    # order, in every form of str.
    expected: dict = {}
    for key, value in attributes:
        expected[key] = True if value is None else value
    source = "".join(f" {key}" if value is None else f' {key}="{value}"' for key, value in attributes)
    if point:
        [marker] = parse(f"{wide}<cite{source}/>").markers
        annotation = marker.annotation
    else:
        [segment] = parse(f"<note{source}>{wide}x</note>").segments
        [annotation] = segment.annotations
    assert list(annotation.attrs.items()) == list(expected.items())
