"""What must not break: huge, deep, malformed and adversarial inputs, and
arguments built to misbehave. Every case ends in a result or in exactly the
exception defined for it. Cases marked slow run in CI's robustness step
(pytest -m slow)."""

import array
import time

import pytest

from _tagmire_rs import ParserConfig, parse
from conftest import CallbackSequence, Text, cannot_convert, check_result, encoding_error, fake_numpy_bool, observed
from inputs import hostile_families

pytestmark = pytest.mark.usefixtures("hang_guard")

MB = 1 << 20


def config_with(autoclose=True, strategy=None):
    config = ParserConfig()
    if not autoclose:
        config.set_autoclose_on_any_tag(False)
        config.set_autoclose_on_same_tag(False)
    if strategy is not None:
        for tag in ["cite", "note", "todo", "claim", "risk", "code"]:
            config.set_recovery_strategy(tag, strategy)
    return config


def repeat(piece, size):
    """`piece` repeated to at least `size` characters."""
    return piece * -(-size // len(piece))


# The hostile families, each with the configuration that exposes it: every
# one of them makes a plain parser quadratic. inputs/hostile_families.py
# defines them for these tests and for the benchmarks in both languages.
FAMILIES = {family.name: family for family in hostile_families.FAMILIES}


@pytest.mark.parametrize("family", FAMILIES)
def test_adversarial_families_parse_to_consistent_results(family):
    family = FAMILIES[family]
    check_result(parse(family.make(MB), family.config.build()))


@pytest.mark.slow
@pytest.mark.parametrize("family", FAMILIES)
def test_adversarial_families_finish_in_linear_time(family):
    family = FAMILIES[family]
    text = family.make(8 * MB)
    start = time.process_time()
    result = parse(text, family.config.build())
    seconds = time.process_time() - start
    check_result(result)
    # Linear work takes well under a second here (a few under a sanitizer);
    # quadratic work on 8 MB takes hours. How the time grows with the size is
    # measured by the benchmarks (bench/scaling.py).
    assert seconds < 20, f"{family.name}: {seconds:.1f} s of CPU for 8 MB"


def test_same_tag_family_keeps_thousands_of_tags_open():
    family = FAMILIES["distinct_names_same_tag_autoclose"]
    text = family.make(MB)
    # Each <t0> closes the whole stack above the previous one; the tags from
    # the last <t0> on stay open and all cover the final w.
    open_at_end = text[text.rindex("<t0>"):].count("<")
    assert open_at_end > 4000
    config = family.config.build()
    [segment] = check_result(parse(text, config))
    assert segment.text == "w"
    assert [a.tag for a in segment.annotations] == [f"t{i}" for i in reversed(range(open_at_end))]
    # With any-tag auto-close on, each tag empties the stack: one is left.
    config.set_autoclose_on_any_tag(True)
    [segment] = parse(text, config).segments
    assert [a.tag for a in segment.annotations] == [f"t{open_at_end - 1}"]


def test_cpp_families_are_generated_from_the_current_definitions():
    assert hostile_families.HEADER.read_text() == hostile_families.render_header(), (
        "inputs/hostile_inputs.h is stale: run python inputs/hostile_families.py --write")


@pytest.mark.slow
def test_hundred_megabytes_of_tagged_prose():
    unit = "Water boils at 100 C.<cite>\n<note id=n1>verify <todo/>altitude</note> é🙂 "
    source = repeat(unit, 100 * MB)
    result = parse(source)
    per_unit = "Water boils at 100 C.\nverify altitude é🙂 "
    units = len(source) // len(unit)
    assert result.text == per_unit * units
    assert len(result.markers) == units
    segments = check_result(result)
    one = parse(unit).segments
    assert [(s.text, s.annotations[0].tag if s.annotations else None) for s in segments[:3]] == [
        (s.text, s.annotations[0].tag if s.annotations else None) for s in one[:3]]


@pytest.mark.slow
def test_hundred_megabytes_without_tags_is_one_segment():
    source = repeat("plain words, no markup at all.\n", 100 * MB)
    result = parse(source)
    assert result.text == source
    [segment] = result.segments
    assert segment.text == source and segment.annotations == []


@pytest.mark.slow
def test_a_million_nested_tags_then_a_million_unmatched_closes():
    config = config_with(autoclose=False)
    nested = parse("<note>" * 1_000_000 + "x", config)
    [segment] = nested.segments
    assert segment.text == "x"
    annotations = segment.annotations
    assert len(annotations) == 1_000_000 and {a.tag for a in annotations} == {"note"}
    assert parse("</note>" * 1_000_000 + "x", config).text == "x"
    # Closing the innermost of a million open tags, then the outermost.
    closed = parse("<cite>a" + "<note>" * 1_000_000 + "b" + "</note>" * 1_000_000 + "</cite>", config)
    assert [(s.text, len(s.annotations)) for s in closed.segments] == [("a", 1), ("b", 1_000_001)]
    # Every tag of a deep stack taken off by one auto-closing tag.
    config.set_autoclose_on_any_tag(True)
    assert parse("x" + "<note>" * 1_000_000 + "<cite/>", config).markers[0].pos == 1


@pytest.mark.slow
def test_a_million_markers():
    result = parse("a<cite/>" * 1_000_000)
    markers = result.markers
    assert len(markers) == 1_000_000
    assert [m.pos for m in markers[:3]] == [1, 2, 3] and markers[-1].pos == 1_000_000


@pytest.mark.slow
def test_one_tag_with_a_hundred_thousand_attributes():
    source = "<note " + " ".join(f'k{i}="v{i}"' for i in range(100_000)) + ">x</note>"
    [segment] = parse(source).segments
    [annotation] = segment.annotations
    attrs = annotation.attrs
    assert list(attrs) == [f"k{i}" for i in range(100_000)]
    assert attrs["k99999"] == "v99999"
    assert repr(annotation).startswith("Annotation(tag='note', attrs={\"k0\": Str(\"v0\"), ")
    # One key a hundred thousand times: the last value wins, in one entry.
    [marker] = parse("<cite " + " ".join(f"k={i}" for i in range(100_000)) + "/>").markers
    assert marker.annotation.attrs == {"k": "99999"}


FIFTY_MB = 50 * MB


@pytest.mark.slow
@pytest.mark.parametrize(
    "make",
    [
        lambda: ("a<note v='" + "x" * FIFTY_MB + "'>b</note>", "ab"),
        lambda: ("a<note" + " " * FIFTY_MB + ">b</note>", "ab"),
        lambda: ("a<note" + " k" * (FIFTY_MB // 2) + "/>b", "ab"),
        # No `>` anywhere after the `<`: not a tag, all text.
        lambda: ("a<note v='" + "x" * FIFTY_MB,) * 2,
        lambda: ("<" * FIFTY_MB,) * 2,
    ],
    ids=["quoted-value", "white-space", "bare-keys", "unterminated", "lt-only"],
)
def test_fifty_megabyte_tags(make):
    source, text = make()
    result = parse(source)
    assert result.text == text
    check_result(result)


@pytest.mark.parametrize(
    "source",
    [
        "\0<cite>\0</cite>\0",
        "<cite\0 a\0=\0>x",
        "\U0010ffff<note>\U000e0001\ufeff\u200b",
        "\r" * 1000 + "<note>" + "\u2028" * 1000,
        "<![CDATA[" * 1000,
        "]]>" * 1000 + "<![CDATA[<cite>",
        "<cite " + "'" * 1001 + ">" + '"' * 1001,
    ],
)
def test_odd_characters_are_ordinary_text(source):
    check_result(parse(source))
    check_result(parse(source, config_with(autoclose=False, strategy="forward_next_token")))


def test_str_subclass_overrides_are_not_consulted():
    source = "a<cite id=1/>b<note>c"
    plain = parse(source)
    result = parse(Text(source))
    assert (result.text, [m.pos for m in result.markers]) == (plain.text, [m.pos for m in plain.markers])


@pytest.mark.parametrize(
    "sample",
    ["é<cite/>\xff", "中<cite/>文", "🙂<cite/>\U0010ffff", "\x80\u07ff\u0800<cite/>\uffff\U00010000", "a" * 100 + "é<cite/>"],
    ids=["latin-1", "bmp", "astral", "boundaries", "long-ascii-prefix"],
)
def test_every_string_kind_parses_the_same_with_or_without_its_utf8_cached(sample):
    fresh = "".join(list(sample))  # a new object, its UTF-8 form not made yet
    cached = "".join(list(sample))
    ParserConfig().set_recovery_strategy(cached, "noop")  # makes and keeps it
    results = [parse(text) for text in (fresh, cached, Text(sample))]
    expected = sample.replace("<cite/>", "")
    position = len(sample[: sample.index("<cite/>")].encode())
    assert [(r.text, [m.pos for m in r.markers]) for r in results] == [(expected, [position])] * 3


# --- lone surrogates -------------------------------------------------------

SURROGATES = ["\ud800", "a\udfffb", "<cite>\udc80</cite>", "\ud83d\ude00", Text("\udbff")]


@pytest.mark.parametrize("text", SURROGATES, ids=["high", "low", "in-tag", "pair", "subclass"])
@pytest.mark.parametrize(
    "call",
    [
        lambda config, s: parse(s),
        lambda config, s: parse(s, config),
        lambda config, s: parse(input=s, config=config),
        lambda config, s: config.set_unknown_mode(s),
        lambda config, s: config.set_recovery_strategy(s, "noop"),
        lambda config, s: config.set_recovery_strategy("cite", s),
        lambda config, s: config.set_recognized_tags(["cite", s]),
        lambda config, s: config.set_recognized_tags(("cite", s)),
        lambda config, s: config.set_recognized_tags(Items(["cite", s])),
    ],
    ids=["parse", "parse-config", "parse-keywords", "mode", "tag", "strategy", "list", "tuple", "sequence"],
)
def test_lone_surrogates_raise_the_encoding_error_unchanged(call, text):
    config = ParserConfig()
    with pytest.raises(UnicodeEncodeError) as caught:
        call(config, text)
    assert str(caught.value) == str(encoding_error(text))
    assert observed(config) == observed(ParserConfig())


# --- every wrong argument type ---------------------------------------------


# A sequence implemented in Python: every access runs Python code.
Items = CallbackSequence


class Outer:
    class Inner:
        pass


def generator():
    yield "cite"


# Values that are no str, no bool and no ParserConfig, with the qualified
# type name the messages must show.
NOT_TEXT = [
    None, 0, 1, -(2**70), 1.5, 1j, b"cite", bytearray(b"cite"), memoryview(b"cite"), ["cite"], ("cite",),
    {"cite"}, frozenset(), {"cite": 1}, {}.keys(), range(3), array.array("i", [1, 2]), generator(), iter("x"),
    object(), Outer.Inner(), Outer, len, Ellipsis, NotImplemented, ParserConfig(), ParserConfig, type,
    slice(1), Items(["cite"]), Exception("cite"),
]
NOT_TEXT_IDS = [type(value).__qualname__ for value in NOT_TEXT]


def assert_type_error(call, message):
    config = ParserConfig()
    with pytest.raises(TypeError) as caught:
        call(config)
    assert type(caught.value) is TypeError
    assert str(caught.value) == message
    assert observed(config) == observed(ParserConfig())


@pytest.mark.parametrize("value", NOT_TEXT + [True, False], ids=NOT_TEXT_IDS + ["True", "False"])
@pytest.mark.parametrize(
    ("call", "param"),
    [
        (lambda config, v: parse(v), "input"),
        (lambda config, v: parse(v, {}), "input"),
        (lambda config, v: parse(input=v, config=config), "input"),
        (lambda config, v: config.set_unknown_mode(v), "mode"),
        (lambda config, v: config.set_unknown_mode(mode=v), "mode"),
        (lambda config, v: config.set_recovery_strategy(v, "noop"), "tag"),
        (lambda config, v: config.set_recovery_strategy(v, 1), "tag"),
        (lambda config, v: config.set_recovery_strategy("cite", v), "strategy"),
        (lambda config, v: config.set_recovery_strategy(strategy=v, tag="cite"), "strategy"),
    ],
    ids=["parse", "parse-both-wrong", "parse-keywords", "mode", "mode-keyword", "tag", "tag-first", "strategy",
         "strategy-keyword"],
)
def test_text_parameters_reject_every_other_type(call, param, value):
    assert_type_error(lambda config: call(config, value), cannot_convert(param, value, "PyString"))


NOT_CONFIG = [v for v in NOT_TEXT if v is not None and type(v) is not ParserConfig] + ["x", True]


@pytest.mark.parametrize("value", NOT_CONFIG, ids=[type(v).__qualname__ for v in NOT_CONFIG])
def test_config_parameter_rejects_every_other_type(value):
    assert_type_error(lambda config: parse("x", value), cannot_convert("config", value, "ParserConfig"))
    assert_type_error(lambda config: parse(config=value, input="x"), cannot_convert("config", value, "ParserConfig"))


@pytest.mark.parametrize("value", NOT_TEXT + ["true", "", 0.0], ids=NOT_TEXT_IDS + ["str", "empty", "zero"])
@pytest.mark.parametrize(
    "setter", ["set_trim_punctuation", "set_autoclose_on_any_tag", "set_autoclose_on_same_tag", "set_case_sensitive_tags"]
)
def test_flag_parameters_reject_every_other_type(setter, value):
    assert_type_error(lambda config: getattr(config, setter)(value), cannot_convert("val", value, "PyBool"))
    assert_type_error(lambda config: getattr(config, setter)(val=value), cannot_convert("val", value, "PyBool"))


SEQUENCES = (list, tuple, bytes, bytearray, memoryview, range, array.array, Items)


@pytest.mark.parametrize("value", NOT_TEXT, ids=NOT_TEXT_IDS)
def test_tags_parameter_rejects_non_sequences_and_non_str_items(value):
    if isinstance(value, SEQUENCES):
        items = list(value)
        bad = next(item for item in items if not isinstance(item, str)) if items and not all(
            isinstance(item, str) for item in items) else None
        if bad is None:
            config = ParserConfig()
            config.set_recognized_tags(value)
            return
        message = cannot_convert("tags", bad, "PyString")
    else:
        message = cannot_convert("tags", value, "Sequence")
    assert_type_error(lambda config: config.set_recognized_tags(value), message)
    assert_type_error(lambda config: config.set_recognized_tags([value]),
                      cannot_convert("tags", value, "PyString"))


@pytest.mark.parametrize(
    "tags", [["note", "cite", 3], ("note", None), Items(["note", b"cite"]), [["cite"]]], ids=str
)
def test_a_bad_item_anywhere_leaves_the_previous_set(tags):
    bad = [item for item in tags if not isinstance(item, str)][0]
    assert_type_error(lambda config: config.set_recognized_tags(tags), cannot_convert("tags", bad, "PyString"))


# --- sequences and flags that misbehave ------------------------------------


def raise_(error):
    def hook(*args):
        raise error

    return hook


class Interrupt(BaseException):
    pass


@pytest.mark.parametrize(
    ("tags", "error", "message"),
    [
        (CallbackSequence(["claim"], length=raise_(ValueError("len"))), ValueError, "len"),
        (CallbackSequence(["claim"], length=raise_(Interrupt("stop"))), Interrupt, "stop"),
        (CallbackSequence(["claim"], length=raise_(TypeError("len"))), TypeError, "argument 'tags': len"),
        (CallbackSequence(["claim"], length=-1), ValueError, "__len__() should return >= 0"),
        (CallbackSequence(["claim"], length=2**100), OverflowError, "cannot fit 'int' into an index-sized integer"),
        (CallbackSequence(["claim"], length="1"), TypeError, "argument 'tags': 'str' object cannot be interpreted as an integer"),
        (CallbackSequence(["claim"], on_item=raise_(KeyError("item"))), KeyError, "'item'"),
        (CallbackSequence(["claim"], on_item=raise_(MemoryError())), MemoryError, ""),
        (CallbackSequence(["claim"], on_item=raise_(TypeError("item"))), TypeError, "argument 'tags': item"),
        (CallbackSequence(["claim", 4]), TypeError, "argument 'tags': 'int' object cannot be converted to 'PyString'"),
    ],
    ids=["len-raises", "len-base-exception", "len-type-error", "len-negative", "len-huge", "len-str",
         "item-raises", "item-memory-error", "item-type-error", "item-int"],
)
def test_sequence_errors_pass_through_and_leave_the_set(tags, error, message):
    config = ParserConfig()
    with pytest.raises(error) as caught:
        config.set_recognized_tags(tags)
    assert type(caught.value) is error
    assert str(caught.value) == message
    assert observed(config) == observed(ParserConfig())
    config.set_recognized_tags(["claim"])  # free again


@pytest.mark.parametrize(
    ("tags", "recognised"),
    [
        # The length is only a hint: the items are whatever iteration yields.
        (CallbackSequence(["claim", "risk"], length=0), {"claim", "risk"}),
        (CallbackSequence(["claim"], length=10**18), {"claim"}),
        (CallbackSequence([], length=5), set()),
        (CallbackSequence(["claim"], on_item=raise_(StopIteration())), set()),
    ],
    ids=["len-zero", "len-huge", "len-too-long", "item-stops"],
)
def test_sequence_length_is_a_hint(tags, recognised):
    config = ParserConfig()
    config.set_recognized_tags(tags)
    result = parse("<claim>a</claim><risk>b</risk><cite>c</cite>", config)
    assert {a.tag for s in result.segments for a in s.annotations} == recognised


def test_sequence_calling_back_into_the_same_config_is_refused_every_way():
    config = ParserConfig()
    refused = []

    def reenter(*args):
        calls = [
            lambda: parse("x", config),
            lambda: config.set_recognized_tags(["cite"]),
            lambda: config.set_recognized_tags(CallbackSequence(["x"], on_item=reenter)),
            lambda: config.set_unknown_mode("strip"),
            lambda: config.set_recovery_strategy("cite", "noop"),
            lambda: config.set_case_sensitive_tags(True),
        ]
        for call in calls:
            try:
                call()
            except RuntimeError as error:
                refused.append(str(error))
        # Another object is not affected by this one's state.
        other = ParserConfig()
        other.set_recognized_tags(["cite"])
        assert parse("<cite>a</cite>", other).segments[0].annotations[0].tag == "cite"

    def length():
        reenter()
        return 2

    config.set_recognized_tags(CallbackSequence(["claim", "risk"], length=length, on_item=reenter))
    # From __len__ and from __getitem__ for 0, 1 and 2 (which ends it).
    assert refused == (["Already mutably borrowed"] + ["Already borrowed"] * 5) * 4
    result = parse("<claim>a</claim><risk>b</risk><cite>c</cite>", config)
    assert [(s.text, [a.tag for a in s.annotations]) for s in result.segments] == [
        ("a", ["claim"]), ("b", ["risk"]), ("c", [])]


def test_sequence_whose_iteration_parses_with_the_same_config_from_a_result():
    config = ParserConfig()
    seen = []

    def read():
        # Reading results of earlier parses is fine while the config is busy.
        seen.append(repr(earlier.segments[0]))

    earlier = parse("<claim>a</claim>", config)
    config.set_recognized_tags(CallbackSequence(["claim"], on_item=read))
    assert seen and seen[0] == "Segment(text='a', annotations=Annotation(tag='claim'))"


def test_flag_with_a_failing_truth_value():
    config = ParserConfig()
    with pytest.raises(ZeroDivisionError):
        config.set_trim_punctuation(fake_numpy_bool(lambda self: 1 / 0))
    with pytest.raises(TypeError) as caught:
        config.set_trim_punctuation(fake_numpy_bool(lambda self: 1))
    assert str(caught.value) == "argument 'val': __bool__ should return bool, returned int"

    def reenter(self):
        for call in (lambda: config.set_trim_punctuation(True), lambda: parse("x", config)):
            with pytest.raises(RuntimeError):
                call()
        return False

    config.set_trim_punctuation(fake_numpy_bool(reenter))
    untrimmed = ParserConfig()
    untrimmed.set_trim_punctuation(False)
    assert observed(config) == observed(untrimmed) != observed(ParserConfig())


def test_flag_type_whose_module_lookup_fails():
    class Meta(type):
        @property
        def __module__(cls):
            raise TypeError("no module")

    class Flag(metaclass=Meta):
        pass

    config = ParserConfig()
    with pytest.raises(TypeError) as caught:
        config.set_case_sensitive_tags(Flag())
    assert str(caught.value) == "argument 'val': no module"
    assert observed(config) == observed(ParserConfig())
