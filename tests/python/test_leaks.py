"""Leaks of parse and ParserConfig, checked by conftest.leaks the way
CPython's -R does: run the same work again and again after a warm-up, and
call it a leak only when a counter grows on every run.

Counters: the interpreter's total reference count (debug builds, such as
Debian's python3-dbg), the references held on the objects the work passes in,
the interpreter's memory blocks, and the bytes in use in the C heap, where
the parser's own allocations live. Every path is driven: parse, every
property and __repr__, every setter, and every error of the failure tables.
"""

import ctypes
import sys

import pytest

import _tagmire_rs
from _tagmire_rs import ParserConfig, parse
from conftest import (WATCHED, CallbackSequence, Text, c_library, call_each, heap_in_use, leaks, needs_c_library,
                      refused_while_busy)

# --- the work ---------------------------------------------------------------

SOURCE = 'héllo <cite id="7" urgent>it\'s</cite> wörld<note n="1"/>\n<todo>x <claim k=v>y <Risk/>🙂'
ASCII = "Water boils at 100 C.<cite>\n<note>verify <code lang=py/>altitude"
CONFIG = ParserConfig()
CONFIG.set_recognized_tags(["cite", "note", "todo", "claim", "risk", "code"])
CONFIG.set_recovery_strategy("claim", "forward_next_token")


def read_everything(result):
    result.text
    repr(result)
    for segment in result.segments:
        segment.text
        repr(segment)
        str(segment)
        for annotation in segment.annotations:
            annotation.tag
            annotation.attrs
            repr(annotation)
    for marker in result.markers:
        marker.pos
        repr(marker)
        annotation = marker.annotation
        annotation.tag
        annotation.attrs
        repr(annotation)


def parse_every_way():
    read_everything(parse(SOURCE))
    read_everything(parse(ASCII, None))
    read_everything(parse(input=SOURCE, config=CONFIG))
    read_everything(parse(Text(ASCII), config=CONFIG))
    read_everything(parse(""))
    read_everything(parse("<cite/><note/>"))
    ParserConfig()
    ParserConfig.default_cite_config()
    CONFIG.default_llm_friendly_config()


TAGS = ["cite", "note", "claim", "risk"]
TAG_TUPLE = ("Cite", "NOTE", "cite")


def set_everything():
    config = ParserConfig()
    config.set_recognized_tags(TAGS)
    config.set_recognized_tags(TAG_TUPLE)
    config.set_recognized_tags(CallbackSequence(TAGS))
    config.set_recognized_tags(tags=[])
    config.set_unknown_mode("PassThrough")
    config.set_unknown_mode(mode="treat_as_text")
    config.set_recovery_strategy("claim", "forward_next_token")
    config.set_recovery_strategy(tag="Claim", strategy="NOOP")
    config.set_recovery_strategy(strategy="retro_line", tag="")
    for setter in (config.set_trim_punctuation, config.set_autoclose_on_any_tag,
                   config.set_autoclose_on_same_tag, config.set_case_sensitive_tags):
        setter(True)
        setter(val=False)
    parse(SOURCE, config)


def raise_type_error():
    raise TypeError("item")


BUSY = ParserConfig()
RESULT = parse(SOURCE)
SEGMENT = RESULT.segments[1]

# Every failure of the failure tables, each with the exception it must raise.
FAILURES = [
    (lambda: parse(), TypeError),
    (lambda: parse("a", None, None), TypeError),
    (lambda: parse(text="x"), TypeError),
    (lambda: parse("x", input="y"), TypeError),
    (lambda: parse("x", None, config=None), TypeError),
    (lambda: parse(b"x"), TypeError),
    (lambda: parse(1, {}), TypeError),
    (lambda: parse("x", {}), TypeError),
    (lambda: parse("x\ud800"), UnicodeEncodeError),
    (lambda: ParserConfig(1), TypeError),
    (lambda: ParserConfig(tags=[]), TypeError),
    (lambda: ParserConfig.default_cite_config(1), TypeError),
    (lambda: ParserConfig.default_llm_friendly_config(x=1), TypeError),
    (lambda: CONFIG.set_unknown_mode(), TypeError),
    (lambda: CONFIG.set_unknown_mode("a", "b"), TypeError),
    (lambda: CONFIG.set_unknown_mode(kind="strip"), TypeError),
    (lambda: CONFIG.set_unknown_mode(1), TypeError),
    (lambda: CONFIG.set_unknown_mode("Drop"), ValueError),
    (lambda: CONFIG.set_unknown_mode("\udc80"), UnicodeEncodeError),
    (lambda: CONFIG.set_recovery_strategy(), TypeError),
    (lambda: CONFIG.set_recovery_strategy("cite"), TypeError),
    (lambda: CONFIG.set_recovery_strategy("cite", "noop", tag="x"), TypeError),
    (lambda: CONFIG.set_recovery_strategy(b"cite", "noop"), TypeError),
    (lambda: CONFIG.set_recovery_strategy("cite", None), TypeError),
    (lambda: CONFIG.set_recovery_strategy("cite", "retro-line"), ValueError),
    (lambda: CONFIG.set_recovery_strategy("\ud800", "noop"), UnicodeEncodeError),
    (lambda: CONFIG.set_recognized_tags("cite"), TypeError),
    (lambda: CONFIG.set_recognized_tags({"cite"}), TypeError),
    (lambda: CONFIG.set_recognized_tags(x for x in "ab"), TypeError),
    (lambda: CONFIG.set_recognized_tags(["cite", 1]), TypeError),
    (lambda: CONFIG.set_recognized_tags(("cite", "\ud800")), UnicodeEncodeError),
    (lambda: CONFIG.set_recognized_tags(CallbackSequence(["cite", b"x"])), TypeError),
    (lambda: CONFIG.set_recognized_tags(CallbackSequence(["cite"], on_item=raise_type_error)), TypeError),
    (lambda: BUSY.set_recognized_tags(CallbackSequence(["cite"], on_item=lambda: refused_while_busy(BUSY))), None),
    (lambda: CONFIG.set_trim_punctuation(1), TypeError),
    (lambda: CONFIG.set_autoclose_on_any_tag(val=None), TypeError),
    (lambda: CONFIG.set_autoclose_on_same_tag(True, False), TypeError),
    (lambda: CONFIG.set_case_sensitive_tags(), TypeError),
    (lambda: _tagmire_rs.Segment(), TypeError),
    (lambda: _tagmire_rs.Marker(pos=1), TypeError),
    (lambda: setattr(RESULT, "text", "x"), AttributeError),
    (lambda: setattr(SEGMENT, "extra", 1), AttributeError),
]


def fail_every_way():
    call_each(FAILURES)


# The objects this work passes in, beside those every path of the module touches.
WORK_WATCHED = [*WATCHED, SOURCE, ASCII, CONFIG, BUSY, RESULT, SEGMENT, TAGS, TAG_TUPLE, *TAGS, *TAG_TUPLE]


@pytest.mark.parametrize(
    ("work", "repetitions"),
    [(parse_every_way, 200), (set_everything, 300), (fail_every_way, 100)],
    ids=["parse-and-read", "setters", "failures"],
)
def test_repeated_work_returns_to_its_baseline(work, repetitions):
    assert leaks(work, WORK_WATCHED, repetitions) == {}


def test_big_results_free_what_they_hold():
    # Large texts and many objects go through the C heap, not small blocks.
    big = "<note k=v>" + "x" * 100_000 + "</note>" + "<cite/>" * 2000

    def work():
        read_everything(parse(big))

    assert leaks(work, WORK_WATCHED, repetitions=5) == {}


@needs_c_library
def test_the_check_sees_a_leak():
    kept = []
    pinned = object()
    libc = c_library()
    libc.malloc.restype = ctypes.c_void_p

    def leaky():
        kept.append([1, 2])  # one object per call, never freed
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(pinned))
        libc.malloc(256)

    grown = leaks(leaky, [pinned], repetitions=50)
    assert "watched references" in grown
    if sys.getallocatedblocks():  # zero where PYTHONMALLOC=malloc
        assert "memory blocks" in grown
    if heap_in_use():
        assert "C heap bytes" in grown
    if hasattr(sys, "gettotalrefcount"):
        assert "total references" in grown
