"""The command line end to end: every input kind, kept columns, standard
input and output, every user error as one line with exit status 1, and no
output file left behind by a failed run."""

import io
import json
import os
import shutil
import subprocess
import sys

import pytest

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

from tagmire import parse_batch  # noqa: E402
from tagmire._cli import main  # noqa: E402

ANSWERS = ["Water boils at 100 C.<cite>\n<note>verify altitude", "é<cite src=x k/>ü", None, "", "<claim id=1>x"]


def run(argv, stdin=b"", monkeypatch=None):
    """main(argv) with standard input fed `stdin`; returns (status, stdout, stderr)."""
    out, err = io.StringIO(), io.StringIO()
    old = sys.stdin, sys.stdout, sys.stderr
    sys.stdin, sys.stdout, sys.stderr = io.TextIOWrapper(io.BytesIO(stdin)), out, err
    try:
        status = main(argv)
    finally:
        sys.stdin, sys.stdout, sys.stderr = old
    return status, out.getvalue(), err.getvalue()


def parsed_rows(texts):
    return parse_batch(texts).to_pylist()


def jsonl(rows):
    return "".join(json.dumps(row) + "\n" for row in rows)


@pytest.fixture
def inputs(tmp_path):
    (tmp_path / "answers.jsonl").write_text(jsonl({"id": i, "text": t, "meta": {"n": i}} for i, t in
                                                  enumerate(ANSWERS)))
    pq.write_table(pa.table({"id": list(range(len(ANSWERS))), "answer": ANSWERS}), tmp_path / "answers.parquet",
                   row_group_size=2)
    for i, text in enumerate(ANSWERS[:2]):
        (tmp_path / f"a{i}.txt").write_text(text, encoding="utf-8")
    return tmp_path


def read_output(path):
    if path.suffix == ".parquet":
        return pq.read_table(path).to_pylist()
    return [json.loads(line) for line in path.read_text(encoding="utf-8").splitlines()]


@pytest.mark.parametrize("suffix", [".parquet", ".jsonl"])
def test_jsonl_input_keeps_its_other_fields(inputs, suffix):
    output = inputs / f"out{suffix}"
    assert run(["parse", str(inputs / "answers.jsonl"), "-o", str(output), "--batch-rows", "2"])[0] == 0
    expected = [{"id": i, "meta": {"n": i}, **row} for i, row in enumerate(parsed_rows(ANSWERS))]
    assert read_output(output) == expected


@pytest.mark.parametrize("suffix", [".parquet", ".jsonl"])
def test_parquet_input_keeps_its_other_columns(inputs, suffix):
    output = inputs / f"out{suffix}"
    status, _, err = run(["parse", str(inputs / "answers.parquet"), "--column", "answer", "-o", str(output),
                          "--threads", "2", "--batch-rows", "3"])
    assert (status, err) == (0, "")
    assert read_output(output) == [{"id": i, **row} for i, row in enumerate(parsed_rows(ANSWERS))]


def test_text_files_are_one_answer_each_beside_their_path(inputs):
    files = [str(inputs / "a0.txt"), str(inputs / "a1.txt")]
    status, out, _ = run(["parse", *files])
    assert status == 0
    assert [json.loads(line) for line in out.splitlines()] == [
        {"path": path, **row} for path, row in zip(files, parsed_rows(ANSWERS[:2]))]


def test_standard_input_to_standard_output_with_a_config(inputs):
    config = inputs / "cite.toml"
    config.write_text('preset = "cite"\n')
    lines = jsonl({"answer": t} for t in ANSWERS).encode()
    status, out, _ = run(["parse", "-", "--field", "answer", "--config", str(config)], stdin=lines)
    assert status == 0
    from tagmire import Config
    expected = parse_batch(ANSWERS, Config.cite()).to_pylist()
    assert [json.loads(line) for line in out.splitlines()] == expected


def test_several_inputs_are_written_in_order(inputs):
    output = inputs / "all.jsonl"
    files = [str(inputs / "answers.jsonl"), str(inputs / "a0.txt"), str(inputs / "answers.jsonl")]
    assert run(["parse", *files, "-o", str(output)])[0] == 0
    assert [row["text"] for row in read_output(output)] == [r["text"] for r in parsed_rows(
        ANSWERS + ANSWERS[:1] + ANSWERS)]


BAD_LINES = {
    "malformed.jsonl": ('{"text": "a"}\n{"text": "b"\n', "malformed.jsonl:2: not valid JSON"),
    "number.jsonl": ('{"text": "a"}\n\n{"text": 5}\n', "number.jsonl:3: field 'text' is a number, not a string"),
    "nofield.jsonl": ('{"text": "a"}\n{"answer": "b"}\n', "nofield.jsonl:2: no field 'text'"),
    "array.jsonl": ('[1]\n', "array.jsonl:1: expected a JSON object, got an array"),
    "clash.jsonl": ('{"text": "a", "segments": 1}\n', "clash.jsonl:1: field 'segments' would be replaced"),
}


@pytest.mark.parametrize(
    ("argv", "message"),
    [
        (["parse", "{dir}/missing.jsonl", "-o", "{out}"], "missing.jsonl: no such file"),
        (["parse", "{dir}/answers.csv", "-o", "{out}"], "answers.csv: cannot read .csv"),
        (["parse", "{dir}/answers.parquet", "-o", "{out}"], "no column 'text' (columns: id, answer)"),
        (["parse", "{dir}/answers.parquet", "--column", "id", "-o", "{out}"], "column 'id' holds int64, not strings"),
        (["parse", "{dir}/answers.jsonl", "--field", "id", "-o", "{out}"], "answers.jsonl:1: field 'id' is a number"),
        (["parse", "{dir}/answers.jsonl", "--config", "{dir}/missing.toml", "-o", "{out}"],
         "missing.toml: No such file or directory"),
        (["parse", "{dir}/answers.jsonl", "--config", "{dir}/bad.toml", "-o", "{out}"],
         "bad.toml: unknown_mode: unknown mode 'drop'"),
        (["parse", "{dir}/answers.jsonl", "-o", "{dir}/out.csv"], "out.csv: cannot write .csv"),
        (["parse", "{dir}/answers.jsonl", "-o", "{dir}/nowhere/out.jsonl"], "no such folder"),
        (["parse", "{dir}/broken.parquet", "-o", "{out}"], "broken.parquet: not a readable Parquet file"),
        (["parse", "{dir}/latin1.txt", "-o", "{out}"], "latin1.txt: not UTF-8 text"),
        *[(["parse", "{dir}/answers.jsonl", f"{{dir}}/{name}", "-o", "{out}"], message)
          for name, (_, message) in BAD_LINES.items()],
    ],
)
@pytest.mark.parametrize("output", ["out.parquet", "out.jsonl"])
def test_user_errors_are_one_line_and_leave_no_file(inputs, argv, message, output):
    if "broken.parquet" in argv[1] and "libasan" in os.environ.get("LD_PRELOAD", ""):
        # pyarrow's Parquet reader throws C++ exceptions inside its own
        # libraries, which abort under a preloaded AddressSanitizer runtime.
        pytest.skip("pyarrow's C++ exceptions abort under a preloaded ASan runtime")
    for name, (content, _) in BAD_LINES.items():
        (inputs / name).write_text(content)
    (inputs / "bad.toml").write_text('unknown_mode = "drop"\n')
    (inputs / "broken.parquet").write_bytes(b"PAR1 not really")
    (inputs / "latin1.txt").write_bytes("café".encode("latin-1"))
    before = set(os.listdir(inputs))
    argv = [a.format(dir=inputs, out=inputs / output) for a in argv]
    status, _, err = run(argv)
    assert status == 1
    assert err.startswith("tagmire: error: ") and err.count("\n") == 1, err
    assert message in err
    assert set(os.listdir(inputs)) == before  # neither the output nor a temporary file


def test_a_failing_run_keeps_the_previous_output(inputs):
    output = inputs / "out.parquet"
    output.write_bytes(b"previous")
    (inputs / "late.jsonl").write_text(jsonl([{"text": "ok"}] * 5) + "{oops\n")
    assert run(["parse", str(inputs / "late.jsonl"), "-o", str(output), "--batch-rows", "2"])[0] == 1
    assert output.read_bytes() == b"previous"


def test_jsonl_fields_that_do_not_fit_parquet_are_refused(inputs):
    (inputs / "mixed.jsonl").write_text(jsonl([{"text": "a", "n": 1}, {"text": "b", "n": "x"}]))
    status, _, err = run(["parse", str(inputs / "mixed.jsonl"), "-o", str(inputs / "o.parquet"),
                          "--batch-rows", "1"])
    assert status == 1 and "write JSONL output instead" in err
    status, out, _ = run(["parse", str(inputs / "mixed.jsonl")])
    assert status == 0 and [json.loads(line)["n"] for line in out.splitlines()] == [1, "x"]


@pytest.mark.parametrize("argv", [["parse", "{dir}/answers.jsonl", "--threads", "0"], ["parse"], ["parse", "--ray"]])
def test_bad_options_are_usage_errors(inputs, argv):
    with pytest.raises(SystemExit) as raised:
        run([a.format(dir=inputs) for a in argv])
    assert raised.value.code == 2


def test_ray_before_the_inputs_leaves_them_inputs(inputs, monkeypatch):
    import tagmire._cli as cli

    seen = {}

    def fake_ray(names, options, address):
        seen.update(names=names, address=address)
        return iter(())

    monkeypatch.setattr(cli, "read_with_ray", fake_ray)
    status, _, _ = run(["parse", "--ray", str(inputs / "answers.parquet"), "-o", str(inputs / "o.jsonl")])
    assert status == 0 and seen == {"names": [str(inputs / "answers.parquet")], "address": ""}
    run(["parse", str(inputs / "answers.parquet"), "--ray", "ray://head:10001"])
    assert seen["address"] == "ray://head:10001"


def test_progress_is_drawn_on_a_terminal_only(inputs, monkeypatch):
    pytest.importorskip("tqdm")

    class Terminal(io.StringIO):
        def isatty(self):
            return True

    monkeypatch.setattr(sys, "stderr", Terminal())
    from tagmire._cli import build_parser, run as run_command
    args = build_parser().parse_args(["parse", str(inputs / "answers.parquet"), "--column", "answer",
                                      "-o", str(inputs / "o.jsonl")])
    run_command(args, io.BytesIO(), io.StringIO())
    drawn = sys.stderr.getvalue()
    assert "rows/s" in drawn and "MB/s" in drawn and "100%" in drawn
    _, _, err = run(["parse", str(inputs / "answers.parquet"), "--column", "answer", "-o", str(inputs / "p.jsonl")])
    assert err == ""


@pytest.mark.parametrize("command", [["tagmire"], [sys.executable, "-m", "tagmire"]], ids=["script", "module"])
def test_installed_commands_exit_cleanly_without_a_traceback(inputs, command):
    if command == ["tagmire"]:
        script = shutil.which("tagmire", path=os.path.dirname(sys.executable))
        if script is None:
            pytest.skip("the console script is not beside this interpreter")
        command = [script]
    good = subprocess.run([*command, "parse", "-"], input=b'{"text": "a<cite/>"}\n', capture_output=True,
                          timeout=120, check=False)
    assert good.returncode == 0, good.stderr
    assert json.loads(good.stdout)["markers"][0]["tag"] == "cite"
    bad = subprocess.run([*command, "parse", "-"], input=b'{"text": 1}\n', capture_output=True, timeout=120,
                         check=False)
    assert bad.returncode == 1
    assert bad.stderr == b"tagmire: error: <stdin>:1: field 'text' is a number, not a string\n"
