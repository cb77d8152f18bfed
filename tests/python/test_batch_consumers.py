"""The table parse_batch returns goes straight into Polars and DuckDB
through the Arrow PyCapsule interface, and their columns come back in, and
the character offsets slice the text there as they do in Python."""

import pytest

pa = pytest.importorskip("pyarrow")

from tagmire import parse_batch  # noqa: E402

ANSWERS = ["Water boils at 100 °C.<cite>\n<note>verify altitude", None, "東京は<claim id=7>首都</claim>です🙂",
           "", "café <todo>naïve</todo> résumé<cite src=x/>"]


def annotated_pieces(rows):
    """(row, piece of text, tags) for every annotated segment, sliced in
    Python by the character offsets."""
    pieces = []
    for index, row in enumerate(rows):
        for segment in row["segments"] or []:
            if segment["annotations"]:
                piece = row["text"][segment["char_start"]:segment["char_end"]]
                pieces.append((index, piece, [a["tag"] for a in segment["annotations"]]))
    return pieces


def test_character_offsets_slice_the_str_and_byte_offsets_the_utf8():
    rows = parse_batch(ANSWERS).to_pylist()
    assert [piece for _, piece, _ in annotated_pieces(rows)] == [
        "Water boils at 100 °C", "verify altitude", "首都", "naïve"]
    for row in rows:
        for segment in row["segments"] or []:
            encoded = row["text"].encode()
            assert encoded[segment["start"]:segment["end"]].decode() == \
                row["text"][segment["char_start"]:segment["char_end"]]


def test_polars_reads_the_table_and_slices_by_character_offsets():
    pl = pytest.importorskip("polars")
    frame = pl.DataFrame(parse_batch(ANSWERS))
    assert frame.height == len(ANSWERS)
    pieces = (
        frame.with_row_index("row")
        .explode("segments")
        .unnest("segments")
        .filter(pl.col("annotations").list.len() > 0)
        .select("row", pl.col("text").str.slice(pl.col("char_start"), pl.col("char_end") - pl.col("char_start")),
                pl.col("annotations").list.eval(pl.element().struct.field("tag")))
    )
    assert [tuple(r) for r in pieces.iter_rows()] == annotated_pieces(parse_batch(ANSWERS).to_pylist())


def test_duckdb_reads_the_table_and_slices_by_character_offsets():
    duckdb = pytest.importorskip("duckdb")
    parsed = parse_batch(ANSWERS)  # noqa: F841 - DuckDB finds it by name
    rows = duckdb.sql(
        """
        SELECT substr(text, s.char_start + 1, s.char_end - s.char_start), s.annotations[1].tag
        FROM (SELECT text, unnest(segments) AS s FROM parsed)
        WHERE len(s.annotations) > 0
        """
    ).fetchall()
    assert [piece for piece, _ in rows] == [piece for _, piece, _ in annotated_pieces(parsed.to_pylist())]
    markers = duckdb.sql("SELECT m.tag, m.attrs['src'] FROM (SELECT unnest(markers) AS m FROM parsed)").fetchall()
    assert markers == [("cite", "x")]


def test_polars_and_duckdb_columns_are_parsed_as_they_are():
    pl = pytest.importorskip("polars")
    duckdb = pytest.importorskip("duckdb")
    expected = parse_batch(ANSWERS)
    series = pl.Series("answer", ANSWERS)
    assert parse_batch(series).equals(expected)
    assert parse_batch(pl.DataFrame({"answer": ANSWERS})).equals(expected)
    assert parse_batch(series.slice(1, 3)).equals(expected.slice(1, 3))
    relation = duckdb.sql("SELECT answer FROM (SELECT unnest($answers) AS answer, generate_subscripts($answers, 1) "
                          "AS i) ORDER BY i", params={"answers": ANSWERS})
    assert parse_batch(relation).equals(expected)


def test_pandas_arrow_backed_column_is_parsed():
    pd = pytest.importorskip("pandas")
    column = pd.Series(ANSWERS, dtype=pd.ArrowDtype(pa.large_string()))
    if not hasattr(column, "__arrow_c_stream__"):
        pytest.skip("this pandas does not export Arrow streams")
    assert parse_batch(column).equals(parse_batch(ANSWERS))
