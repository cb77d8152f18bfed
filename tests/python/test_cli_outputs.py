"""What the command line writes: every field beside the answer valid and
of its own type, no input column ever replaced, outputs written as
coreutils write them, and every refusal one line with its status."""

import base64
import fcntl
import json
import os
import stat
import subprocess
import sys
import time
import uuid

import pytest

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

from tagmire import parse, parse_batch  # noqa: E402

COMMAND = [sys.executable, "-m", "tagmire"]


def tagmire(*args, cwd, **options):
    return subprocess.run([*COMMAND, *map(os.fsdecode, args)], capture_output=True, timeout=300, check=False,
                          cwd=cwd, **options)


def one_line(completed, status):
    err = completed.stderr.decode(errors="replace")
    assert completed.returncode == status and err.startswith("tagmire: error: ") and err.count("\n") == 1, err
    return err


def read(path):
    if path.suffix == ".parquet":
        table = pq.read_table(path)
        table.validate(full=True)
        return table.to_pylist()
    return [json.loads(line) for line in path.read_text(encoding="utf-8").splitlines()]


# --- the fields beside the answer ------------------------------------------------------

NEIGHBOURS = b'{"text": "a<cite/>", "meta": {"note": "ok"}}\n{"text": "b", "meta": {"note": "x\xffy"}}\n'


@pytest.mark.parametrize("suffix", [".parquet", ".jsonl"])
def test_a_neighbour_that_is_not_utf8_follows_the_answers_policy(tmp_path, suffix):
    (tmp_path / "in.jsonl").write_bytes(NEIGHBOURS)
    output = tmp_path / f"out{suffix}"
    err = one_line(tagmire("parse", "in.jsonl", "-o", output.name, cwd=tmp_path), 1)
    assert "in.jsonl:2: field 'meta.note' is not Unicode text (invalid UTF-8 at byte 1)" in err
    assert not output.exists()
    for policy, note in (("replace", "x\ufffdy"), ("null", None)):
        completed = tagmire("parse", "in.jsonl", "-o", output.name, "--errors", policy, "--keep-raw", "raw",
                            cwd=tmp_path)
        assert completed.returncode == 0, completed.stderr
        assert [row["meta"]["note"] for row in read(output)] == ["ok", note]


@pytest.mark.parametrize("policy", ["replace", "null"])
@pytest.mark.parametrize("suffix", [".parquet", ".jsonl"])
def test_the_raw_answer_and_escaped_surrogates_elsewhere_are_mended_too(tmp_path, policy, suffix):
    # --keep-raw kept the bad answer's bytes, and under null a valid escape
    # "\ud800" in another field became the bytes ED A0 80.
    (tmp_path / "in.jsonl").write_bytes(b'{"text": "c\xff", "other": "k\\ud800"}\n')
    output = tmp_path / f"out{suffix}"
    completed = tagmire("parse", "in.jsonl", "--errors", policy, "--keep-raw", "raw", "-o", output.name,
                        cwd=tmp_path)
    assert completed.returncode == 0, completed.stderr
    [row] = read(output)
    if policy == "replace":
        assert (row["other"], row["raw"], row["text"]) == ("k\ufffd", "c\ufffd", "c\ufffd")
    else:
        assert (row["other"], row["raw"], row["text"]) == (None, None, None)


def test_json_lines_keep_each_fields_type(tmp_path):
    # Big integers went through float, NaN and infinities were written as
    # NaN and Infinity (not JSON), binary was decoded with U+FFFD and a
    # UUID column gave a traceback.
    import decimal

    identifier = uuid.UUID("12345678-1234-5678-1234-567812345678")
    table = pa.table({
        "big": pa.array([9007199254740993, -(2**63)], pa.int64()),
        "huge": pa.array([decimal.Decimal(10**37 + 1), None], pa.decimal128(38, 0)),
        "float": [float("nan"), float("inf")],
        "whole": [2.0, -0.5],
        "bytes": [b"\xff\x00", None],
        "id": pa.ExtensionArray.from_storage(pa.uuid(), pa.array([identifier.bytes, None], pa.binary(16))),
        "text": ["a<cite/>", None],
    })
    pq.write_table(table, tmp_path / "in.parquet")
    completed = tagmire("parse", "in.parquet", cwd=tmp_path)
    assert completed.returncode == 0, completed.stderr
    lines = completed.stdout.decode().splitlines()
    rows = [json.loads(line) for line in lines]
    assert [row["big"] for row in rows] == [9007199254740993, -(2**63)]
    assert rows[0]["huge"] == 10**37 + 1 and rows[1]["huge"] is None
    assert [row["float"] for row in rows] == [None, None]
    assert '"whole":2.0' in lines[0]
    assert base64.b64decode(rows[0]["bytes"]) == b"\xff\x00"
    assert rows[0]["id"] == str(identifier)
    assert {k: rows[0][k] for k in ("text", "segments", "markers")} == \
        {k: v for k, v in parse("a<cite/>").to_dict().items() if k in ("text", "segments", "markers")}


# --- no column replaced -----------------------------------------------------------------

@pytest.mark.parametrize(("rows", "options", "message"), [
    ([{"id": "1", "text": "a"}], ["--keep-raw", "id"], "--keep-raw id: the input has a column 'id'"),
    ([{"resp": {"content": "a"}}], ["--field", "resp.content", "--keep-raw", "resp"],
     "--keep-raw resp: the input has a column 'resp'"),
    ([{"text": "a", "segments": 1}], [], "the input has a column 'segments', which the parsed column"),
])
@pytest.mark.parametrize("suffix", [".parquet", ".jsonl"])
def test_a_column_clash_is_refused_before_anything_is_written(tmp_path, rows, options, message, suffix):
    (tmp_path / "in.jsonl").write_text("".join(json.dumps(row) + "\n" for row in rows))
    err = one_line(tagmire("parse", "in.jsonl", *options, "-o", f"out{suffix}", cwd=tmp_path), 2)
    assert message in err and sorted(os.listdir(tmp_path)) == ["in.jsonl"]


def test_text_files_keep_their_path_column(tmp_path):
    (tmp_path / "a.txt").write_text("x<cite/>")
    assert "--field path: .txt inputs keep their file's name" in one_line(
        tagmire("parse", "a.txt", "--field", "path", cwd=tmp_path), 2)
    assert "--keep-raw path: the input has a column 'path'" in one_line(
        tagmire("parse", "a.txt", "--keep-raw", "path", cwd=tmp_path), 2)


def test_a_parsed_file_parses_again_under_a_prefix(tmp_path):
    (tmp_path / "in.jsonl").write_text('{"id": 1, "text": "a<note>b"}\n')
    assert tagmire("parse", "in.jsonl", "-o", "once.parquet", cwd=tmp_path).returncode == 0
    assert "--prefix NAME renames" in one_line(tagmire("parse", "once.parquet", "-o", "twice.parquet",
                                                       cwd=tmp_path), 2)
    # show writes no columns, so nothing stands in its way.
    shown = tagmire("show", "once.parquet", "--field", "segments", cwd=tmp_path)
    assert shown.returncode == 1 and b"column 'segments' holds" in shown.stderr
    assert tagmire("show", "in.jsonl", cwd=tmp_path).stdout.startswith(b"in.jsonl:1\n")
    (tmp_path / "parsed.jsonl").write_text('{"text": "a<note>b", "segments": 1, "markers": 2}\n')
    assert tagmire("show", "parsed.jsonl", cwd=tmp_path).stdout.startswith(b"parsed.jsonl:1\na[b]{note}")
    completed = tagmire("parse", "once.parquet", "--prefix", "again_", "--keep-raw", "raw", "-o", "twice.parquet",
                        cwd=tmp_path)
    assert completed.returncode == 0, completed.stderr
    table = pq.read_table(tmp_path / "twice.parquet")
    assert table.column_names == ["id", "segments", "markers", "raw", "again_text", "again_segments",
                                  "again_markers"]
    assert table.column("again_text").to_pylist() == ["ab"]


# --- files ---------------------------------------------------------------------------------

def test_a_symbolic_link_is_written_through_to_its_target(tmp_path):
    (tmp_path / "in.jsonl").write_text('{"text": "a"}\n')
    target = tmp_path / "real.jsonl"
    target.write_text("old")
    target.chmod(0o600)
    (tmp_path / "link.jsonl").symlink_to("real.jsonl")
    completed = tagmire("parse", "in.jsonl", "-o", "link.jsonl", cwd=tmp_path,
                        preexec_fn=lambda: os.umask(0o022))
    assert completed.returncode == 0, completed.stderr
    assert (tmp_path / "link.jsonl").is_symlink() and read(target)[0]["text"] == "a"
    assert stat.S_IMODE(target.stat().st_mode) == 0o600
    # A link to a device is written in place: /dev/null stays a device.
    (tmp_path / "null").symlink_to(os.devnull)
    assert tagmire("parse", "in.jsonl", "-o", "null", cwd=tmp_path).returncode == 0
    assert tagmire("parse", "in.jsonl", "-o", os.devnull, "--format", "parquet", cwd=tmp_path).returncode == 0
    assert stat.S_ISCHR(os.stat(os.devnull).st_mode)


def test_the_next_run_clears_temporary_files_that_a_killed_run_left(tmp_path):
    (tmp_path / "in.jsonl").write_text('{"text": "a"}\n')
    stale = tmp_path / ".out.parquet.0123abcd.partial"
    live = tmp_path / ".out.parquet.89abcdef.partial"
    other = tmp_path / ".other.parquet.0123abcd.partial"
    for path in (stale, live, other):
        path.write_bytes(b"PAR1")
        os.utime(path, (time.time() - 60, time.time() - 60))
    with open(live, "rb") as held:
        fcntl.flock(held, fcntl.LOCK_EX)  # a run that is still writing
        assert tagmire("parse", "in.jsonl", "-o", "out.parquet", cwd=tmp_path).returncode == 0
    assert sorted(os.listdir(tmp_path)) == sorted([live.name, other.name, "in.jsonl", "out.parquet"])


def test_write_errors_name_the_output(tmp_path, monkeypatch, capsys):
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("pyarrow's C++ exceptions abort under a preloaded ASan runtime")
    from tagmire._cli import main

    (tmp_path / "in.jsonl").write_text('{"text": "a"}\n')
    # A read-only folder, as the superuser running the tests never meets one.
    real_open = os.open

    def refused(path, *args, **kwargs):
        if str(path).endswith(".partial"):
            raise PermissionError(13, "Permission denied", str(path))
        return real_open(path, *args, **kwargs)

    monkeypatch.chdir(tmp_path)
    with monkeypatch.context() as patched:
        patched.setattr(os, "open", refused)
        assert main(["parse", "in.jsonl", "-o", "out.parquet"]) == 1
    assert capsys.readouterr().err == "tagmire: error: out.parquet: Permission denied\n"
    for form in ("jsonl", "parquet"):
        assert one_line(tagmire("parse", "in.jsonl", "-o", "/dev/full", "--format", form, cwd=tmp_path), 1) == \
            "tagmire: error: /dev/full: No space left on device\n"


# --- formats ----------------------------------------------------------------------------

def test_formats_compressions_and_row_groups(tmp_path):
    rows = [{"text": f"answer {i}<cite/>"} for i in range(5000)]
    (tmp_path / "in.jsonl").write_text("".join(json.dumps(row) + "\n" for row in rows))
    for name, codec in (("out.jsonl.gz", "gzip"), ("out.ndjson.zst", "zstd"), ("out.jsonl.bz2", "bz2")):
        assert tagmire("parse", "in.jsonl", "-o", name, cwd=tmp_path).returncode == 0
        with pa.CompressedInputStream(pa.OSFile(str(tmp_path / name)), codec) as stream:
            lines = stream.read().decode().splitlines()
        assert [json.loads(line)["text"] for line in lines] == [f"answer {i}" for i in range(5000)]
    completed = tagmire("parse", "in.jsonl", "-o", "out.parquet", "--batch-rows", "100", "--row-group-rows", "2000",
                        "--compression", "gzip", cwd=tmp_path)
    assert completed.returncode == 0, completed.stderr
    metadata = pq.ParquetFile(tmp_path / "out.parquet").metadata
    assert [metadata.row_group(i).num_rows for i in range(metadata.num_row_groups)] == [2000, 2000, 1000]
    assert metadata.row_group(0).column(0).compression == "GZIP"
    assert tagmire("parse", "in.jsonl", "-o", "data", "--format", "parquet", cwd=tmp_path).returncode == 0
    assert pq.read_table(tmp_path / "data").num_rows == 5000
    assert "(a .json file holds one document; JSON lines are .jsonl)" in one_line(
        tagmire("parse", "in.jsonl", "-o", "out.json", cwd=tmp_path), 2)
    assert "out.jsonl.gz: its suffix says gzip, not --compression zstd" in one_line(
        tagmire("parse", "in.jsonl", "-o", "out.jsonl.gz", "--compression", "zstd", cwd=tmp_path), 2)


# --- one line, never a traceback ----------------------------------------------------------

DEEP = "[" * 30_000 + "]" * 30_000


@pytest.mark.parametrize(("content", "options", "status", "message"), [
    (b'{"text": "a", "k\xff": 1}\n', [], 1, "in.jsonl:1: the field name 'k\\xff' is not Unicode text"),
    (b'{"text": "a"}\n{"text": "a", "m": {"k\\ud800": 1}}\n', ["--errors", "null"], 1,
     "in.jsonl:2: the field name 'k\\xed\\xa0\\x80' is not Unicode text"),
    (f'{{"text": "a", "deep": {"[" * 1000 + "]" * 1000}}}\n'.encode(), [], 1, "in.jsonl:1: nested deeper than 100"),
    (f'{{"text": "a", "deep": {DEEP}}}\n'.encode(), [], 1, "in.jsonl:1: nested deeper than 100"),
    (b'{"text": "a"}\n', ["--batch-rows", "99999999999999999999"], 2, "expected a positive whole number up to"),
    (b'{"text": "a"}\n', ["--config", "surrogate.json"], 1, "surrogate.json: holds a lone surrogate escape"),
    (b'{"text": "a"}\n', ["--config", "deep.json"], 1, "deep.json: "),  # too deep, or not a preset on 3.13
])
def test_bad_data_and_options_are_one_line(tmp_path, content, options, status, message):
    (tmp_path / "in.jsonl").write_bytes(content)
    (tmp_path / "surrogate.json").write_text('{"recovery_strategies": {"\\ud800": "noop"}}')
    (tmp_path / "deep.json").write_text('{"preset": ' + "[" * 5000 + "]" * 5000 + "}")
    assert message in one_line(tagmire("parse", "in.jsonl", *options, cwd=tmp_path), status)


def test_a_file_name_that_is_not_utf8_is_one_line(tmp_path):
    name = b"\xff.jsonl"
    (tmp_path / os.fsdecode(name)).write_text('{"text": "a"}\n')
    err = one_line(tagmire("parse", name, cwd=tmp_path), 2)
    assert "the name is not UTF-8" in err


def test_a_200_row_batch_of_hostile_answers_writes_json_lines_like_parse(tmp_path):
    from inputs import hostile_families

    texts = [family.make(2000) for family in hostile_families.FAMILIES]
    pq.write_table(pa.table({"text": texts}), tmp_path / "in.parquet")
    completed = tagmire("parse", "in.parquet", "--preset", "compat_default", cwd=tmp_path)
    assert completed.returncode == 0, completed.stderr
    rows = [json.loads(line) for line in completed.stdout.splitlines()]
    from tagmire import Config

    for row, text in zip(rows, texts):
        expected = parse(text, Config.compat_default()).to_dict()
        assert row == {k: expected[k] for k in ("text", "segments", "markers")}
    assert len(rows) == len(parse_batch(texts))


def test_json_integers_are_read_exactly_or_refused(tmp_path):
    # A float in the same field made pyarrow's reader round
    # 9007199254740993 to 9007199254740992.0, and integers above 64 bits
    # became rounded floats.
    lines = ('{"text": "a", "n": 9007199254740993, "big": 123456789012345678901234567890, "x": 0.5, '
             '"s": {"v": [18446744073709551615]}}\n'
             '{"text": "b", "n": 7, "big": 2, "x": 1, "s": {"v": [1]}, "when": "2024-05-01"}\n')
    (tmp_path / "in.jsonl").write_text(lines)
    for suffix in (".jsonl", ".parquet"):
        completed = tagmire("parse", "in.jsonl", "-o", f"out{suffix}", cwd=tmp_path)
        assert completed.returncode == 0, completed.stderr
        rows = read(tmp_path / f"out{suffix}")
        assert [row["n"] for row in rows] == [9007199254740993, 7]
        assert [int(row["big"]) for row in rows] == [123456789012345678901234567890, 2]
        assert [row["s"]["v"] for row in rows] == [[18446744073709551615], [1]]
        assert [row["x"] for row in rows] == [0.5, 1.0] and rows[1]["when"] == "2024-05-01"
    (tmp_path / "mixed.jsonl").write_text('{"text": "a", "n": 9007199254740993}\n{"text": "b", "n": 2.5}\n')
    assert "mixed.jsonl:1: field 'n' holds the integer 9007199254740993, which a float cannot hold exactly" in \
        one_line(tagmire("parse", "mixed.jsonl", cwd=tmp_path), 1)
