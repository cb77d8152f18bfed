"""Peak resident memory of a parse and of holding what it returned.

A child process gets its input (an llm form read from a corpus file, or a
hostile family built in place), frees everything else, takes its resident
size as the baseline and resets the kernel's high-water mark; it then parses
and reads the result's attributes one at a time, holding all of it, and
reports the high-water mark above the baseline after each step and the time
the whole took. The child may run under an address-space limit and a
timeout, so that an input whose output explodes ends as "did not finish"
instead of taking the machine's memory or the run's time.

    python bench/memory.py                          # every llm form at 64 MB
    python bench/memory.py --bytes 1048576 --forms llm-2byte
"""

from __future__ import annotations

import argparse
import gc
import json
import re
import resource
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent)]  # this folder, and the root for inputs/

from inputs import corpora, hostile_families  # noqa: E402
import timing  # noqa: E402

MB = 1 << 20


def _status() -> dict[str, int]:
    """VmRSS and VmHWM in bytes."""
    text = Path("/proc/self/status").read_text()
    return {key: int(re.search(key + r":\s+(\d+) kB", text).group(1)) * 1024 for key in ("VmRSS", "VmHWM")}


def _reset_peak() -> bool:
    try:
        Path("/proc/self/clear_refs").write_text("5")
        return True
    except OSError:
        return False


def child(job: dict) -> dict:
    import _tagmire_rs

    if "path" in job:
        data = Path(job["path"]).read_bytes()
        s = data.decode()
        input_bytes = len(data)
        del data
        config = None
    else:
        family = hostile_families.family(job["family"])
        s = family.make(job["bytes"])
        input_bytes = len(s.encode())
        config = family.config.build()
        # A configuration is prepared on its first parse and kept with it:
        # that belongs to the configuration (one family recognises 200,000
        # names), not to the parse measured here.
        _tagmire_rs.parse("", config)
    gc.collect()
    baseline = _status()["VmRSS"]
    reset = _reset_peak()
    steps = {}
    held = []
    wall, cpu = time.perf_counter(), time.thread_time()
    result = _tagmire_rs.parse(s, config)
    steps["parse"] = _status()["VmHWM"] - baseline
    name = "parse"
    for attribute in job["read"]:
        held.append(getattr(result, attribute))
        name += "+" + attribute
        steps[name] = _status()["VmHWM"] - baseline
    cpu, wall = time.thread_time() - cpu, time.perf_counter() - wall
    peak = steps[name]
    return {
        "finished": True,
        "input_bytes": input_bytes,
        "input_str_bytes": sys.getsizeof(s),
        "tags": s.count("<"),
        "baseline_rss": baseline,
        "peak_reset": reset,  # False: peaks include everything since the process began
        "peak_above_baseline": steps,
        "held_above_baseline": _status()["VmRSS"] - baseline,
        "ratio": peak / input_bytes,
        "ratio_str": peak / sys.getsizeof(s),
        "cpu_s": cpu,
        "wall_s": wall,
        "segments": len(result.segments),
        "text_bytes": len(result.text.encode()),
    }


def run_child(job: dict, limit_bytes: int | None = None, timeout: float | None = None) -> dict:
    """`child(job)` in a fresh interpreter, under an address-space limit of
    `limit_bytes` and killed after `timeout` seconds; {"finished": False,
    "reason": ...} when it did not end with a result."""

    def limit() -> None:
        if limit_bytes:
            resource.setrlimit(resource.RLIMIT_AS, (limit_bytes, limit_bytes))

    started = time.perf_counter()
    try:
        out = subprocess.run([sys.executable, __file__, "--child", json.dumps(job)], capture_output=True, text=True,
                             timeout=timeout, preexec_fn=limit)
    except subprocess.TimeoutExpired:
        return {"finished": False, "reason": f"still running after {timeout:g} s"}
    if out.returncode == 0:
        return json.loads(out.stdout)
    if out.returncode < 0:
        reason = f"killed by {signal.Signals(-out.returncode).name}"
    else:
        reason = (out.stderr.strip().splitlines() or [f"exit status {out.returncode}"])[-1][:200]
    return {"finished": False, "reason": f"{reason} after {time.perf_counter() - started:.1f} s"}


def measure(size: int, form: str, corpus_dir: Path | None = None) -> dict:
    """Parse + .text + .segments of an `llm` form of `size` bytes, written to a file first."""
    with tempfile.TemporaryDirectory() as tmp:
        path = corpora.write(corpus_dir or Path(tmp), [size], names=(form,))[0]
        result = run_child({"path": str(path), "read": ["text", "segments"]})
    if not result["finished"]:
        raise RuntimeError(f"memory run on {form} failed: {result['reason']}")
    return dict(result, corpus=form)


def report(m: dict) -> str:
    steps = ", ".join(f"{k} {v / MB:.1f} MB" for k, v in m["peak_above_baseline"].items())
    return (f"{m['corpus']} {m['input_bytes'] / MB:.1f} MB (as str {m['input_str_bytes'] / MB:.1f} MB); peak above "
            f"baseline: {steps}; {m['ratio_str']:.2f}x the str; {m['segments']} segments held")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bytes", type=timing.positive(int), default=64 * MB)
    parser.add_argument("--forms", default=",".join(corpora.FORMS))
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child:
        try:
            print(json.dumps(child(json.loads(args.child))))
        except MemoryError:
            print("MemoryError", file=sys.stderr)
            return 1
        return 0
    for form in args.forms.split(","):
        print(report(measure(args.bytes, form)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
