"""The batch's two forms and its bound on a row's output. The spans form
lists each span once, and says all that the segments form says; a row whose
columns would take more than max_output_ratio bytes per byte of its text is
measured before they are built and dealt with by the errors policy."""

import json
import subprocess
import sys

import pytest
from hypothesis import given, settings

pa = pytest.importorskip("pyarrow")

import tagmire  # noqa: E402
from conftest import CONFIGS, TEXTS  # noqa: E402
from inputs import hostile_families  # noqa: E402
from tagmire import Config, InvalidTextError, OutputTooLargeError, ParseColumn, parse, parse_batch, parse_frame  # noqa: E402

# A retro_line tag after every word, with nothing to cut the line: each
# tag's span reaches back to the line's start, so that segment i lies under
# every span from i on, and segment annotations add up to the square of
# the words (8,000 words: about 500 MB of columns).
NESTED = "word<cite> " * 8000
NESTING = Config(retro_line_split=False)


def segments_from_spans(row):
    """A row's segments as its spans give them: a cut at each end of a span,
    each piece under the annotations of the spans covering it, in order."""
    size = len(row["text"].encode())
    cuts = sorted({0, size} | {end for span in row["spans"] for end in (span["start"], span["end"])}) if size else []
    return [(start, end, [(span["tag"], span["attrs"]) for span in row["spans"]
                          if span["start"] <= start and end <= span["end"]])
            for start, end in zip(cuts, cuts[1:])]


def segments_listed(row):
    return [(s["start"], s["end"], [(a["tag"], a["attrs"]) for a in s["annotations"]]) for s in row["segments"]]


def check_forms_agree(texts, config, max_output_ratio=None):
    by_segments = parse_batch(texts, config, max_output_ratio=max_output_ratio, errors="null")
    by_spans = parse_batch(texts, config, form="spans")
    by_spans.validate(full=True)
    assert by_spans.column_names == ["text", "spans", "markers"]
    for text, segmented, spanned in zip(texts, by_segments.to_pylist(), by_spans.to_pylist()):
        if text is None:
            assert segmented["text"] is spanned["text"] is None
            continue
        for span in spanned["spans"]:
            encoded = spanned["text"].encode()
            assert (span["char_start"], span["char_end"]) == (
                len(encoded[:span["start"]].decode()), len(encoded[:span["end"]].decode()))
        if segmented["text"] is None:  # past the bound
            continue
        assert (spanned["text"], spanned["markers"]) == (segmented["text"], segmented["markers"])
        assert segments_from_spans(spanned) == segments_listed(segmented), text


@settings(max_examples=300, deadline=None)
@given(text=TEXTS, config=CONFIGS)
def test_spans_say_what_segments_say(text, config):
    check_forms_agree([text, None, text + "\n" + text], config)


@pytest.mark.parametrize("family", hostile_families.FAMILIES, ids=lambda family: family.name)
def test_hostile_rows_give_linear_spans_and_segments_within_their_bound(family):
    text = family.make(16 << 10)
    config = family.config.build()
    check_forms_agree([text], config, max_output_ratio=tagmire._batch.MAX_OUTPUT_RATIO)
    assert parse_batch([text], config, form="spans").nbytes < 64 * len(text.encode())


@pytest.mark.parametrize("as_arrow", [False, True], ids=["list", "arrow"])
def test_a_row_past_its_bound_is_refused_replaced_or_nulled_before_it_is_built(as_arrow):
    texts = ["fine <cite>x", NESTED, "<note k=v>also fine"]
    given_texts = pa.array(texts) if as_arrow else texts
    with pytest.raises(OutputTooLargeError) as refused:
        parse_batch(given_texts, NESTING, threads=2)
    error = refused.value
    assert isinstance(error, InvalidTextError) and error.row == 1
    assert error.limit == 64 * len(NESTED) < error.output_bytes and error.output_bytes > 400 << 20
    assert (error.position, error.unit) == (None, None)
    assert str(error) == (f"texts[1]: its output would take about {error.output_bytes} bytes, past its bound of "
                          f"{error.limit} (max_output_ratio=64)")

    others = parse_batch([texts[0], texts[2]], NESTING).to_pylist()
    replaced = parse_batch(given_texts, NESTING, errors="replace")
    plain = parse(NESTED, NESTING).text
    assert replaced.to_pylist() == [others[0], {"text": plain, "segments": [
        {"start": 0, "end": len(plain), "char_start": 0, "char_end": len(plain), "annotations": []}],
        "markers": []}, others[1]]
    assert replaced.nbytes < 64 * len(NESTED)
    nulled = parse_batch(given_texts, NESTING, errors="null")
    assert nulled.to_pylist() == [others[0], dict.fromkeys(others[0]), others[1]]
    # The spans form stays within the bound: the same row parses whole.
    spans = parse_batch(given_texts, NESTING, form="spans").column("spans")[1].as_py()
    assert len(spans) == 8000 and spans[0]["end"] == len(plain) - 1


def test_the_bound_follows_max_output_ratio():
    nested = NESTED[:len(NESTED) // 8]  # 1,000 words: 500,000 annotations
    with pytest.raises(OutputTooLargeError):
        parse_batch([nested], NESTING)
    whole = parse_batch([nested], NESTING, max_output_ratio=None)
    assert sum(len(s["annotations"]) for s in whole.column("segments")[0].as_py()) == 1000 * 1001 // 2
    assert parse_batch([nested], NESTING, max_output_ratio=2000).equals(whole)
    # A short row is held to the ratio times 1 KB, whatever its size.
    assert parse_batch(["<cite>"], NESTING, max_output_ratio=1).num_rows == 1


@pytest.mark.parametrize(("options", "message"), [
    ({"max_output_ratio": 0}, "max_output_ratio must be a positive int or None, not 0"),
    ({"max_output_ratio": 1.5}, "max_output_ratio must be a positive int or None, not 1.5"),
    ({"max_output_ratio": True}, "max_output_ratio must be a positive int or None, not True"),
    ({"form": "segment"}, "form must be 'segments' or 'spans', not 'segment'"),
])
def test_bad_forms_and_ratios_are_refused(options, message):
    with pytest.raises(ValueError, match=message):
        parse_batch(["x"], **options)
    with pytest.raises(ValueError, match=message):
        ParseColumn("text", **options)(pa.table({"text": ["x"]}))


def test_attrs_are_maps_in_both_forms_with_null_for_a_bare_key():
    map_type = pa.map_(pa.large_string(), pa.large_string())
    for form, items in (("segments", "segments"), ("spans", "spans")):
        table = parse_batch(["a<note k=v j>b</note><cite src=x/>"], form=form)
        item = table.schema.field(items).type.value_type
        attrs = (item.field("annotations").type.value_type if form == "segments" else item).field("attrs").type
        assert attrs == map_type
        assert table.schema.field("markers").type.value_type.field("attrs").type == map_type
        row = table.to_pylist()[0]
        annotated = [a for s in row["segments"] for a in s["annotations"]] if form == "segments" else row["spans"]
        assert [a["attrs"] for a in annotated] == [[("k", "v"), ("j", None)]]
        assert row["markers"][0]["attrs"] == [("src", "x")]


def test_frames_and_parse_column_take_the_form_and_the_bound():
    table = pa.table({"id": [1, 2], "answer": ["a<note>b</note>", NESTED]})
    framed = parse_frame(table, "answer", NESTING, form="spans", prefix="p_")
    assert framed.column_names == ["id", "answer", "p_text", "p_spans", "p_markers"]
    assert framed.column("p_spans").to_pylist()[0] == [
        {"start": 1, "end": 2, "char_start": 1, "char_end": 2, "tag": "note", "attrs": []}]
    nulled = ParseColumn("answer", NESTING, errors="null", prefix="p_")(table)
    assert nulled.column("p_segments")[1].as_py() is None
    pl = pytest.importorskip("polars")
    framed = parse_frame(pl.from_arrow(table), "answer", NESTING, errors="null", max_output_ratio=None)
    assert framed["parsed_text"].to_list()[0] == "ab"


@pytest.fixture
def nested_answers(tmp_path):
    (tmp_path / "answers.jsonl").write_text(json.dumps({"id": 1, "text": "a <note k=v>b</note>"}) + "\n"
                                            + json.dumps({"id": 2, "text": NESTED}) + "\n")
    (tmp_path / "nesting.json").write_text(json.dumps({"retro_line_split": False}))
    return tmp_path


def tagmire_command(*args, cwd):
    return subprocess.run([sys.executable, "-m", "tagmire", *args], capture_output=True, cwd=cwd, timeout=300,
                          check=False)


def test_the_command_line_bounds_rows_and_writes_spans(nested_answers):
    refused = tagmire_command("parse", "answers.jsonl", "--config", "nesting.json", cwd=nested_answers)
    assert refused.returncode == 1 and refused.stderr.count(b"\n") == 1 and refused.stdout == b""
    assert refused.stderr.startswith(b"tagmire: error: answers.jsonl:2: 'text' would take about ")
    assert b"(--max-output-ratio)" in refused.stderr

    nulled = tagmire_command("parse", "answers.jsonl", "--config", "nesting.json", "--errors", "null",
                             cwd=nested_answers)
    assert nulled.returncode == 0 and [json.loads(line)["segments"] for line in nulled.stdout.splitlines()][1] is None
    assert nulled.stderr == b"tagmire: 1 answer not Unicode text or past --max-output-ratio became null row (--errors null)\n"

    spans = tagmire_command("parse", "answers.jsonl", "--config", "nesting.json", "--form", "spans",
                            "--max-output-ratio", "none", "-o", "out.jsonl", cwd=nested_answers)
    assert spans.returncode == 0, spans.stderr
    first, second = map(json.loads, (nested_answers / "out.jsonl").read_text().splitlines())
    # A span holds its annotation as a marker does, as to_dict() gives both.
    assert first["spans"] == [{"start": 2, "end": 3, "char_start": 2, "char_end": 3,
                               "annotation": {"tag": "note", "attrs": {"k": "v"}}}]
    assert len(second["spans"]) == 8000 and list(first) == ["id", "text", "spans", "markers"]
