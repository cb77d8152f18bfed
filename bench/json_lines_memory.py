"""Peak memory of `tagmire parse` writing one long answer as JSON lines
(or Parquet), against the answer's size: the target is at most 4x the
answer plus the batch (the input and its parse).

    python bench/json_lines_memory.py --mb 200 [--suffix .parquet]
    python bench/json_lines_memory.py --mb 200 --source OLD/src   # another revision's Python package

Prints the answer's size, the run's peak resident memory (the child's
maximum RSS, imports included), their ratio, and the wall time."""

from __future__ import annotations

import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time

from timing import positive


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--mb", type=positive(int), default=200, help="the answer's size in MB (default: 200)")
    parser.add_argument("--suffix", default=".jsonl", choices=[".jsonl", ".parquet"])
    parser.add_argument("--source", help="a folder holding the tagmire package to run instead of the installed one")
    args = parser.parse_args()
    # Prose with a tag every few words: many segments, as a long answer has.
    piece = "Water boils at 100 C<cite src=w/> at sea <note>level</note>, lower up high. "
    answer = piece * (args.mb * 1_000_000 // len(piece))
    with tempfile.TemporaryDirectory() as folder:
        source = os.path.join(folder, "in.jsonl")
        with open(source, "w", encoding="utf-8") as file:
            file.write(json.dumps({"id": 1, "text": answer}) + "\n")
        env = dict(os.environ)
        if args.source:
            env["PYTHONPATH"] = args.source
        started = time.perf_counter()
        completed = subprocess.run([sys.executable, "-m", "tagmire", "parse", source, "-q",
                                    "-o", os.path.join(folder, "out" + args.suffix)], env=env, check=False,
                                   capture_output=True)
        seconds = time.perf_counter() - started
    peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024
    size = len(answer.encode())
    print(f"answer {size / 1e6:.0f} MB, exit {completed.returncode}, peak {peak / 1e6:.0f} MB "
          f"({peak / size:.1f}x the answer), {seconds:.1f} s")
    if completed.returncode:
        print(completed.stderr.decode(errors="replace")[-2000:])


if __name__ == "__main__":
    main()
