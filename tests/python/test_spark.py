"""tagmire.spark on a local Spark (local[2]): the rows equal parse_batch's
in one process, the frame's own columns kept. Skipped where pyspark or
Java is missing (CI installs both for one interpreter)."""

import os
import shutil
import sys

import pytest

pyspark = pytest.importorskip("pyspark")
pa = pytest.importorskip("pyarrow")
if shutil.which("java") is None:
    pytest.skip("Spark needs Java", allow_module_level=True)

from inputs import hostile_families  # noqa: E402
from pyspark.sql import SparkSession  # noqa: E402

import tagmire.spark  # noqa: E402
from tagmire import ColumnClash, Config, parse_batch  # noqa: E402

# pyspark's own warnings about pandas releases are its business.
pytestmark = pytest.mark.filterwarnings("ignore::FutureWarning", "ignore::DeprecationWarning")

TEXTS = [family.make(500) for family in hostile_families.FAMILIES] + ["a<cite src=x/>b", None, ""]


@pytest.fixture(scope="module")
def spark():
    # The executors run the interpreter under test, where tagmire is installed.
    os.environ["PYSPARK_PYTHON"] = sys.executable
    # Local mode, listening on loopback only.
    session = (SparkSession.builder.master("local[2]").config("spark.ui.enabled", "false")
               .config("spark.driver.bindAddress", "127.0.0.1").config("spark.driver.host", "127.0.0.1")
               .config("spark.sql.shuffle.partitions", "2").getOrCreate())
    session.sparkContext.setLogLevel("ERROR")
    try:
        yield session
    finally:
        session.stop()


def test_spark_rows_equal_the_single_process_result(spark):
    config = Config.compat_default()
    frame = spark.createDataFrame([(i, {"content": t}) for i, t in enumerate(TEXTS)],
                                  "id long, response struct<content: string>").repartition(2)
    parsed = tagmire.spark.parse_column(frame, "response.content", config)
    assert parsed.columns == ["id", "response", "parsed_text", "parsed_segments", "parsed_markers"]
    rows = sorted(parsed.collect(), key=lambda row: row["id"])
    assert [row["id"] for row in rows] == list(range(len(TEXTS)))
    expected = parse_batch(TEXTS, config).to_pylist(maps_as_pydicts="strict")
    got = [{"text": row["parsed_text"], "segments": row["parsed_segments"], "markers": row["parsed_markers"]}
           for row in rows]
    assert [_plain(row) for row in got] == expected
    with pytest.raises(ColumnClash):
        tagmire.spark.parse_column(parsed, "response.content")


def _plain(value):
    """Spark's Rows as the dicts and lists of Arrow's to_pylist."""
    if hasattr(value, "asDict"):
        value = value.asDict()
    if isinstance(value, dict):
        return {key: _plain(item) for key, item in value.items()}
    if isinstance(value, list):
        return [_plain(item) for item in value]
    return value
