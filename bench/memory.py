"""Peak resident memory of parsing a large `llm` input and holding the result.

A child process reads the corpus file, decodes it, frees the bytes, takes its
resident size as the baseline and resets the kernel's high-water mark; it
then parses and reads .text and .segments, holding all of it, and reports
the high-water mark above the baseline after each step.

    python bench/memory.py                  # 64 MB
    python bench/memory.py --bytes 1048576
"""

from __future__ import annotations

import argparse
import gc
import json
import re
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import corpora  # noqa: E402


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


def child(path: Path) -> dict:
    import _tagmire_rs

    data = path.read_bytes()
    s = data.decode()
    input_bytes = len(data)
    del data
    gc.collect()
    baseline = _status()["VmRSS"]
    reset = _reset_peak()
    steps = {}
    result = _tagmire_rs.parse(s)
    steps["parse"] = _status()["VmHWM"] - baseline
    text = result.text
    steps["parse+text"] = _status()["VmHWM"] - baseline
    segments = result.segments
    steps["parse+text+segments"] = _status()["VmHWM"] - baseline
    held = _status()["VmRSS"] - baseline
    return {
        "input_bytes": input_bytes,
        "input_str_bytes": sys.getsizeof(s),
        "baseline_rss": baseline,
        "peak_reset": reset,  # False: peaks include everything since the process began
        "peak_above_baseline": steps,
        "held_above_baseline": held,
        "ratio": steps["parse+text+segments"] / input_bytes,
        "segments": len(segments),
        "text_bytes": len(text.encode()),
    }


def measure(size: int, corpus_dir: Path | None = None) -> dict:
    """Runs the child on an `llm` input of `size` bytes, written to a file first."""
    with tempfile.TemporaryDirectory() as tmp:
        directory = corpus_dir or Path(tmp)
        path = corpora.write(directory, [size], names=("llm",))[0]
        out = subprocess.run([sys.executable, __file__, "--child", str(path)], check=True, capture_output=True,
                             text=True)
    return json.loads(out.stdout)


def report(m: dict) -> str:
    mb = 1 << 20
    steps = ", ".join(f"{k} {v / mb:.1f} MB" for k, v in m["peak_above_baseline"].items())
    return (f"llm {m['input_bytes'] / mb:.1f} MB (as str {m['input_str_bytes'] / mb:.1f} MB); peak above baseline: "
            f"{steps}; {m['ratio']:.2f}x the input; {m['segments']} segments held")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bytes", type=int, default=64 << 20)
    parser.add_argument("--child", type=Path, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child:
        print(json.dumps(child(args.child)))
        return 0
    print(report(measure(args.bytes)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
