"""The Ray Data recipe of the README on a local Ray instance: the rows it
gives equal the single-process parse_batch result. Skipped only where Ray is
not installed (CI installs it on one interpreter)."""

import random

import pytest

ray = pytest.importorskip("ray")
pytest.importorskip("ray.data")
pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

from tagmire import Config, ParseColumn, parse_batch  # noqa: E402
from tagmire._cli import main  # noqa: E402

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
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False, configure_logging=False)
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


def test_the_command_line_runs_on_the_ray_instance(dataset, local_ray, tmp_path):
    folder, texts = dataset
    files = sorted(str(path) for path in folder.iterdir())
    output = tmp_path / "out.parquet"
    assert main(["parse", *files, "--column", "answer", "--ray", "-o", str(output)]) == 0
    table = pq.read_table(output)
    assert table.column("id").to_pylist() == list(range(ANSWERS))
    assert table.drop_columns(["id"]).to_pylist() == parse_batch(texts).to_pylist()
