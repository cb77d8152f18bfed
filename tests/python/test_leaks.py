"""Leaks, checked by conftest.leaks the way CPython's -R does: run the same
work again and again after a warm-up, and call it a leak only when a counter
grows on every run.

Counters: the interpreter's total reference count (debug builds, such as
Debian's python3-dbg), the references held on the objects the work passes in,
the interpreter's memory blocks, and the bytes in use in the C heap, where
the parser's own allocations live. Every path is driven: the module's parse,
every property and __repr__, every setter, and every error of the failure
tables; the package's records, read back every way; streams fed in pieces of
every size with previews, with every kind of configuration, and their
refusals; parse_batch on every input form and configuration, its refusals,
the tables read back, and the command line, run in this process as `python
-m tagmire` runs it, over every input kind (these need pyarrow).
"""

import ctypes
import gzip
import json
import os
import runpy
import subprocess
import sys

import pytest

import _tagmire_rs
import tagmire
from _tagmire_rs import ParserConfig, parse
from conftest import (WATCHED, CallbackSequence, Text, c_library, call_each, heap_in_use, leaks, needs_c_library,
                      refused_while_busy)
from tagmire import Config, InvalidTextError, StreamParser, parse_batch

try:
    import pyarrow as pa
    import pyarrow.parquet as pq
except ImportError:  # the debug interpreter's run has no pyarrow
    pa = pq = None

needs_pyarrow = pytest.mark.skipif(pa is None, reason="needs pyarrow")

# --- the module: parse, ParserConfig and the result classes ------------------

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


# --- the package's records ----------------------------------------------------

CITE = Config.cite()
PARSER_CONFIG = ParserConfig()


def read_records(result):
    repr(result)
    result.to_dict()
    result._repr_html_()
    assert result == result
    for segment in result.segments:
        (segment.text, segment.start, segment.end, segment.char_start, segment.char_end, segment.continues)
        repr(segment)
        for annotation in segment.annotations:
            (annotation.tag, annotation.attrs, repr(annotation))
    for marker in result.markers:
        (marker.pos, marker.char_pos, repr(marker), marker.annotation.to_dict())


def package_parse_every_way():
    for text in (SOURCE, ASCII, ""):
        for config in (None, CITE, CONFIG):
            read_records(tagmire.parse(text, config))


def test_the_package_records_return_to_their_baseline():
    assert leaks(package_parse_every_way, [*WATCHED, CITE, CONFIG], 100) == {}


def test_records_in_a_block_of_their_own_free_it():
    # About 5 MB of markers: the records lie in a block of their own.
    big = "<cite/>" * 300_000

    def work():
        for result in (parse(big), tagmire.parse(big)):
            result.text
            len(result.markers)

    assert leaks(work, WATCHED, repetitions=3) == {}


# --- streams --------------------------------------------------------------------

ANSWER = ('héllo <cite id="7" urgent>it\'s</cite> wörld<note n="1"/>\nWater boils.<cite>\n<note>x <![CDATA[a<b>]]>'
          "🙂<claim k=v>y</claim>\n") * 5


def read_update(update):
    for run in (update.committed, getattr(update, "pending", None), *getattr(update, "revised", ())):
        if run is not None:
            [(s.text, s.start, s.char_end, [(a.tag, dict(a.attrs)) for a in s.annotations]) for s in run.segments]
            [(m.pos, m.char_pos, m.annotation.tag) for m in run.markers]
            run.to_dict()


def stream_every_way():
    for config in (None, CITE, PARSER_CONFIG):
        for size in (1, 7, 1000):
            stream = StreamParser(config, preview=size != 1000)
            for i in range(0, len(ANSWER), size):
                read_update(stream.feed(ANSWER[i:i + size]))
            read_update(stream.close())
            if size != 1000:
                stream.preview().to_dict()


def misuse_streams():
    stream = StreamParser()
    for call, error in [(lambda: stream.feed(b"x"), TypeError), (lambda: stream.feed("\ud800"), UnicodeEncodeError),
                        (lambda: StreamParser({}), TypeError)]:
        with pytest.raises(error):
            call()
    stream.close()
    with pytest.raises(ValueError):
        stream.feed("late")


@pytest.mark.parametrize(("work", "repetitions"), [(stream_every_way, 10), (misuse_streams, 100)],
                         ids=["streams", "failures"])
def test_stream_work_returns_to_its_baseline(work, repetitions):
    assert leaks(work, [*WATCHED, CITE, PARSER_CONFIG], repetitions) == {}


# --- batches and the command line -----------------------------------------------

TEXTS = ['héllo <cite id="7" urgent>it\'s</cite> wörld<note n="1"/>', None, "", "Water boils.<cite>\n<note>x",
         "🙂<claim k=v>y"] * 20


def arrow_inputs():
    """TEXTS as pyarrow takes them: a string array, a chunked array, string views."""
    array = pa.array(TEXTS, pa.string())
    return array, pa.chunked_array([array.slice(3, 40), array.slice(50)], pa.string()), pa.array(TEXTS, pa.string_view())


def batch_every_way(arrow):
    for texts in (TEXTS, *arrow):
        for config in (None, CITE, PARSER_CONFIG):
            table = parse_batch(texts, config, threads=3)
            table.column("segments").to_pylist()
            table.column("markers").to_pylist()


BATCH_FAILURES = [
    (lambda: parse_batch(["a", 3]), TypeError),
    (lambda: parse_batch(["a", "b\ud800"], threads=2), InvalidTextError),
    (lambda: parse_batch(pa.array([1])), TypeError),
    (lambda: parse_batch(["a"], threads=0), ValueError),
    (lambda: parse_batch(["a"], {}), TypeError),
]


def fail_batches():
    call_each(BATCH_FAILURES)


# glibc keeps up to seven freed chunks of each small size in a cache of the
# thread that freed them (its tcache), and mallinfo2 counts them as in use.
# A thread's cache fills slowly as the work frees chunks of sizes it had not
# freed before, which reads as a few KB of C heap growth per run, on every
# run, until it is full: no leak, but enough to fail a check now and then.
# Without the cache glibc's count is exact, and a run of this work returns
# to the byte. So the C heap is measured in a child process without it.
EXACT_HEAP = "glibc.malloc.tcache_count=0"


def measured_in_a_child(request):
    """Runs the calling test again in a child process whose glibc keeps no
    per-thread cache, and says so; False in that child, and where there is
    no glibc heap to measure (the test then runs here)."""
    if heap_in_use is None or os.environ.get("GLIBC_TUNABLES") == EXACT_HEAP:
        return False
    completed = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", request.node.nodeid],
        cwd=request.config.rootpath, env={**os.environ, "GLIBC_TUNABLES": EXACT_HEAP},
        capture_output=True, text=True, timeout=600, check=False)
    assert completed.returncode == 0, completed.stdout[-4000:]
    return True


@needs_pyarrow
@pytest.mark.parametrize("work", ["parse_batch", "failures"])
def test_batch_work_returns_to_its_baseline(work, request):
    if measured_in_a_child(request):
        return
    arrow = arrow_inputs()
    if work == "parse_batch":
        assert leaks(lambda: batch_every_way(arrow), [*WATCHED, *arrow, CITE, PARSER_CONFIG], 10) == {}
    else:
        assert leaks(fail_batches, [*WATCHED, CITE, PARSER_CONFIG], 100) == {}


@needs_pyarrow
@needs_c_library
def test_the_exact_heap_still_sees_a_leak(request):
    if measured_in_a_child(request):
        return
    libc = c_library()
    libc.malloc.restype = ctypes.c_void_p
    arrow = arrow_inputs()

    def leaky():
        batch_every_way(arrow)
        libc.malloc(1024)  # one small block per call, never freed

    grown = leaks(leaky, WATCHED, repetitions=10)
    assert ("C heap bytes" in grown) == (heap_in_use is not None)


def run_command_line(argv):
    """`python -m tagmire ARGV...` in this process; returns its exit status."""
    saved = sys.argv
    sys.argv = ["tagmire", *argv]
    try:
        runpy.run_module("tagmire", run_name="__main__")
    except SystemExit as end:
        return end.code
    finally:
        sys.argv = saved
    return 0


@needs_pyarrow
def test_the_command_line_returns_to_its_baseline(tmp_path, request, capfd):
    if measured_in_a_child(request):
        return
    lines = "".join(json.dumps({"id": i, "text": t}) + "\n" for i, t in enumerate(TEXTS)).encode()
    pq.write_table(pa.table({"id": list(range(len(TEXTS))), "text": TEXTS}), tmp_path / "a.parquet",
                   row_group_size=30)
    (tmp_path / "a.txt").write_text(TEXTS[0])
    (tmp_path / "a.jsonl").write_bytes(lines)
    (tmp_path / "b.jsonl.gz").write_bytes(gzip.compress(lines))
    inputs = [str(tmp_path / name) for name in ("a.parquet", "a.txt", "a.jsonl", "b.jsonl.gz", "a.txt")]
    runs = [[*inputs, "-o", str(tmp_path / "out.parquet"), "--threads", "2", "--batch-rows", "16", "--preset", "cite"],
            [*inputs, "-o", str(tmp_path / "out.jsonl"), "--batch-rows", "40"],
            [str(tmp_path / "a.jsonl"), "--field", "id", "-o", str(tmp_path / "refused.jsonl")]]

    def work():
        statuses = [run_command_line(["parse", *argv]) for argv in runs]
        assert statuses == [0, 0, 1]

    assert leaks(work, WATCHED, repetitions=3) == {}
    assert capfd.readouterr().err.count("tagmire: error: ") == 27  # the refusal, every time


# --- the check itself ------------------------------------------------------------

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
