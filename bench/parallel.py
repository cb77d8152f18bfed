"""Many answers parsed through a process pool: 2 workers against 1.

Each worker parses its answers and reads .text and .segments, returning only
a count (results are not picklable, and a caller keeps what it needs). The
answers are either sent to the workers (pickled through the pool's pipe) or
read by them from the parent they were forked from, which leaves only the
parse to share out. Every pool is started and warmed before its timing.

    python bench/parallel.py                  # 10,000 answers
    python bench/parallel.py --answers 500 --reps 2
"""

from __future__ import annotations

import argparse
import multiprocessing
import sys
import time
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent)]  # this folder, and the root for inputs/

from inputs import corpora  # noqa: E402
import timing  # noqa: E402

import _tagmire_rs  # noqa: E402


def parse_one(answer: str) -> int:
    result = _tagmire_rs.parse(answer)
    result.text
    return len(result.segments)


# The answers as the pool's workers inherit them when forked.
_inherited: list[str] = []


def parse_slice(bounds: tuple[int, int]) -> int:
    return sum(parse_one(_inherited[i]) for i in range(*bounds))


def _warm(_: int) -> int:
    time.sleep(0.2)  # long enough that every worker gets one
    return 0


def _time_once(mode: str, workers: int, answers: list[str], chunksize: int) -> float:
    """One timed pass over fresh copies of `answers`: in this process, sent to
    the workers (`send`), or read by them from the forked parent (`fork`)."""
    global _inherited
    inputs = [timing.fresh(a) for a in answers]
    if mode == "in-process":
        start = time.perf_counter()
        total = sum(map(parse_one, inputs))
        elapsed = time.perf_counter() - start
    else:
        _inherited = inputs if mode == "fork" else []
        with ProcessPoolExecutor(max_workers=workers, mp_context=multiprocessing.get_context("fork")) as pool:
            list(pool.map(_warm, range(workers)))
            start = time.perf_counter()
            if mode == "send":
                total = sum(pool.map(parse_one, inputs, chunksize=chunksize))
            else:
                slices = [(i, min(i + chunksize, len(inputs))) for i in range(0, len(inputs), chunksize)]
                total = sum(pool.map(parse_slice, slices))
            elapsed = time.perf_counter() - start
        _inherited = []
    assert total >= len(answers)
    return elapsed


def run(count: int, reps: int) -> dict:
    answers = corpora.answers(count)
    chunksize = max(1, count // 64)
    runs = [("in-process", 1), ("send", 1), ("send", 2), ("fork", 1), ("fork", 2)]
    times: dict[tuple[str, int], list[float]] = {r: [] for r in runs}
    for _ in range(reps):
        for mode, workers in runs:
            times[(mode, workers)].append(_time_once(mode, workers, answers, chunksize))
    medians = {f"{mode} x{workers}": timing.median(t) for (mode, workers), t in times.items()}
    return {
        "answers": count,
        "bytes": sum(len(a.encode()) for a in answers),
        "chunksize": chunksize,
        "median_s": medians,
        "speedup": medians["send x1"] / medians["send x2"],
        "speedup_fork": medians["fork x1"] / medians["fork x2"],
    }


def report(r: dict) -> str:
    parts = ", ".join(f"{k} {timing.human_seconds(v)}" for k, v in r["median_s"].items())
    return (f"{r['answers']} answers ({r['bytes'] / (1 << 20):.1f} MB, chunksize {r['chunksize']}): {parts}; "
            f"2 workers vs 1: {r['speedup']:.2f}x with the answers sent, {r['speedup_fork']:.2f}x inherited by fork")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--answers", type=timing.positive(int), default=10_000)
    parser.add_argument("--reps", type=timing.positive(int), default=5)
    args = parser.parse_args(argv)
    print(report(run(args.answers, args.reps)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
