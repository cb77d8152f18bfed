"""The Ray Data recipe of the README on a local Ray instance: the rows it
gives equal the single-process parse_batch result. Skipped only where Ray is
not installed (CI installs it on one interpreter)."""

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

from tagmire import Config, ParseColumn, parse_batch  # noqa: E402
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
