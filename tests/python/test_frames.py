"""Frames in, frames out: parse_frame on every kind of frame, the Polars
namespace and the DuckDB function give parse_batch's rows, and the
command line's outputs carry random rows back field by field."""

import json
import os

import pytest

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
pl = pytest.importorskip("polars")
pd = pytest.importorskip("pandas")
duckdb = pytest.importorskip("duckdb")

from hypothesis import HealthCheck, assume, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402
from inputs import hostile_families  # noqa: E402

import tagmire  # noqa: E402
import tagmire.duckdb  # noqa: E402
import tagmire.polars  # noqa: E402, F401
from tagmire import ColumnClash, Config, parse_batch, parse_frame  # noqa: E402
from tagmire._text_fields import _binary_twin  # noqa: E402

TEXTS = [family.make(500) for family in hostile_families.FAMILIES] + ["a<cite src=x/>b", None, ""]
CONFIG = Config.compat_default()


def frames():
    table = pa.table({"id": list(range(len(TEXTS))), "response": [{"content": t} for t in TEXTS]})
    return [table, table.to_batches()[0], pl.from_arrow(table), table.to_pandas()]


@pytest.mark.parametrize("frame", frames(), ids=["Table", "RecordBatch", "polars", "pandas"])
def test_parse_frame_keeps_the_frame_and_adds_the_parsed_columns(frame):
    out = parse_frame(frame, "response.content", CONFIG, prefix="p_")
    assert type(out) is type(frame)
    table = out if isinstance(out, pa.Table) else pa.Table.from_batches([out]) if isinstance(out, pa.RecordBatch) \
        else out.to_arrow() if isinstance(out, pl.DataFrame) else pa.Table.from_pandas(out, preserve_index=False)
    assert table.column_names == ["id", "response", "p_text", "p_segments", "p_markers"]
    assert table.column("id").to_pylist() == list(range(len(TEXTS)))
    parsed = parse_batch(TEXTS, CONFIG)
    assert table.select(["p_text", "p_segments", "p_markers"]).to_pylist() == \
        parsed.rename_columns(["p_text", "p_segments", "p_markers"]).to_pylist()
    with pytest.raises(ColumnClash, match="'p_text'"):
        parse_frame(out, "response.content", prefix="p_")


def test_parse_frame_holds_a_pyarrow_frames_other_strings_to_the_policy():
    bad = pa.array([b"ok", b"x\xff"], pa.binary()).view(pa.string())
    table = pa.table({"note": bad, "text": ["a", "b"]})
    with pytest.raises(tagmire.InvalidTextError, match="field 'note' of row 1"):
        parse_frame(table)
    assert parse_frame(table, errors="replace").column("note").to_pylist() == ["ok", "x\ufffd"]
    assert parse_frame(table, errors="null").column("note").to_pylist() == ["ok", None]


def test_the_polars_namespace_and_the_duckdb_function_give_the_same_struct():
    parsed = parse_batch(TEXTS, CONFIG).to_pylist()
    # Polars and DuckDB give an attrs map as a dict, pyarrow as (key, value) pairs.
    expected = [None if t is None else attrs_as_dicts(row) for t, row in zip(TEXTS, parsed)]
    frame = pl.DataFrame({"answer": TEXTS})
    assert frame.select(pl.col("answer").tagmire.parse(CONFIG))["answer"].to_list() == expected
    connection = duckdb.connect()
    tagmire.duckdb.register(connection, "parse_answer", CONFIG)
    rows = connection.sql("SELECT parse_answer(answer) FROM frame").fetchall()
    assert [row[0] for row in rows] == expected


def attrs_as_dicts(value):
    """`value` with every attrs map's pairs made a dict."""
    if isinstance(value, list):
        return [attrs_as_dicts(item) for item in value]
    if isinstance(value, dict):
        return {key: dict(item) if key == "attrs" else attrs_as_dicts(item) for key, item in value.items()}
    return value


# --- random rows through both outputs --------------------------------------------------

KEYS = st.sampled_from(["a", "b", "é", "k\x01", 'q"'])
SCALARS = st.one_of(st.none(), st.booleans(), st.integers(-(2**63), 2**63 - 1),
                    st.floats(allow_nan=False, allow_infinity=False), st.text(max_size=8),
                    st.binary(max_size=4).map(lambda b: b"\xff" + b))
VALUES = st.recursive(SCALARS, lambda inner: st.one_of(st.lists(inner, max_size=3),
                                                       st.dictionaries(KEYS, inner, max_size=3)), max_leaves=6)


def _as_text(data_type):
    """`data_type` with every binary type a string: the random bytes are
    strings that are not UTF-8 (each starts with 0xFF)."""
    if pa.types.is_binary(data_type):
        return pa.string()
    if pa.types.is_struct(data_type):
        return pa.struct([field.with_type(_as_text(field.type)) for field in data_type])
    if pa.types.is_list(data_type):
        return pa.list_(_as_text(data_type.value_type))
    return data_type


def _column(values):
    """(the column as strings, its values as bytes), or None for values
    that make no column of one type."""
    try:
        array = pa.array(values)
    except (pa.ArrowInvalid, pa.ArrowTypeError, OverflowError):
        return None
    # Views only where the type changes: pyarrow's view of a list of nulls
    # as itself loses a child's length.
    text_type, bytes_type = _as_text(array.type), _binary_twin(pa, array.type)
    text = array if text_type == array.type else array.view(text_type)
    return text, (text if bytes_type == text.type else text.view(bytes_type)).to_pylist()


def _mended(value):
    if isinstance(value, bytes):
        return value.decode("utf-8", "replace")
    if isinstance(value, list):
        return [_mended(item) for item in value]
    if isinstance(value, dict):
        return {key: _mended(item) for key, item in value.items()}
    return value


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(columns=st.dictionaries(st.sampled_from(["x", "y", "z"]), st.lists(VALUES, min_size=2, max_size=2),
                               max_size=3))
def test_random_rows_come_back_field_by_field_from_both_outputs(tmp_path, columns):
    from tagmire._cli import main

    made = {name: _column(values) for name, values in columns.items()}
    made = {name: pair for name, pair in made.items() if pair is not None}
    table = pa.table({**{name: array for name, (array, _) in made.items()}, "text": ["a<cite/>", "b"]})
    try:
        pq.write_table(table, tmp_path / "in.parquet")
    except pa.ArrowNotImplementedError:  # a struct of no fields, which Parquet cannot hold
        assume(False)
    original = [{name: values[row] for name, (_, values) in made.items()} for row in range(2)]
    for suffix in (".parquet", ".jsonl"):
        output = tmp_path / f"out{suffix}"
        assert main(["parse", str(tmp_path / "in.parquet"), "-o", str(output), "--errors", "replace", "-q"]) == 0
        if suffix == ".parquet":
            back = pq.read_table(output)
            back.validate(full=True)
            rows = back.to_pylist()
        else:
            rows = [json.loads(line) for line in output.read_text(encoding="utf-8").splitlines()]
        for row, before in zip(rows, original):
            for name, value in before.items():
                assert _comparable(row[name]) == _comparable(_mended(value)), (suffix, name)
        os.remove(output)


def _comparable(value):
    """JSON has no tuples and writes keys in order; floats compare as floats."""
    if isinstance(value, list):
        return [_comparable(item) for item in value]
    if isinstance(value, dict):
        return {key: _comparable(item) for key, item in value.items()}
    if isinstance(value, bool) or value is None:
        return value
    if isinstance(value, int | float):
        return float(value) if isinstance(value, float) else value
    return value
