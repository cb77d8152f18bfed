"""Leaks of the batch path, checked as test_leaks.py checks parse: the same
work again and again, a leak only where a counter grows on every run. Driven:
parse_batch on every input form and configuration, its refusals, the tables
read back, and the command line's reading loop over every input kind."""

import io
import json

import pytest

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

from conftest import WATCHED, call_each, leaks  # noqa: E402

from tagmire import Config, InvalidTextError, ParserConfig, parse_batch  # noqa: E402
from tagmire._cli import Options, read_inputs, read_jsonl  # noqa: E402

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


@pytest.mark.parametrize(("work", "repetitions"), [(parse_every_way, 10), (fail_every_way, 100)],
                         ids=["parse_batch", "failures"])
def test_batch_work_returns_to_its_baseline(work, repetitions):
    assert leaks(work, [*WATCHED, ARROW, CHUNKED, CONFIG, PARSER_CONFIG], repetitions) == {}


def test_the_command_lines_reading_loop_returns_to_its_baseline(tmp_path):
    lines = "".join(json.dumps({"id": i, "text": t}) + "\n" for i, t in enumerate(TEXTS)).encode()
    pq.write_table(pa.table({"id": list(range(len(TEXTS))), "text": TEXTS}), tmp_path / "a.parquet",
                   row_group_size=30)
    (tmp_path / "a.txt").write_text(TEXTS[0])
    (tmp_path / "a.jsonl").write_bytes(lines)
    options = Options("text", "text", CONFIG, 2, 16)
    inputs = [str(tmp_path / name) for name in ("a.parquet", "a.txt", "a.jsonl", "a.txt")]

    def work():
        for batch in read_inputs(inputs, options, io.BytesIO()):
            batch.parsed.to_pylist()
        for batch in read_jsonl(io.BytesIO(lines), "<stdin>", options):
            batch.parsed.num_rows

    assert leaks(work, WATCHED, repetitions=3) == {}
