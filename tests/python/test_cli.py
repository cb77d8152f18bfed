"""The command line, run as users run it (`python -m tagmire`): every input
kind gives parse_batch's rows beside the input's other columns; every
refusal is one line, a trustworthy exit status and no file left behind;
signals, closed pipes and the umask are handled as a Unix tool handles
them; and the hostile input families go through every input path."""

import contextlib
import gzip
import json
import os
import re
import signal
import subprocess
import sys
import sysconfig
import time

import pytest

# The command line is driven through terminals (pty, termios) and POSIX
# signals here.
if sys.platform == "win32":
    pytest.skip("needs POSIX terminals and signals, which Windows lacks", allow_module_level=True)

import fcntl  # noqa: E402
import pty  # noqa: E402
import termios  # noqa: E402

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

from conftest import family_config, run_on_terminal  # noqa: E402
from inputs import hostile_families  # noqa: E402

from tagmire import Config, parse, parse_batch  # noqa: E402

ANSWERS = ["Water boils at 100 C.<cite>\n<note>verify altitude", "é<cite src=x k/>ü", None, "",
           "<claim id=1>x", "2024-05-01"]
COMMAND = [sys.executable, "-m", "tagmire"]


def tagmire(*args, stdin=b"", cwd=None, **options):
    return subprocess.run([*COMMAND, *map(str, args)], input=stdin, capture_output=True, timeout=300, check=False,
                          cwd=cwd, **options)


def jsonl(rows):
    return "".join(json.dumps(row) + "\n" for row in rows)


def read_output(path):
    if path.suffix == ".parquet":
        return pq.read_table(path).to_pylist()
    return [json.loads(line) for line in path.read_text(encoding="utf-8").splitlines()]


def expected(texts, config=None, suffix=".parquet", **kept):
    """The rows of an output, each the kept columns given as lists and then
    the parsed columns: parse_batch's for Parquet, and for JSON lines the
    shape of the records' to_dict()."""
    if suffix == ".parquet":
        rows = parse_batch(texts, config).to_pylist()
    else:
        rows = [dict.fromkeys(("text", "segments", "markers")) if text is None else
                {name: value for name, value in parse(text, config).to_dict().items()
                 if name in ("text", "segments", "markers")} for text in texts]
    return [{**{name: values[i] for name, values in kept.items()}, **row} for i, row in enumerate(rows)]


def ok(completed):
    assert (completed.returncode, completed.stderr) == (0, b""), completed.stderr.decode()
    return completed


@pytest.fixture
def inputs(tmp_path):
    """The answers with their ids in every input kind."""
    ids = list(range(len(ANSWERS)))
    lines = jsonl({"id": i, "text": t} for i, t in zip(ids, ANSWERS))
    (tmp_path / "answers.jsonl").write_text(lines)
    (tmp_path / "answers.ndjson").write_text(lines)
    (tmp_path / "answers.jsonl.gz").write_bytes(gzip.compress(lines.encode()))
    pq.write_table(pa.table({"id": ids, "text": ANSWERS}), tmp_path / "answers.parquet", row_group_size=2)
    folder = tmp_path / "dataset" / "part=a"
    folder.mkdir(parents=True)
    pq.write_table(pa.table({"id": ids[:3], "text": ANSWERS[:3]}), folder / "0.parquet")
    pq.write_table(pa.table({"id": ids[3:], "text": ANSWERS[3:]}), folder / "1.parquet")
    (tmp_path / "dataset" / "_SUCCESS").write_text("")
    (tmp_path / "lines").mkdir()
    (tmp_path / "lines" / "0.jsonl").write_text(lines)
    (tmp_path / "lines" / "1.ndjson.gz").write_bytes(gzip.compress(lines.encode()))
    for i, text in enumerate(ANSWERS[:2]):
        (tmp_path / f"a{i}.txt").write_text(text, encoding="utf-8")
    return tmp_path


# --- every input kind -----------------------------------------------------------

@pytest.mark.parametrize("suffix", [".parquet", ".jsonl"])
def test_every_input_kind_gives_the_rows_of_parse_batch(inputs, suffix):
    output = inputs / f"out{suffix}"
    names = ["answers.jsonl", "answers.ndjson", "answers.jsonl.gz", "answers.parquet", "lines"]
    ok(tagmire("parse", *names, "-o", output.name, "--batch-rows", "2", cwd=inputs))
    ids = list(range(len(ANSWERS)))
    assert read_output(output) == expected(ANSWERS * 6, None, suffix, id=ids * 6)
    # A Parquet dataset keeps its partition column; text files keep their path.
    ok(tagmire("parse", "dataset", "a0.txt", "a1.txt", "-o", output.name, cwd=inputs))
    assert read_output(output) == [
        *expected(ANSWERS, id=ids, part=["a"] * len(ANSWERS), path=[None] * len(ANSWERS)),
        *expected(ANSWERS[:2], id=[None] * 2, part=[None] * 2, path=["a0.txt", "a1.txt"]),
    ] if suffix == ".parquet" else [
        *expected(ANSWERS, None, suffix, id=ids, part=["a"] * len(ANSWERS)),
        *expected(ANSWERS[:2], None, suffix, path=["a0.txt", "a1.txt"]),
    ]


def test_standard_input_to_standard_output_with_a_preset(inputs):
    lines = jsonl({"answer": t} for t in ANSWERS).encode()
    out = ok(tagmire("parse", "-", "--field", "answer", "--preset", "cite", stdin=lines)).stdout
    assert [json.loads(line) for line in out.splitlines()] == expected(ANSWERS, Config.cite(), ".jsonl")


@pytest.mark.parametrize("kind", ["jsonl", "parquet"])
def test_a_nested_field_is_parsed_and_the_raw_answer_kept_on_request(tmp_path, kind):
    responses = [None if t is None else {"content": t, "model": "m"} for t in ANSWERS]
    source = tmp_path / f"in.{kind}"
    if kind == "jsonl":
        source.write_text(jsonl({"prompt": "p", "response": r} for r in responses))
    else:
        pq.write_table(pa.table({"prompt": ["p"] * len(ANSWERS), "response": responses}), source)
    output = tmp_path / "out.jsonl"
    ok(tagmire("parse", source, "--field", "response.content", "--keep-raw", "raw", "-o", output))
    assert read_output(output) == expected(ANSWERS, None, ".jsonl", prompt=["p"] * len(ANSWERS), response=responses,
                                           raw=ANSWERS)
    # The answer's own column, kept under another name beside its parse.
    source.write_text(jsonl({"text": t} for t in ANSWERS)) if kind == "jsonl" else \
        pq.write_table(pa.table({"text": ANSWERS}), source)
    ok(tagmire("parse", source, "--keep-raw", "raw", "-o", output))
    assert read_output(output) == expected(ANSWERS, None, ".jsonl", raw=ANSWERS)


def test_fields_that_first_appear_late_become_parquet_columns(tmp_path):
    rows = [{"text": f"a<cite/>{i}"} for i in range(5)] + [{"text": "b", "late": {"x": 1}}, {"text": None, "n": 2}]
    source = tmp_path / "late.jsonl"
    source.write_text(jsonl(rows))
    output = tmp_path / "out.parquet"
    ok(tagmire("parse", source, "-o", output, "--batch-rows", "2"))
    table = pq.read_table(output)
    assert table.column_names == ["late", "n", "text", "segments", "markers"]
    assert table.column("late").to_pylist() == [None] * 5 + [{"x": 1}, None]
    assert table.drop_columns(["late", "n"]).to_pylist() == expected([row["text"] for row in rows])
    # Standard input cannot be read twice: the field's line is named instead.
    completed = tagmire("parse", "-", "-o", output, "--batch-rows", "2", stdin=source.read_bytes())
    assert completed.returncode == 1
    assert completed.stderr.startswith(b"tagmire: error: <stdin>:6: field 'late' first appears here")


@pytest.mark.parametrize("index_type", ["int8", "uint16", "int64"])
def test_dictionary_and_categorical_columns_are_read_as_their_strings(tmp_path, index_type):
    pl = pytest.importorskip("polars")
    frame = pl.DataFrame({"id": range(len(ANSWERS)), "text": pl.Series(ANSWERS, dtype=pl.Categorical)})
    frame.write_parquet(tmp_path / "categorical.parquet")
    dictionary = pa.array(ANSWERS).dictionary_encode().cast(pa.dictionary(getattr(pa, index_type)(), pa.string()))
    pq.write_table(pa.table({"id": range(len(ANSWERS)), "text": dictionary}), tmp_path / "dictionary.parquet")
    output = tmp_path / "out.jsonl"
    ok(tagmire("parse", "categorical.parquet", "dictionary.parquet", "-o", output, cwd=tmp_path))
    assert read_output(output) == expected(ANSWERS * 2, None, ".jsonl", id=list(range(len(ANSWERS))) * 2)


def test_strings_that_look_like_dates_stay_as_written(tmp_path):
    (tmp_path / "dates.jsonl").write_text(jsonl([{"when": "2024-05-01", "text": "2024-05-01T10:00:00"}]))
    out = ok(tagmire("parse", "dates.jsonl", cwd=tmp_path)).stdout
    row = json.loads(out)
    assert (row["when"], row["text"]) == ("2024-05-01", "2024-05-01T10:00:00")


# --- text that is not Unicode -----------------------------------------------------------

BAD_TEXT = b'{"text": "ok"}\n{"text": "a\\ud800b"}\n{"text": "c\xff"}\n'


def test_a_lone_surrogate_escape_stops_strictly_at_its_line(tmp_path):
    (tmp_path / "bad.jsonl").write_bytes(BAD_TEXT)
    completed = tagmire("parse", "bad.jsonl", "-o", "out.parquet", cwd=tmp_path)
    assert completed.returncode == 1 and completed.stderr.count(b"\n") == 1
    assert completed.stderr.startswith(b"tagmire: error: bad.jsonl:2: a string holds a lone surrogate escape")
    assert sorted(os.listdir(tmp_path)) == ["bad.jsonl"]


def test_invalid_utf8_stops_strictly_at_its_line(tmp_path):
    (tmp_path / "bad.jsonl").write_bytes(BAD_TEXT.replace(b"\\ud800", b"d800"))
    completed = tagmire("parse", "bad.jsonl", "-o", "out.parquet", cwd=tmp_path)
    assert completed.returncode == 1 and completed.stderr.count(b"\n") == 1
    assert completed.stderr.startswith(b"tagmire: error: bad.jsonl:3: 'text' is not Unicode text")
    assert sorted(os.listdir(tmp_path)) == ["bad.jsonl"]


@pytest.mark.parametrize(("policy", "texts"), [("replace", ["ok", "a\ufffdb", "c\ufffd"]),
                                               ("null", ["ok", None, None])])
def test_text_that_is_not_unicode_is_replaced_or_null_on_request(tmp_path, policy, texts):
    (tmp_path / "bad.jsonl").write_bytes(BAD_TEXT)
    completed = tagmire("parse", "bad.jsonl", "--errors", policy, cwd=tmp_path)
    assert completed.returncode == 0
    assert [json.loads(line)["text"] for line in completed.stdout.splitlines()] == texts
    # Rows that became null are counted, so that none is lost unseen.
    assert completed.stderr == (b"tagmire: 2 answers not Unicode text or past --max-output-ratio became null rows (--errors null)\n"
                                if policy == "null" else b"")


# --- refusals ---------------------------------------------------------------------------

BAD_LINES = {
    "malformed.jsonl": ('{"text": "a"}\n\n{"text": "b"\n', "malformed.jsonl:3: not valid JSON"),
    "number.jsonl": ('{"text": "a"}\n\n{"text": 5}\n', "number.jsonl:3: field 'text' is a number here"),
    "numbers.jsonl": ('{"text": 4}\n\n{"text": 5}\n', "numbers.jsonl:1: column 'text' holds int64, not strings"),
    "nofield.jsonl": ('{"answer": "b"}\n', "nofield.jsonl: no column 'text' (columns: answer)"),
    "array.jsonl": ('[1]\n', "array.jsonl:1: expected a JSON object, got an array"),
    "mixed.jsonl": ('{"text": "a", "n": 1}\n{"text": "b", "n": 2}\n{"text": "c", "n": "x"}\n',
                    "mixed.jsonl:3: field 'n' is a string here but a number on the lines before"),
}

REFUSALS = [
    # (arguments, exit status, message)
    (["parse", "missing.jsonl"], 2, "missing.jsonl: no such file or folder"),
    (["parse", "answers.csv"], 2, "answers.csv: cannot read .csv"),
    (["parse", "mixed"], 2, "mixed: holds files of more than one kind"),
    (["parse", "empty"], 2, "empty: holds no files to read"),
    (["parse", "answers.jsonl", "-o", "out.csv"], 2, "out.csv: cannot tell the format of .csv"),
    (["parse", "answers.jsonl", "-o", "nowhere/out.jsonl"], 2, "no such folder"),
    (["parse", "answers.jsonl", "-o", "answers.jsonl"], 2, "answers.jsonl: is also an input"),
    (["parse", "answers.parquet", "-o", "answers.parquet"], 2, "answers.parquet: is also an input"),
    (["parse", "answers.jsonl", "-o", "link.jsonl"], 2, "link.jsonl: is also an input"),
    (["parse", "answers.jsonl", "-o", "hardlink.jsonl"], 2, "hardlink.jsonl: is also an input"),
    (["parse", "mixed", "-o", "mixed/new.parquet"], 2, "lies inside the input folder mixed"),
    (["parse", "-", "-"], 2, "standard input (-) can be read only once"),
    (["parse", "answers.jsonl", "--keep-raw", "markers"], 2, "--keep-raw markers: the parser writes a column"),
    (["parse", "answers.jsonl", "--config", "missing.toml"], 2, "missing.toml: no such configuration file"),
    (["parse", "answers.jsonl", "--config", "bad.toml"], 1, "bad.toml: unknown_mode: unknown mode 'drop'"),
    (["parse", "answers.jsonl", "--config", "bad.toml", "--preset", "cite"], 2, "not allowed with argument"),
    (["parse", "answers.jsonl", "--threads", "0"], 2, "expected a positive whole number"),
    (["parse", "answers.jsonl", "--preset", "nope"], 2, "invalid choice: 'nope'"),
    (["parse", "--ray"], 2, "the following arguments are required: INPUT"),
    (["parse", "answers.parquet", "--field", "id"], 1, "column 'id' holds int64, not strings"),
    (["parse", "answers.parquet", "--field", "id.x"], 1, "'id' holds int64, not fields"),
    (["parse", "broken.parquet"], 1, "broken.parquet: not a readable Parquet file"),
    (["parse", "broken.jsonl.gz"], 1, "broken.jsonl.gz: cannot decompress"),
    (["parse", "mixed.jsonl", "--batch-rows", "1", "-o", "out.parquet"], 1,
     "mixed.jsonl:3: field 'n' holds string here but int64 on lines before; a Parquet column holds one type"),
    (["show", "answers.jsonl", "--row", "99"], 1, "answers.jsonl: has 6 rows, so no row 99"),
    *[(["parse", "answers.jsonl", name], 1, message) for name, (_, message) in BAD_LINES.items()],
]


@pytest.mark.parametrize("output", ["out.parquet", "out.jsonl"])
@pytest.mark.parametrize(("argv", "status", "message"), REFUSALS, ids=[" ".join(r[0]) for r in REFUSALS])
def test_refusals_are_one_line_with_their_status_and_leave_no_file(inputs, argv, status, message, output):
    if "broken.parquet" in argv and "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("pyarrow's C++ exceptions abort under a preloaded ASan runtime")
    for name, (content, _) in BAD_LINES.items():
        (inputs / name).write_text(content)
    (inputs / "answers.csv").write_text("text\nan answer\n")
    (inputs / "bad.toml").write_text('unknown_mode = "drop"\n')
    (inputs / "broken.parquet").write_bytes(b"PAR1 not really")
    (inputs / "broken.jsonl.gz").write_bytes(b"not gzip at all\n")
    (inputs / "mixed").mkdir()
    (inputs / "mixed" / "a.jsonl").write_text('{"text": "a"}\n')
    (inputs / "mixed" / "b.parquet").write_bytes((inputs / "answers.parquet").read_bytes())
    (inputs / "empty").mkdir()
    (inputs / "link.jsonl").symlink_to(inputs / "answers.jsonl")
    os.link(inputs / "answers.jsonl", inputs / "hardlink.jsonl")
    before = {path: path.read_bytes() for path in inputs.rglob("*") if path.is_file()}
    if "-o" not in argv and argv[0] == "parse":
        argv = [*argv, "-o", output]
    completed = tagmire(*argv, cwd=inputs)
    err = completed.stderr.decode()
    assert completed.returncode == status, err
    assert err.startswith("tagmire: error: ") and err.endswith("\n") and err.count("\n") == 1, err
    assert message in err
    assert {path: path.read_bytes() for path in inputs.rglob("*") if path.is_file()} == before


# --- signals, pipes, modes, memory ----------------------------------------------------

@contextlib.contextmanager
def fed_process(command, stdin):
    """A process given `stdin` through a pipe left open, killed and reaped
    at the end whatever the test found."""
    process = subprocess.Popen(command, stdin=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        process.stdin.write(stdin)
        process.stdin.flush()
        yield process
    finally:
        process.kill()
        process.wait()
        process.stdin.close()
        process.stderr.close()


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP], ids=lambda s: s.name)
def test_a_signal_removes_the_partial_output_and_ends_with_its_status(tmp_path, signum):
    output = tmp_path / "out.parquet"
    output.write_bytes(b"previous")
    command = [*COMMAND, "parse", "-", "-o", str(output), "--batch-rows", "1"]
    with fed_process(command, b'{"text": "a<cite/>"}\n' * 3) as process:
        deadline = time.monotonic() + 60
        while not any(name.endswith(".partial") for name in os.listdir(tmp_path)):
            assert time.monotonic() < deadline and process.poll() is None
            time.sleep(0.02)
        process.send_signal(signum)
        assert process.wait(timeout=60) == 128 + signum
    assert os.listdir(tmp_path) == ["out.parquet"] and output.read_bytes() == b"previous"


SIGNAL_ON_ANOTHER_THREAD = """
import os, signal, sys, threading, time
from tagmire._cli import main
folder, signum = sys.argv[1], int(sys.argv[2])

def interrupt():
    while not any(name.endswith(".partial") for name in os.listdir(folder)):
        time.sleep(0.01)
    signal.pthread_kill(threading.get_ident(), signum)

threading.Thread(target=interrupt, daemon=True).start()
sys.exit(main(["parse", "-", "-o", os.path.join(folder, "out.parquet")]))
"""


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP], ids=lambda s: s.name)
def test_a_signal_taken_by_another_thread_still_ends_a_wait_for_input(tmp_path, signum):
    # The kernel may hand a process's signal to any thread that does not
    # block it, such as pyarrow's; the main thread waits on a pipe that
    # stays open meanwhile.
    command = [sys.executable, "-c", SIGNAL_ON_ANOTHER_THREAD, str(tmp_path), str(int(signum))]
    with fed_process(command, b'{"text": "a<cite/>"}\n') as process:
        assert process.wait(timeout=60) == 128 + signum
    assert os.listdir(tmp_path) == []


def test_a_closed_standard_stream_is_empty_input_or_one_line(tmp_path):
    (tmp_path / "a.jsonl").write_text('{"text": "a<cite/>"}\n')
    closed_input = subprocess.run([*COMMAND, "parse", "-", "-o", "out.jsonl"], cwd=tmp_path, stdin=None,
                                  capture_output=True, preexec_fn=lambda: os.close(0), timeout=300, check=False)
    assert (ok(closed_input).returncode, (tmp_path / "out.jsonl").read_text()) == (0, "")
    for command in (["parse", "a.jsonl"], ["show", "a.jsonl"]):
        closed_output = subprocess.run([*COMMAND, *command], cwd=tmp_path, stderr=subprocess.PIPE,
                                       preexec_fn=lambda: os.close(1), timeout=300, check=False)
        assert (closed_output.returncode, closed_output.stderr) == \
            (1, b"tagmire: error: cannot write: standard output is closed\n")


def test_a_closed_pipe_ends_the_run_quietly(tmp_path):
    (tmp_path / "many.jsonl").write_text(jsonl({"text": f"answer {i} <cite/>"} for i in range(5000)))
    process = subprocess.Popen([*COMMAND, "parse", str(tmp_path / "many.jsonl")], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    first = process.stdout.readline()
    process.stdout.close()  # as `| head -1` does
    assert json.loads(first)["markers"][0]["annotation"]["tag"] == "cite"
    assert process.wait(timeout=120) == 141
    assert process.stderr.read() == b""
    process.stderr.close()


def test_outputs_take_the_mode_open_would_give(tmp_path):
    (tmp_path / "a.jsonl").write_text('{"text": "a"}\n')

    def umask_027():
        os.umask(0o027)

    for output in ("new.parquet", "new.jsonl"):
        ok(tagmire("parse", "a.jsonl", "-o", output, cwd=tmp_path, preexec_fn=umask_027))
        assert (tmp_path / output).stat().st_mode & 0o777 == 0o640
        (tmp_path / output).chmod(0o604)
        ok(tagmire("parse", "a.jsonl", "-o", output, cwd=tmp_path, preexec_fn=umask_027))
        assert (tmp_path / output).stat().st_mode & 0o777 == 0o604


OUT_OF_MEMORY = """
import resource, sys
import numpy, pyarrow.dataset, pyarrow.json, pyarrow.parquet
from tagmire._cli import main
size = int(open("/proc/self/status").read().split("VmSize:")[1].split()[0]) * 1024
resource.setrlimit(resource.RLIMIT_AS, (size + (200 << 20), resource.RLIM_INFINITY))
sys.exit(main(sys.argv[1:]))
"""


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", "") or not sys.platform.startswith("linux"),
                    reason="needs Linux's RLIMIT_AS and /proc")
# pyarrow's JSON reader for the free-threaded interpreter dies of a
# segmentation fault, not an error, when the limit stops it.
@pytest.mark.skipif(bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
                    reason="pyarrow's JSON reader crashes at the limit on a free-threaded interpreter")
def test_running_out_of_memory_says_so(tmp_path):
    # One answer of 120 MB: its line, its column and its parse need more
    # than the 200 MB the limit leaves.
    with open(tmp_path / "huge.jsonl", "w") as file:
        file.write('{"text": "' + "<note>x" * 17_000_000 + '"}\n')
    completed = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY, "parse", "huge.jsonl", "-o", "out.parquet"],
                               capture_output=True, timeout=300, check=False, cwd=tmp_path,
                               env={**os.environ, "OPENBLAS_NUM_THREADS": "1"})
    assert completed.returncode == 1, completed.stderr
    assert completed.stderr.startswith(b"tagmire: error: out of memory")
    assert completed.stderr.count(b"\n") == 1
    assert os.listdir(tmp_path) == ["huge.jsonl"]


# --- the command itself ----------------------------------------------------------------

def test_the_command_explains_itself():
    bare = tagmire()
    assert bare.returncode == 2 and b"COMMAND" in bare.stderr and b"parse" in bare.stderr
    version = ok(tagmire("--version")).stdout.decode()
    assert version.startswith("tagmire ") and version.split()[1][0].isdigit()
    help_text = ok(tagmire("parse", "--help")).stdout.decode()
    usage = help_text.split("\n\n")[0]
    assert "INPUT [INPUT ...]" in usage and "[INPUT ...]]" not in usage  # required
    assert help_text.rstrip().splitlines()[-1].strip().startswith("tagmire parse")
    assert "--ray-address ADDRESS" in help_text and "--quiet" in help_text
    assert ok(tagmire("show", "--help")).stdout.decode().rstrip().splitlines()[-1].strip().startswith("tagmire show")


def test_progress_has_a_total_on_a_terminal_and_nowhere_else(inputs):
    pytest.importorskip("tqdm")  # the cli extra's; without it no bar is drawn
    status, shown = run_on_terminal(["parse", "answers.parquet", "-o", "p.jsonl"], inputs)
    assert status == 0 and re.search(r"100%.*\b6(\.00)?/6(\.00)? \[00:00<00:00", shown), shown
    status, shown = run_on_terminal(["parse", "answers.jsonl", "answers.jsonl.gz", "-o", "j.jsonl"], inputs)
    assert status == 0 and "B/s" in shown and shown.rstrip().splitlines()[-1].lstrip("\r").startswith("100%")
    status, shown = run_on_terminal(["parse", "answers.parquet", "-o", "q.jsonl", "--quiet"], inputs)
    assert (status, shown) == (0, "")
    assert ok(tagmire("parse", "answers.parquet", "-o", "r.jsonl", cwd=inputs)).stderr == b""


# --- hostile inputs through every input path -----------------------------------------------

def test_hostile_families_through_every_input_path_match_parse_batch(tmp_path):
    groups = {}
    for family in hostile_families.FAMILIES:
        groups.setdefault(json.dumps(family_config(family), sort_keys=True), []).append(family)
    for number, (config_text, families) in enumerate(groups.items()):
        folder = tmp_path / f"group{number}"
        (folder / "lines").mkdir(parents=True)
        texts = [family.make(3000) for family in families]
        (folder / "config.json").write_text(config_text)
        lines = jsonl({"name": f.name, "text": t} for f, t in zip(families, texts))
        (folder / "lines" / "a.jsonl.gz").write_bytes(gzip.compress(lines.encode()))
        (folder / "a.ndjson").write_text(lines)
        (folder / "dataset").mkdir()
        pq.write_table(pa.table({"name": [f.name for f in families], "text": texts}), folder / "dataset" / "0.parquet")
        pq.write_table(pa.table({"name": [f.name for f in families], "text": texts}), folder / "a.parquet")
        for family, text in zip(families, texts):
            (folder / f"{family.name}.txt").write_text(text)
        txts = [f"{family.name}.txt" for family in families]
        ok(tagmire("parse", "lines", "a.ndjson", "a.parquet", "dataset", *txts, "--config", "config.json",
                   "-o", "out.parquet", "--batch-rows", "3", cwd=folder))
        config = Config.from_mapping(json.loads(config_text))
        rows = pq.read_table(folder / "out.parquet").drop_columns(["name", "path"]).to_pylist()
        assert rows == parse_batch(texts * 5, config).to_pylist(), [f.name for f in families]
        out = ok(tagmire("parse", "-", "--config", "config.json", cwd=folder, stdin=lines.encode())).stdout
        names = [family.name for family in families]
        assert [json.loads(line) for line in out.splitlines()] == expected(texts, config, ".jsonl", name=names)
    # show reads them by the same path.
    shown = ok(tagmire("show", "a.parquet", "--config", "config.json", cwd=folder)).stdout.decode()
    assert shown.startswith("a.parquet, row 0\n") and "legend:" in shown


def test_a_failing_run_keeps_the_previous_output(tmp_path):
    output = tmp_path / "out.parquet"
    output.write_bytes(b"previous")
    (tmp_path / "late.jsonl").write_text(jsonl([{"text": "ok"}] * 5) + "{oops\n")
    completed = tagmire("parse", "late.jsonl", "-o", output, "--batch-rows", "2", cwd=tmp_path)
    assert completed.returncode == 1 and completed.stderr.startswith(b"tagmire: error: late.jsonl:6: not valid JSON")
    assert output.read_bytes() == b"previous" and sorted(os.listdir(tmp_path)) == ["late.jsonl", "out.parquet"]


def test_reading_a_parquet_file_holds_a_few_batches_never_the_file(tmp_path):
    # Pre-buffered reads kept every column chunk read until the file was
    # done, and the dataset scanner read ahead as far as a slow consumer let
    # it: either way, much of the file ended up in memory.
    from tagmire import _inputs

    path = tmp_path / "answers.parquet"
    with pq.ParquetWriter(path, pa.schema([("text", pa.large_string())])) as writer:
        for _ in range(40):
            writer.write_table(pa.table({"text": pa.array([os.urandom(250).hex() for _ in range(2000)],
                                                          pa.large_string())}))
    size = path.stat().st_size
    assert size > 30_000_000  # incompressible: forty row groups of about a megabyte
    peak = rows = 0
    for batch in _inputs.parquet_batches(str(path), 1000):
        time.sleep(0.005)  # a consumer slower than the reader, as parsing and writing are
        rows += batch.table.num_rows
        peak = max(peak, pa.total_allocated_bytes())
    assert rows == 80_000
    assert peak < size / 8


def test_a_parquet_folder_unites_its_files_columns(tmp_path):
    # Read file by file, each file's batches take the dataset's columns:
    # widened types, partition values, and nulls for what a file lacks.
    folder = tmp_path / "answers" / "lang=en"
    folder.mkdir(parents=True)
    pq.write_table(pa.table({"id": pa.array([1, 2], pa.int32()), "text": ["a <b>", "c"]}), folder / "0.parquet")
    pq.write_table(pa.table({"id": pa.array([3], pa.int64()), "text": ["<note>d"], "score": [0.5]}),
                   folder / "1.parquet")
    output = tmp_path / "out.parquet"
    ok(tagmire("parse", "answers", "-o", output.name, cwd=tmp_path))
    table = pq.read_table(output)
    assert table.schema.field("id").type == pa.int64()
    texts = ["a <b>", "c", "<note>d"]
    assert table.to_pylist() == expected(texts, id=[1, 2, 3], lang=["en"] * 3, score=[None, None, 0.5])
