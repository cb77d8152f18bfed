"""Doubling check through the Python API: for every hostile family and for
`llm`, parse(s) + .text + .segments on n and 2n bytes, and t(2n)/t(n).

Times are CPU time of the calling thread (--wall for the wall clock): a
ratio judges the work, and another process taking the core must not move it.
Where the output itself grows faster than the input, the ratio is also
judged per unit of output (text bytes, segments, their annotations and
markers): t(2n)/t(n) divided by half the output's growth.

    python bench/scaling.py                              # 64 KB to 16 MB
    python bench/scaling.py --min 4096 --max 65536 --families llm,disjoint_spans
"""

from __future__ import annotations

import argparse
import sys
import time
from dataclasses import asdict, dataclass
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import corpora  # noqa: E402
import timing  # noqa: E402

import _tagmire_rs  # noqa: E402

LIMIT = 2.3


@dataclass
class Step:
    family: str
    bytes: int
    median_s: float
    output_units: int
    ratio: float | None = None  # t(2n)/t(n), against the previous size
    judged: float | None = None  # the ratio per unit of output where output grows faster than input


def _output_units(result: _tagmire_rs.ParseResult) -> int:
    segments = result.segments
    return len(result.text.encode()) + len(segments) + sum(len(s.annotations) for s in segments) + len(
        result.markers)


def _inputs(name: str) -> tuple:
    if name in corpora.FORMS:
        return (lambda n: corpora.llm(n, name)), None
    family = corpora.hostile(name)
    return family.make, family.config.build()


def family_names() -> list[str]:
    return list(corpora.FORMS) + [h.name for h in corpora.HOSTILE]


def run(names: list[str], low: int, high: int, reps: int, max_seconds: float, clock=time.thread_time,
        log=print) -> list[Step]:
    """Each family's sizes are timed side by side: every repetition takes one
    sample of each size, so a change in the machine's load falls on all."""
    steps: list[Step] = []
    for name in names:
        make, config = _inputs(name)
        loop = timing.compile_loop("r = parse(s, config); r.text; r.segments; del r",
                                   {"parse": _tagmire_rs.parse, "config": config}, clock)
        inputs: list[tuple[str, int]] = []
        n = low
        while n <= high:
            s = make(n)
            number = timing.calibrate(loop, s, 0.02)
            inputs.append((s, number))
            if timing.time_per_call(loop, s, 1) > max_seconds:
                log(f"{name}: over {max_seconds:.0f} s per call at {timing.human_bytes(n)}; no larger sizes")
                break
            n *= 2
        samples: list[list[float]] = [[] for _ in inputs]
        for _ in range(reps):
            for i, (s, number) in enumerate(inputs):
                samples[i].append(timing.time_per_call(loop, s, number))
        mine: list[Step] = []
        for (s, _), times in zip(inputs, samples):
            step = Step(name, len(s.encode()), timing.median(times), _output_units(_tagmire_rs.parse(s, config)))
            if mine:
                previous = mine[-1]
                step.ratio = step.median_s / previous.median_s
                growth = max(1, step.output_units) / max(1, previous.output_units) * previous.bytes / step.bytes
                step.judged = step.ratio / growth if growth > 1.15 else step.ratio
            mine.append(step)
        steps.extend(mine)
        worst = max((s.judged for s in mine if s.judged is not None), default=0.0)
        log(f"{name:34} {timing.human_seconds(mine[-1].median_s):>9} at {timing.human_bytes(mine[-1].bytes):>6}; "
            f"t2n/tn " + " ".join(f"{s.ratio:.2f}" for s in mine[1:]) + f"  worst {worst:.2f}"
            + ("" if worst <= LIMIT else "  OVER"))
    return steps


def worst(steps: list[Step]) -> dict[str, float]:
    out: dict[str, float] = {}
    for s in steps:
        if s.judged is not None:
            out[s.family] = max(out.get(s.family, 0.0), s.judged)
    return out


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--families", default=",".join(family_names()))
    parser.add_argument("--min", type=int, default=64 << 10)
    parser.add_argument("--max", type=int, default=16 << 20)
    parser.add_argument("--reps", type=int, default=7)
    parser.add_argument("--max-seconds", type=float, default=20.0, help="stop a family once one call takes longer")
    parser.add_argument("--wall", action="store_true", help="time by the wall clock, not by CPU time")
    parser.add_argument("--steady-malloc", action="store_true", help="keep freed memory in the process")
    parser.add_argument("--json", type=Path)
    args = parser.parse_args(argv)
    if args.steady_malloc and not timing.steady_malloc():
        print("mallopt is not available here", file=sys.stderr)
    steps = run(args.families.split(","), args.min, args.max, args.reps, args.max_seconds,
                time.perf_counter if args.wall else time.thread_time)
    if args.json:
        import json

        args.json.write_text(json.dumps([asdict(s) for s in steps], indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
