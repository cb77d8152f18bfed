"""bench/memory.py's child process: under a memory limit or a timeout, an
input that cannot finish is reported as not finished, with what stopped it,
instead of taking the machine's memory or the run's time."""

import os
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "bench"))
import memory  # noqa: E402


def test_limited_child_reports_what_stopped_it():
    finished = memory.run_child({"family": "disjoint_spans", "bytes": 1000, "read": ["text", "segments"]})
    assert finished["finished"] and finished["text_bytes"] == 72 and finished["segments"] == 72
    # Building the input alone needs more than the limit.
    starved = memory.run_child({"family": "lt_without_gt", "bytes": 1 << 30, "read": []}, limit_bytes=512 << 20)
    assert not starved["finished"]
    # A sanitizer runtime preloaded into the child cannot start under the limit at all.
    assert starved["reason"].startswith("MemoryError after") or "LD_PRELOAD" in os.environ
    slow = memory.run_child({"family": "lt_without_gt", "bytes": 1 << 20, "read": []}, timeout=0.001)
    assert slow == {"finished": False, "reason": "still running after 0.001 s"}
