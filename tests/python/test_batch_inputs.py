"""The columns people have, as parse_batch and ParseColumn take them:
dictionaries of any index type, Polars' Categorical, pandas and NumPy
columns whose missing answers are NaN, fields of struct columns; and a
thread count beyond the cores, which must not start a thread per unit."""

import subprocess
import sys
import textwrap

import pytest

pa = pytest.importorskip("pyarrow")

from inputs import hostile_families  # noqa: E402

from tagmire import ParseColumn, parse_batch  # noqa: E402

ANSWERS = ["Water boils.<cite>\n<note>verify", None, "é<cite src=x/>ü", "", None, "<claim id=1>x"]
HOSTILE = [family.make(2000) for family in hostile_families.FAMILIES]


@pytest.mark.parametrize("texts", [ANSWERS, HOSTILE], ids=["answers", "hostile"])
@pytest.mark.parametrize(("index_type", "value_type"), [("int8", "string"), ("uint64", "large_string"),
                                                        ("uint32", "string_view"), ("int16", "string_view")])
def test_dictionary_columns_parse_as_their_strings(texts, index_type, value_type):
    encoded = pa.array(texts).dictionary_encode()
    dictionary = pa.DictionaryArray.from_arrays(encoded.indices.cast(getattr(pa, index_type)()),
                                                encoded.dictionary.cast(getattr(pa, value_type)()))
    assert parse_batch(dictionary).equals(parse_batch(texts))


def test_polars_categorical_and_pandas_nan_columns_parse_with_null_rows():
    pl = pytest.importorskip("polars")
    pd = pytest.importorskip("pandas")
    np = pytest.importorskip("numpy")
    expected = parse_batch(ANSWERS)
    assert parse_batch(pl.Series(ANSWERS, dtype=pl.Categorical)).equals(expected)
    with_nan = [np.nan if text is None else text for text in ANSWERS]
    assert parse_batch(pd.Series(with_nan, dtype=object)).equals(expected)
    assert parse_batch(np.array(with_nan, dtype=object)).equals(expected)
    assert parse_batch(pd.DataFrame({"answer": with_nan})).equals(expected)
    assert parse_batch(pa.nulls(3)).to_pylist() == [{"text": None, "segments": None, "markers": None}] * 3


def test_parse_column_reaches_a_field_of_a_struct_column_and_keeps_the_raw_answer():
    responses = pa.array([None if t is None else {"content": t, "n": 1} for t in ANSWERS])
    table = pa.table({"id": range(len(ANSWERS)), "response": responses})
    parsed = ParseColumn("response.content", keep_raw="raw")(table)
    assert parsed.column_names == ["id", "response", "raw", "text", "segments", "markers"]
    assert parsed.column("raw").to_pylist() == ANSWERS
    assert parsed.select(["text", "segments", "markers"]).equals(parse_batch(ANSWERS))
    # A column whose own name has a dot wins over the path into a struct.
    dotted = table.append_column("response.content", pa.array(["<cite/>"] * len(ANSWERS)))
    assert ParseColumn("response.content")(dotted).column("markers").to_pylist()[0][0]["tag"] == "cite"
    for path, message in [("response.missing", "'response' has no field 'missing' (fields: content, n)"),
                          ("id.x", "'id' holds int64, not fields"), ("nothing", "no column 'nothing'")]:
        with pytest.raises(KeyError, match=message.replace("(", r"\(").replace(")", r"\)")):
            ParseColumn(path)(table)
    with pytest.raises(TypeError, match="column 'id' holds int64, not strings"):
        ParseColumn("id")(table)


CAPPED = textwrap.dedent("""
    import resource, sys
    import pyarrow, tagmire
    # Room for a few thread stacks, not for ten thousand (8 MB each).
    size = int(open("/proc/self/status").read().split("VmSize:")[1].split()[0]) * 1024
    resource.setrlimit(resource.RLIMIT_AS, (size + (1 << 30), resource.RLIM_INFINITY))
    print(tagmire.parse_batch(["a<cite/>"] * 20000, threads=10000).num_rows)
""")


@pytest.mark.skipif(sys.platform != "linux", reason="needs Linux's RLIMIT_AS")
def test_threads_beyond_the_cores_are_capped_at_them():
    completed = subprocess.run([sys.executable, "-c", CAPPED], capture_output=True, text=True, timeout=300,
                               check=False)
    assert (completed.returncode, completed.stdout) == (0, "20000\n"), completed.stderr
