"""ParseResult, Segment, Annotation, Marker: read-only views built afresh on every read."""

import gc
import sys
import weakref

import pytest

import _tagmire_rs
import tagmire
from _tagmire_rs import ParserConfig, parse

SOURCE = 'héllo <cite id="7" urgent>it\'s</cite> wörld<note n="1"/>'


@pytest.fixture
def result():
    return parse(SOURCE)


def sample_instances():
    result = parse(SOURCE)
    segment = result.segments[1]
    return {
        "ParseResult": result,
        "Segment": segment,
        "Annotation": segment.annotations[0],
        "Marker": result.markers[0],
    }


def test_properties_hold_the_parsed_values(result):
    assert result.text == "héllo it's wörld"
    assert [s.text for s in result.segments] == ["héllo ", "it's", " wörld"]
    cite = result.segments[1].annotations[0]
    assert (cite.tag, cite.attrs) == ("cite", {"id": "7", "urgent": True})
    assert list(cite.attrs) == ["id", "urgent"]
    [marker] = result.markers
    assert marker.pos == len(result.text.encode())
    assert (marker.annotation.tag, marker.annotation.attrs) == ("note", {"n": "1"})


@pytest.mark.parametrize(
    "read",
    [
        lambda r: r.segments,
        lambda r: r.markers,
        lambda r: r.segments[0],
        lambda r: r.segments[1].text,
        lambda r: r.segments[1].annotations,
        lambda r: r.segments[1].annotations[0],
        lambda r: r.segments[1].annotations[0].attrs,
        lambda r: r.markers[0].annotation,
        lambda r: r.markers[0].annotation.tag,
    ],
)
def test_every_read_builds_a_new_object(result, read):
    first, second = read(result), read(result)
    assert first is not second
    assert type(first) is type(second)


def test_the_text_is_built_once_and_shared_by_every_read(result):
    # A str cannot change, and a second copy of a large text would double
    # the memory a result takes.
    assert result.text is result.text


def test_changing_a_returned_container_changes_nothing(result):
    result.segments.append(None)
    result.markers.clear()
    result.segments[1].annotations[0].attrs.pop("id")
    result.markers[0].annotation.attrs["n"] = "changed"
    assert len(result.segments) == 3
    assert result.segments[1].annotations[0].attrs == {"id": "7", "urgent": True}
    assert result.markers[0].annotation.attrs == {"n": "1"}


@pytest.mark.parametrize("name", ["ParseResult", "Segment", "Annotation", "Marker"])
def test_instances_compare_and_hash_by_identity(name):
    # Two parses of one text: equal content, distinct objects.
    first, second = sample_instances()[name], sample_instances()[name]
    assert first != second
    assert not first == second
    # Hashable, and found again by identity, so they can be kept in sets.
    assert len({first, second, first}) == 2
    assert second not in {first}


def test_elements_outlive_their_result():
    result = parse(SOURCE)
    segment = result.segments[1]
    annotation = segment.annotations[0]
    del result
    gc.collect()
    assert (segment.text, annotation.tag, annotation.attrs["id"]) == ("it's", "cite", "7")


@pytest.mark.parametrize("parse_text", [parse, tagmire.parse], ids=["module", "package"])
def test_annotations_are_read_from_the_input_the_result_keeps(parse_text):
    # Annotations are read from their tags' text in the input when they are
    # read: the result holds one reference to the input, and gives it back.
    source = "".join(["x", SOURCE])  # a str no one else refers to
    before = sys.getrefcount(source)
    result = parse_text(source)
    assert sys.getrefcount(source) == before + 1
    del result
    gc.collect()
    assert sys.getrefcount(source) == before
    annotation = parse_text(source).segments[1].annotations[0]
    del source
    gc.collect()
    assert (annotation.tag, annotation.attrs["id"]) == ("cite", "7")


@pytest.mark.parametrize(
    ("make", "expected"),
    [
        (lambda: parse("héllo"), "ParseResult(text_len=6, segments=1, markers=0)"),
        (lambda: parse(SOURCE), "ParseResult(text_len=18, segments=3, markers=1)"),
        (lambda: parse("<cite/>"), "ParseResult(text_len=0, segments=0, markers=1)"),
        (lambda: parse("it's").segments[0], "Segment(text='it\"s', annotations=)"),
        (lambda: parse("ü\n'\t").segments[0], "Segment(text='ü\n\"\t', annotations=)"),
        (lambda: parse(SOURCE).segments[1], "Segment(text='it\"s', annotations=Annotation(tag='cite'))"),
        (lambda: parse("<Cite>x</Cite>").segments[0].annotations[0], "Annotation(tag='Cite', attrs={})"),
        (
            lambda: parse('<cite q=\'say "hi"\nnow\' it=\'x\' bare>t</cite>').segments[0].annotations[0],
            'Annotation(tag=\'cite\', attrs={"q": Str("say \\"hi\\"\\nnow"), "it": Str("x"), "bare": Bool(true)})',
        ),
        (
            lambda: parse('<cite v="é\u00a0\u0301\\">t</cite>').segments[0].annotations[0],
            'Annotation(tag=\'cite\', attrs={"v": Str("é\\u{a0}\\u{301}\\\\")})',
        ),
        (lambda: parse('abc<note id="1" x/>').markers[0], "Marker(pos=3, annotation=Annotation(tag='note'))"),
    ],
)
def test_repr(make, expected):
    instance = make()
    assert repr(instance) == expected
    assert str(instance) == expected


def test_segment_repr_lists_tags_only_in_recorded_order():
    config = ParserConfig()
    config.set_autoclose_on_any_tag(False)
    result = parse('<cite a="1"><note b="2">x</note></cite>', config)
    [segment] = result.segments
    # Spans are recorded as they close: the inner one first.
    assert [a.tag for a in segment.annotations] == ["note", "cite"]
    assert repr(segment) == "Segment(text='x', annotations=Annotation(tag='note'), Annotation(tag='cite'))"


@pytest.mark.parametrize("name", ["ParseResult", "Segment", "Annotation", "Marker"])
def test_classes_have_no_constructor(name):
    cls = getattr(_tagmire_rs, name)
    for args in [(), ("x",)]:
        with pytest.raises(TypeError) as caught:
            cls(*args)
        assert str(caught.value) == "No constructor defined"


@pytest.mark.parametrize("name", ["ParseResult", "Segment", "Annotation", "Marker", "ParserConfig"])
def test_classes_cannot_be_subclassed(name):
    with pytest.raises(TypeError):
        type("Sub", (getattr(_tagmire_rs, name),), {})


@pytest.mark.parametrize(
    ("name", "attribute"),
    [
        ("ParseResult", "text"),
        ("ParseResult", "segments"),
        ("ParseResult", "markers"),
        ("Segment", "text"),
        ("Segment", "annotations"),
        ("Annotation", "tag"),
        ("Annotation", "attrs"),
        ("Marker", "pos"),
        ("Marker", "annotation"),
        ("Marker", "other"),
    ],
)
def test_instances_are_read_only(name, attribute):
    instance = sample_instances()[name]
    with pytest.raises(AttributeError):
        setattr(instance, attribute, None)
    with pytest.raises(AttributeError):
        delattr(instance, attribute)


@pytest.mark.parametrize("name", ["ParseResult", "Segment", "Annotation", "Marker", "ParserConfig"])
def test_instances_have_no_dict_and_no_weakrefs(name):
    instance = sample_instances()[name] if name != "ParserConfig" else ParserConfig()
    assert not hasattr(instance, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(instance)


@pytest.mark.parametrize(
    "operation",
    [len, iter, lambda x: x[0], lambda x: x < x],
)
def test_no_special_methods_beyond_repr(operation):
    with pytest.raises(TypeError):
        operation(sample_instances()["Segment"])


def test_reads_release_what_they_make():
    result = parse(SOURCE * 20)
    types = [_tagmire_rs.Segment, _tagmire_rs.Annotation, _tagmire_rs.Marker, _tagmire_rs.ParseResult]

    def exercise():
        for segment in result.segments:
            repr(segment)
            [a.attrs for a in segment.annotations]
        [repr(m.annotation) for m in result.markers]
        parse(SOURCE, ParserConfig())

    exercise()
    before = [sys.getrefcount(t) for t in types]
    for _ in range(50):
        exercise()
    assert [sys.getrefcount(t) for t in types] == before
