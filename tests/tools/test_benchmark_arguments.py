"""The benchmarks' command lines: a count, size or limit that leaves nothing
to measure is refused with argparse's one-line error (exit status 2), not
met with a traceback from a median of nothing or a division by zero."""

import importlib
import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "bench"))


@pytest.mark.parametrize(("script", "args", "message"), [
    ("scaling", ["--quadratic-scale", "0"], "argument --quadratic-scale: must be above zero, not 0"),
    ("scaling", ["--reps", "0"], "argument --reps: must be above zero, not 0"),
    ("scaling", ["--max-seconds", "nan"], "argument --max-seconds: must be above zero, not nan"),
    ("scaling", ["--min", "2048", "--max", "1024"], "--min 2048 is above --max 1024"),
    ("scaling", ["--min", "x"], "argument --min: invalid int value: 'x'"),
    ("python_bench", ["--reps", "0"], "argument --reps: must be above zero, not 0"),
    ("python_bench", ["--sample-seconds", "-1"], "argument --sample-seconds: must be above zero, not -1"),
    ("stream", ["--reps", "0"], "argument --reps: must be above zero, not 0"),
    ("parallel", ["--answers", "0"], "argument --answers: must be above zero, not 0"),
    ("batch", ["--answers", "0"], "argument --answers: must be above zero, not 0"),
    ("batch", ["--batch-rows", "0"], "argument --batch-rows: must be above zero, not 0"),
    ("memory", ["--bytes", "0"], "argument --bytes: must be above zero, not 0"),
])
def test_nothing_to_measure_is_an_argument_error(script, args, message, capsys):
    with pytest.raises(SystemExit) as stopped:
        importlib.import_module(script).main(args)
    assert stopped.value.code == 2
    err = capsys.readouterr().err
    assert err.splitlines()[-1].endswith(f": error: {message}")
    assert "Traceback" not in err
