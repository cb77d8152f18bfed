"""Helpers shared by the Python tests and the atheris target
(fuzz/fuzz_python_api.py imports this file by its path): a parse result as
plain values, a sequence whose reading runs Python code, and mypy run on a
user's code."""

import importlib.util
import os
import subprocess
import sys


def shape(result):
    """Everything a parse result shows, as plain values that compare by value:
    (text, [(segment text, [(tag, attrs), ...]), ...], [(pos, tag, attrs), ...])."""
    return (
        result.text,
        [(s.text, [(a.tag, a.attrs) for a in s.annotations]) for s in result.segments],
        [(m.pos, m.annotation.tag, m.annotation.attrs) for m in result.markers],
    )


def tagged_segments(result):
    """The segments with the names of their tags only: [(text, [tag, ...]), ...]."""
    return [(s.text, [a.tag for a in s.annotations]) for s in result.segments]


class CallbackSequence:
    """A sequence by the old protocol (__len__ and __getitem__, no __iter__):
    a setter reading it runs Python code while it holds its object.
    `on_len` runs from __len__ and `on_item` from __getitem__, before the
    answer; either may raise, call back into the module or let other threads
    run. `length`, a value or a callable, replaces the length __len__
    reports."""

    def __init__(self, items, on_len=None, on_item=None, length=None):
        self.items = items
        self.on_len = on_len
        self.on_item = on_item
        self.length = length

    def __len__(self):
        if self.on_len:
            self.on_len()
        if self.length is not None:
            return self.length() if callable(self.length) else self.length
        return len(self.items)

    def __getitem__(self, index):
        if self.on_item:
            self.on_item()
        return self.items[index]


def run_mypy_on(tmp_path, code):
    """mypy's report on `code`, checked as a user's file would be: from its
    own folder, with nothing of ours on its search path. Skips the test
    where mypy is not installed."""
    import pytest

    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed")
    user_code = tmp_path / "user_code.py"
    user_code.write_text(code, encoding="utf-8")
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path / "cache"), str(user_code)],
        capture_output=True, text=True, cwd=tmp_path, timeout=300, check=False,
        env={k: v for k, v in os.environ.items() if k != "MYPYPATH"},
    ).stdout
