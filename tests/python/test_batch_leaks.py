"""Leaks of the batch path, checked as test_leaks.py checks parse: the same
work again and again, a leak only where a counter grows on every run. Driven:
parse_batch on every input form and configuration, its refusals, the tables
read back, and the command line, run in this process as `python -m
tagmire` runs it, over every input kind."""

import ctypes
import gzip
import json
import os
import runpy
import subprocess
import sys

import pytest

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

from conftest import WATCHED, c_library, call_each, heap_in_use, leaks, needs_c_library  # noqa: E402

from tagmire import Config, InvalidTextError, ParserConfig, parse_batch  # noqa: E402

TEXTS = ['héllo <cite id="7" urgent>it\'s</cite> wörld<note n="1"/>', None, "", "Water boils.<cite>\n<note>x",
         "🙂<claim k=v>y"] * 20
ARROW = pa.array(TEXTS, pa.string())
CHUNKED = pa.chunked_array([ARROW.slice(3, 40), ARROW.slice(50)], pa.string())
VIEWS = pa.array(TEXTS, pa.string_view())
CONFIG = Config.cite()
PARSER_CONFIG = ParserConfig()


def parse_every_way():
    for texts in (TEXTS, ARROW, CHUNKED, VIEWS):
        for config in (None, CONFIG, PARSER_CONFIG):
            table = parse_batch(texts, config, threads=3)
            table.column("segments").to_pylist()
            table.column("markers").to_pylist()


FAILURES = [
    (lambda: parse_batch(["a", 3]), TypeError),
    (lambda: parse_batch(["a", "b\ud800"], threads=2), InvalidTextError),
    (lambda: parse_batch(pa.array([1])), TypeError),
    (lambda: parse_batch(["a"], threads=0), ValueError),
    (lambda: parse_batch(["a"], {}), TypeError),
]


def fail_every_way():
    call_each(FAILURES)


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


@pytest.mark.parametrize(("work", "repetitions"), [(parse_every_way, 10), (fail_every_way, 100)],
                         ids=["parse_batch", "failures"])
def test_batch_work_returns_to_its_baseline(work, repetitions, request):
    if measured_in_a_child(request):
        return
    assert leaks(work, [*WATCHED, ARROW, CHUNKED, CONFIG, PARSER_CONFIG], repetitions) == {}


@needs_c_library
def test_the_exact_heap_still_sees_a_leak(request):
    if measured_in_a_child(request):
        return
    libc = c_library()
    libc.malloc.restype = ctypes.c_void_p

    def leaky():
        parse_every_way()
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
