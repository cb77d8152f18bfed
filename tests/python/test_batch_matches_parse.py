"""parse_batch gives, row for row, what parse gives: the same text, segments
(with byte and character offsets), annotations and markers, whatever the
input's form, the configuration and the number of threads."""

import re
import subprocess
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

pa = pytest.importorskip("pyarrow")

import tagmire  # noqa: E402
from conftest import RECOVERY_KEYWORDS, TAG_NAMES, TEXTS, UNKNOWN_MODES  # noqa: E402
from inputs import corpora  # noqa: E402
from tagmire import Config, ParserConfig, parse, parse_batch  # noqa: E402

ROWS = st.lists(st.one_of(st.none(), TEXTS), max_size=12)
CONFIGS = st.one_of(
    st.none(),
    st.sampled_from([Config.default(), Config.cite()]),
    st.builds(
        Config,
        recognized_tags=st.lists(TAG_NAMES, max_size=6),
        recovery_strategies=st.dictionaries(TAG_NAMES, RECOVERY_KEYWORDS, max_size=4),
        unknown_mode=st.sampled_from([*UNKNOWN_MODES, "Strip"]),
        autoclose_on_any_tag=st.booleans(),
        autoclose_on_same_tag=st.booleans(),
        trim_punctuation=st.booleans(),
        case_sensitive_tags=st.booleans(),
    ),
)


def char_offset(text, byte_pos):
    return len(text.encode()[:byte_pos].decode())


def expected_row(text, config):
    """What parse gives for one row, in the shape of parse_batch's rows."""
    if text is None:
        return {"text": None, "segments": None, "markers": None}
    if config is None:
        config = Config()  # the package's default, not the module's
    if isinstance(config, Config):
        config = config.to_parser_config()
    result = parse(text, config)

    def attrs(annotation):
        return [(key, None if value is True else value) for key, value in annotation.attrs.items()]

    segments, start = [], 0
    for segment in result.segments:
        end = start + len(segment.text.encode())
        segments.append({
            "start": start, "end": end,
            "char_start": char_offset(result.text, start), "char_end": char_offset(result.text, end),
            "annotations": [{"tag": a.tag, "attrs": attrs(a)} for a in segment.annotations],
        })
        start = end
    markers = [{"pos": m.pos, "char_pos": char_offset(result.text, m.pos), "tag": m.annotation.tag,
                "attrs": attrs(m.annotation)} for m in result.markers]
    return {"text": result.text, "segments": segments, "markers": markers}


@settings(max_examples=150, deadline=None)
@given(ROWS, CONFIGS, st.integers(1, 4))
def test_rows_equal_parse_row_for_row(texts, config, threads):
    table = parse_batch(texts, config, threads=threads)
    assert table.schema == tagmire._batch.output_schema()
    table.validate(full=True)  # offsets, lengths, UTF-8 and validity of every buffer
    assert table.to_pylist() == [expected_row(text, config) for text in texts]


@settings(max_examples=40, deadline=None)
@given(ROWS, CONFIGS)
def test_a_parser_config_gives_what_its_config_gives(texts, config):
    parser_config = config.to_parser_config() if isinstance(config, Config) else config
    assert parse_batch(texts, parser_config, threads=2).equals(parse_batch(texts, config, threads=2))


SAMPLE = [None, "", "plain", "é<cite src=x k/>ü\n<note>b</note>", "<claim id=1>🙂 x</claim>" * 3,
          "a<cite>\n" * 40, None, "東京<todo>x", "ÿ<cite/>" * 5] * 7


def test_thread_counts_give_identical_tables():
    tables = [parse_batch(SAMPLE, threads=n) for n in range(1, 5)]
    assert all(table.equals(tables[0]) for table in tables[1:])
    # Each thread hands back its own chunk (threads beyond the cores are
    # not started); rows stay in input order.
    assert tables[3].column("text").num_chunks == min(4, tagmire._batch.usable_cores())
    assert tables[0].column("text").to_pylist() == [None if t is None else parse(t).text for t in SAMPLE]


def test_more_threads_than_rows_and_no_rows():
    assert parse_batch(["a<cite/>"], threads=8).to_pylist() == [expected_row("a<cite/>", None)]
    empty = parse_batch([], threads=3)
    assert empty.num_rows == 0 and empty.schema == tagmire._batch.output_schema()


@pytest.mark.parametrize(
    "make",
    [
        lambda texts: pa.array(texts, pa.string()),
        lambda texts: pa.array(texts, pa.large_string()),
        lambda texts: pa.array(texts, pa.string_view()),
        lambda texts: pa.array(texts, pa.string()).dictionary_encode(),
        lambda texts: pa.chunked_array([pa.array(texts[:10], pa.string()), pa.array(texts[10:], pa.string())]),
        lambda texts: pa.chunked_array([], pa.large_string()) if not texts else pa.chunked_array([texts]),
        lambda texts: pa.RecordBatchReader.from_batches(
            pa.schema([("answer", pa.string())]), [pa.record_batch([pa.array(texts)], names=["answer"])]),
        lambda texts: pa.table({"answer": texts}),
        lambda texts: tuple(texts),
    ],
    ids=["string", "large_string", "string_view", "dictionary", "chunked", "chunked-one", "stream", "table",
         "tuple"],
)
def test_every_input_form_gives_the_same_rows(make):
    expected = parse_batch(SAMPLE, threads=2)
    assert parse_batch(make(SAMPLE), threads=3).equals(expected)


@pytest.mark.parametrize("large", [False, True])
def test_sliced_arrays_read_from_their_offset(large):
    full = pa.array(["x<cite/>", None, "é<note>a", "b", None, "<claim>c"] * 3, pa.large_string() if large else pa.string())
    piece = full.slice(4, 9)
    assert piece.offset == 4
    assert parse_batch(piece, threads=2).to_pylist() == [expected_row(t, None) for t in piece.to_pylist()]


class ArrowExporter:
    """Something that is not pyarrow, speaking only the capsule protocol."""

    def __init__(self, data, stream):
        self.data, self.stream = data, stream

    def __getattr__(self, name):
        if name == ("__arrow_c_stream__" if self.stream else "__arrow_c_array__"):
            return getattr(self.data, name)
        raise AttributeError(name)


@pytest.mark.parametrize("stream", [False, True])
def test_any_capsule_exporter_is_read(stream):
    data = pa.chunked_array([SAMPLE]) if stream else pa.array(SAMPLE)
    assert parse_batch(ArrowExporter(data, stream), threads=2).equals(parse_batch(SAMPLE, threads=2))


def test_output_wraps_the_parsers_buffers_without_copying():
    texts = ["<note k=v>" + "x" * 2000 + "</note>"] * 500
    before = pa.total_allocated_bytes()
    table = parse_batch(texts, threads=2)
    # Everything the table holds (about 1 MB of text alone) lives outside
    # pyarrow's memory pool: it was never copied into it.
    assert table.nbytes > 1_000_000
    assert pa.total_allocated_bytes() - before < 10_000


def test_the_table_outlives_the_input():
    texts = [f"row {i} é<cite src={i}/>" for i in range(100)]
    table = parse_batch(pa.array(texts), threads=2)
    expected = [expected_row(t, None) for t in texts]
    del texts
    assert table.to_pylist() == expected


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda: parse_batch(["a", 1]), TypeError, "texts[1] must be a str or None, not 'int'"),
        (lambda: parse_batch("abc"), TypeError, "not a single str"),
        (lambda: parse_batch(42), TypeError, "not int"),
        (lambda: parse_batch(pa.array([1, 2])), TypeError, "must be Arrow strings, not int64"),
        (lambda: parse_batch(pa.table({"a": ["x"], "b": ["y"]})), TypeError, "one string column, not 2 (a, b)"),
        (lambda: parse_batch(["a"], threads=0), ValueError, "threads must be a positive int or None, not 0"),
        (lambda: parse_batch(["a"], threads=2.0), TypeError, "threads must be a positive int or None, not float"),
        (lambda: parse_batch(["a"], threads=True), TypeError, "not bool"),
        (lambda: parse_batch(["a"], {"trim_punctuation": False}), TypeError, "not dict"),
    ],
)
def test_bad_arguments_are_refused_clearly(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert message in str(raised.value)


def invalid_strings(pieces):
    """An Arrow string array whose bytes are `pieces` as they are, valid
    UTF-8 or not: producers can make such arrays, and pyarrow does not check."""
    data = b"".join(pieces)
    offsets = [0]
    for piece in pieces:
        offsets.append(offsets[-1] + len(piece))
    return pa.Array.from_buffers(pa.string(), len(pieces), [None, pa.py_buffer(pa.array(offsets, pa.int32())
                                                                                 .buffers()[1]), pa.py_buffer(data)])


# Overlong forms, an encoded surrogate and a code point past U+10FFFF used to
# pass into the text column (which then failed validation); other bytes
# raised UnicodeDecodeError. Lone surrogates in a str raised the encoder's error.
BAD_BYTES = [b"ok", b"over\xc0\xaflong", b"sur\xed\xa0\x80rogate", b"big\xf4\x90\x80\x80", b"x\x80y\xe2\x82"]


@pytest.mark.parametrize("texts", [
    ["fine", "also fine", "bad \ud800 here", "🙂\udfff"],
    invalid_strings(BAD_BYTES),
    pa.chunked_array([invalid_strings(BAD_BYTES[:2]), invalid_strings(BAD_BYTES[2:])]),
], ids=["str", "arrow", "chunked"])
@pytest.mark.parametrize("threads", [1, 3])
def test_text_that_cannot_be_parsed_is_refused_replaced_or_nulled(texts, threads):
    with pytest.raises(tagmire.InvalidTextError) as refused:
        parse_batch(texts, threads=threads)
    assert isinstance(refused.value, ValueError)
    first_bad = 2 if isinstance(texts, list) else 1
    assert refused.value.row == first_bad and str(refused.value).startswith(f"texts[{first_bad}]: ")
    assert refused.value.unit == ("character" if isinstance(texts, list) else "byte")
    assert str(refused.value) == ("texts[2]: character 4 is a lone surrogate (U+D800), which has no UTF-8 form"
                                  if isinstance(texts, list) else "texts[1]: not UTF-8 at byte 4")

    # One U+FFFD a lone surrogate; for bytes, what Python's decoder gives.
    as_python = [re.sub("[\ud800-\udfff]", "\ufffd", t) for t in texts] if isinstance(texts, list) else [
        piece.decode("utf-8", "replace") for piece in BAD_BYTES]
    replaced = parse_batch(texts, threads=threads, errors="replace")
    replaced.validate(full=True)
    assert replaced.to_pylist() == parse_batch(as_python).to_pylist()

    nulled = parse_batch(texts, threads=threads, errors="null")
    nulled.validate(full=True)
    expected = [text if text == good else None for text, good in zip(as_python, [
        "fine", "also fine", None, None] if isinstance(texts, list) else ["ok", None, None, None, None])]
    assert nulled.column("text").to_pylist() == expected
    with pytest.raises(ValueError, match="errors must be 'strict', 'replace' or 'null', not 'ignore'"):
        parse_batch(texts, errors="ignore")


def test_a_config_being_edited_is_refused():
    config = ParserConfig()

    class Tags:
        def __len__(self):
            return 1

        def __getitem__(self, index):
            if index == 0:
                parse_batch(["x"], config)
            raise IndexError

    with pytest.raises(RuntimeError, match="Already mutably borrowed"):
        config.set_recognized_tags(Tags())


def test_the_input_list_may_change_while_it_is_parsed():
    # parse_batch reads the strs of its own snapshot of the list, so another
    # thread replacing (and freeing) them meanwhile cannot pull text away
    # from under the parsing threads.
    import threading

    texts = ["<note>" + "x" * 5000 + f"é{i}" for i in range(400)]
    plain = {parse(t).text for t in texts}
    stop = threading.Event()

    def churn():
        while not stop.is_set():
            texts.append(texts.pop(0) + "!")

    worker = threading.Thread(target=churn)
    worker.start()
    try:
        results = [parse_batch(texts, threads=2) for _ in range(5)]
    finally:
        stop.set()
        worker.join()
    for result in results:
        assert result.num_rows in (399, 400)
        assert all(text.rstrip("!") in plain for text in result.column("text").to_pylist())


def test_parse_column_keeps_the_other_columns_and_pickles():
    import pickle

    from tagmire import ColumnClash, ParseColumn

    table = pa.table({"id": [1, 2, 3], "answer": ["a<cite/>", None, "é<note>x"], "score": [0.5, 1.0, 0.0]})
    parse_column = pickle.loads(pickle.dumps(ParseColumn("answer", Config.cite(), threads=2)))
    assert parse_column == ParseColumn("answer", Config.cite(), threads=2)
    out = parse_column(table.to_batches()[0])
    assert out.column_names == ["id", "score", "text", "segments", "markers"]
    assert out.select(["id", "score"]).equals(table.select(["id", "score"]))
    assert out.select(["text", "segments", "markers"]).equals(parse_batch(table.column("answer"), Config.cite()))
    with pytest.raises(KeyError, match="no column 'text' \\(columns: id, answer, score\\)"):
        ParseColumn()(table)
    with pytest.raises(ColumnClash, match="column 'segments': the parsed column of that name would replace"):
        ParseColumn("answer")(table.append_column("segments", pa.array([1, 2, 3])))
    # Under a prefix the parsed columns take names of their own; keep_raw
    # never takes a column's name either.
    renamed = ParseColumn("answer", prefix="p_", keep_raw="raw")(table.append_column("segments", pa.array([1, 2, 3])))
    assert renamed.column_names == ["id", "score", "segments", "raw", "p_text", "p_segments", "p_markers"]
    with pytest.raises(ColumnClash, match="keep_raw 'id': the table has a column of that name"):
        ParseColumn("answer", keep_raw="id")(table)


@pytest.mark.parametrize("wide", ["é", "中", "🙂"])
def test_ascii_runs_of_every_length_inside_wide_strs_encode_exactly(wide):
    # Runs are copied a block at a time: every run length around the block
    # size, starting and ending anywhere.
    texts = [("x" * before) + wide + ("<cite/>" + "y" * after) + wide * (after % 3)
             for before in range(0, 40, 3) for after in range(0, 40)]
    assert parse_batch(texts, threads=2).to_pylist() == [expected_row(t, None) for t in texts]


def test_later_batches_reuse_freed_memory_without_touching_tables_still_held():
    # Columns of a dropped table are kept for the next batch; a held table
    # must read as it was made however many batches come after it, in
    # every form and at sizes whose columns are kept.
    rows = {form: [corpora.llm(2048, form, seed=seed) for seed in range(600)] for form in corpora.FORMS}
    expected = {form: [expected_row(t, None) for t in texts] for form, texts in rows.items()}
    held = []
    for round_ in range(3):
        for form, texts in rows.items():
            table = parse_batch(texts[round_ * 100:] + texts[:round_ * 100], threads=2)
            if round_ != 1:
                held.append((form, round_, table))
    for form, round_, table in held:
        table.validate(full=True)
        assert table.to_pylist() == expected[form][round_ * 100:] + expected[form][:round_ * 100]


# A daemon thread still parsing when the interpreter exits is ended by
# CPython as it asks for the interpreter lock back: that ending once
# aborted the process ("terminate called without an active exception").
DAEMON_AT_EXIT = """
import sys, threading, time
import pyarrow as pa
import tagmire
texts = ["word <cite>x</cite> " * 2000] * 200
work = {{
    "list": lambda: tagmire.parse_batch(texts, threads=2),
    "arrow": lambda: tagmire.parse_batch(pa.array(texts), threads=2, errors="null"),
    "stream": lambda: tagmire.StreamParser(preview=False).feed(texts[0] * 4),
}}[{kind!r}]
started = threading.Event()
def loop():
    while True:
        work()
        started.set()
threading.Thread(target=loop, daemon=True).start()
started.wait()
time.sleep(0.05)
"""


@pytest.mark.parametrize("kind", ["list", "arrow", "stream"])
def test_a_daemon_thread_parsing_at_exit_lets_the_process_exit(kind):
    for _ in range(3):
        done = subprocess.run([sys.executable, "-c", DAEMON_AT_EXIT.format(kind=kind)], capture_output=True,
                              timeout=120)
        assert (done.returncode, done.stderr) == (0, b"")
