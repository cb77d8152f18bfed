"""The Ray Data recipe of the README on a local Ray instance: the rows it
gives equal the single-process parse_batch result. Skipped only where Ray is
not installed (CI installs it on one interpreter)."""

import json
import os
import random
import subprocess
import sys

import pytest

# Read by Ray as it is imported: the local instance of these tests, as the
# package starts it, listens on loopback only (see tagmire._cli.start_ray).
os.environ["RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER"] = "0"
ray = pytest.importorskip("ray")
pytest.importorskip("ray.data")
pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

from tagmire import Config, ParseColumn, parse, parse_batch  # noqa: E402
from tagmire._cli import start_ray  # noqa: E402

# Ray's own deprecations are Ray's business, not a fault of this package.
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning:ray.*", "ignore::FutureWarning:ray.*")

ANSWERS = 20_000
WORDS = "water boils at sea level café 東京 naïve 🙂 the result shows evidence".split()
TAGS = ["<cite>", "<cite src=a{}/>", "<note>", "</note>", "<claim id={}>", "</claim>", "<x>", "\n", "<todo k>"]


def answer(rng):
    pieces = []
    for _ in range(rng.randint(0, 30)):
        pieces.append(rng.choice(WORDS) if rng.random() < 0.8 else rng.choice(TAGS).format(rng.randint(1, 9)))
    return " ".join(pieces)


@pytest.fixture(scope="module")
def dataset(tmp_path_factory):
    rng = random.Random(9)
    texts = [None if rng.random() < 0.01 else answer(rng) for _ in range(ANSWERS)]
    folder = tmp_path_factory.mktemp("answers")
    # Several files of several row groups, so that Ray reads many blocks.
    for part in range(4):
        rows = range(part * ANSWERS // 4, (part + 1) * ANSWERS // 4)
        pq.write_table(pa.table({"id": list(rows), "answer": [texts[i] for i in rows]}),
                       folder / f"part-{part}.parquet", row_group_size=1000)
    return folder, texts


@pytest.fixture(scope="module")
def local_ray():
    start_ray(None, num_cpus=2)
    ray.data.DataContext.get_current().execution_options.preserve_order = True
    try:
        yield
    finally:
        ray.shutdown()


CONFIG = Config(recognized_tags=["cite", "note", "claim"], recovery_strategies={"claim": "forward_next_token"},
                unknown_mode="passthrough")


def test_ray_data_rows_equal_the_single_process_result(dataset, local_ray):
    folder, texts = dataset
    parsed = (
        ray.data.read_parquet(str(folder))
        .map_batches(ParseColumn("answer", CONFIG, threads=1), batch_format="pyarrow")
        .to_arrow_refs()
    )
    table = pa.concat_tables(ray.get(parsed)).sort_by("id")
    assert table.column_names == ["id", "text", "segments", "markers"]
    assert table.column("id").to_pylist() == list(range(ANSWERS))
    expected = parse_batch(texts, CONFIG, threads=2)
    assert table.drop_columns(["id"]).equals(expected.combine_chunks().cast(table.drop_columns(["id"]).schema))


def test_the_local_instance_listens_on_loopback_only(local_ray):
    assert [node["NodeManagerAddress"] for node in ray.nodes()] == ["127.0.0.1"]


def test_the_command_line_parses_a_folder_on_its_own_ray_instance(dataset, tmp_path):
    folder, texts = dataset
    output = tmp_path / "out.parquet"
    # --ray is a switch: the folder after it is an input, not an address.
    completed = subprocess.run([sys.executable, "-m", "tagmire", "parse", "--ray", str(folder), "--field", "answer",
                                "-o", str(output)], capture_output=True, timeout=600, check=False)
    assert completed.returncode == 0, completed.stderr.decode()
    table = pq.read_table(output)
    assert table.column("id").to_pylist() == list(range(ANSWERS))
    assert table.drop_columns(["id"]).to_pylist() == parse_batch(texts).to_pylist()
    refused = subprocess.run([sys.executable, "-m", "tagmire", "parse", "--ray", str(folder), "--field", "id",
                              "-o", str(output)], capture_output=True, timeout=600, check=False)
    assert refused.returncode == 1 and refused.stderr.count(b"\n") == 1, refused.stderr
    assert b"holds int64, not strings" in refused.stderr


def test_the_command_line_on_ray_reads_json_lines_and_reports_each_failure_in_one_line(tmp_path):
    # JSON lines went through a schema Ray describes in its own types (an
    # AttributeError on Ray 2.60), a strict failure printed a worker's
    # coloured traceback, --errors null no count, and Ray's INFO lines
    # reached standard error on every run.
    source = tmp_path / "answers.jsonl"
    source.write_bytes(b'{"id": 1, "text": "a<cite/>"}\n{"id": 2, "text": "b\xff"}\n')
    output = tmp_path / "out.jsonl"

    def run(*options):
        return subprocess.run([sys.executable, "-m", "tagmire", "parse", str(source), "--ray", "-o", str(output),
                               *options], capture_output=True, timeout=600, check=False)

    strict = run()
    assert strict.returncode == 1 and strict.stderr.count(b"\n") == 1, strict.stderr
    assert strict.stderr.startswith(b"tagmire: error: on Ray: row 1 of a batch: 'text' is not Unicode text")
    assert b"\x1b" not in strict.stderr and not output.exists()
    nulled = run("--errors", "null")
    assert (nulled.returncode, nulled.stderr) == (
        0, b"tagmire: 1 answer not Unicode text or past --max-output-ratio became null row (--errors null)\n")
    rows = [json.loads(line) for line in output.read_text().splitlines()]
    assert [(row["id"], row["text"]) for row in rows] == [(1, "a"), (2, None)]
    assert rows[0]["markers"] == parse("a<cite/>").to_dict()["markers"]
