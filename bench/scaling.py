"""Doubling check through the Python API: for every hostile family and for
each llm form, parse(s) + .text + .segments on n and 2n bytes, and t(2n)/t(n).

Times are CPU time of the calling thread (--wall for the wall clock): a
ratio judges the work, and another process taking the core must not move it.
Where the output itself grows faster than the input, the ratio is also
judged per unit of output (text bytes, segments, their annotations and
markers): t(2n)/t(n) divided by half the output's growth.

Then the inputs whose output is quadratic by definition (k nested spans):
parse + .text + .markers + .segments, without reading the annotations, each
in a child process under an address-space limit and a timeout, reported as
time and peak memory or as "did not finish".

    python bench/scaling.py                              # 64 KB to 16 MB
    python bench/scaling.py --min 4096 --max 65536 --families llm-ascii,disjoint_spans
    python bench/scaling.py --families none --quadratic-scale 10
"""

from __future__ import annotations

import argparse
import sys
import time
from dataclasses import asdict, dataclass
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent)]  # this folder, and the root for inputs/

from inputs import corpora, hostile_families  # noqa: E402
import memory  # noqa: E402
import timing  # noqa: E402

import _tagmire_rs  # noqa: E402

LIMIT = 2.3
# What the quadratic-output inputs may take. The memory bound is a multiple
# of the input str: the segments alone are one Python object of about 48
# bytes for every 7 to 10 input bytes.
QUADRATIC_SECONDS = 1.0
QUADRATIC_MEMORY = 16


@dataclass
class Step:
    family: str
    size: int  # the size asked for; the input may run a few bytes over
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
            inputs.append((n, s, number))
            if timing.time_per_call(loop, s, 1) > max_seconds:
                log(f"{name}: over {max_seconds:.0f} s per call at {timing.human_bytes(n)}; no larger sizes")
                break
            n *= 2
        samples: list[list[float]] = [[] for _ in inputs]
        for _ in range(reps):
            for i, (_, s, number) in enumerate(inputs):
                samples[i].append(timing.time_per_call(loop, s, number))
        mine: list[Step] = []
        for (n, s, _), times in zip(inputs, samples):
            step = Step(name, n, len(s.encode()), timing.median(times), _output_units(_tagmire_rs.parse(s, config)))
            if mine:
                previous = mine[-1]
                step.ratio = step.median_s / previous.median_s
                growth = max(1, step.output_units) / max(1, previous.output_units) * previous.bytes / step.bytes
                step.judged = step.ratio / growth if growth > 1.15 else step.ratio
            mine.append(step)
        steps.extend(mine)
        top = worst(mine).get(name)
        log(f"{name:34} {timing.human_seconds(mine[-1].median_s):>9} at {timing.human_bytes(mine[-1].size):>6}; "
            f"t2n/tn " + " ".join(f"{s.ratio:.2f}" for s in mine[1:])
            + (f"  worst {top.judged:.2f} (to {timing.human_bytes(top.size)})" if top else "")
            + ("  OVER" if top and top.judged > LIMIT else ""))
    return steps


def worst(steps: list[Step]) -> dict[str, Step]:
    """The step with the largest judged ratio, for every family."""
    out: dict[str, Step] = {}
    for s in steps:
        if s.judged is not None and (s.family not in out or s.judged > out[s.family].judged):
            out[s.family] = s
    return out


def quadratic_output(scale: int = 1, limit_bytes: int = 4 << 30, timeout: float = 30.0, log=print) -> list[dict]:
    """Every input of hostile_families.QUADRATIC_OUTPUT at 1/`scale` of its
    size, in a child under `limit_bytes` of address space and `timeout`."""
    out = []
    for family, size in hostile_families.QUADRATIC_OUTPUT:
        job = {"family": family.name, "bytes": size // scale, "read": ["text", "markers", "segments"]}
        r = dict(memory.run_child(job, limit_bytes, timeout), family=family.name, bytes=size // scale,
                 limit_bytes=limit_bytes, timeout_s=timeout)
        out.append(r)
        log(f"{family.name:34} " + quadratic_summary(r))
    return out


def _size(n: int) -> str:
    return f"{n / (1 << 20):.1f} MB" if n >= 1 << 20 else f"{n / 1024:.0f} KB"


def quadratic_summary(r: dict) -> str:
    if not r["finished"]:
        return (f"{_size(r['bytes'])}: did not finish ({r['reason']}; limits "
                f"{r['limit_bytes'] / (1 << 30):g} GiB, {r['timeout_s']:g} s)")
    peak = max(r["peak_above_baseline"].values())
    return (f"{_size(r['input_bytes'])}, {r['tags']:,} tags: {timing.human_seconds(r['cpu_s'])}, "
            f"peak {peak / (1 << 20):.1f} MB ({r['ratio_str']:.1f}x the str), {r['segments']:,} segments")


def quadratic_met(r: dict) -> bool:
    return r["finished"] and r["cpu_s"] < QUADRATIC_SECONDS and r["ratio_str"] <= QUADRATIC_MEMORY


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--families", default=",".join(family_names()))
    parser.add_argument("--min", type=timing.positive(int), default=64 << 10)
    parser.add_argument("--max", type=timing.positive(int), default=16 << 20)
    parser.add_argument("--reps", type=timing.positive(int), default=7)
    parser.add_argument("--max-seconds", type=timing.positive(float), default=20.0, help="stop a family once one call takes longer")
    parser.add_argument("--wall", action="store_true", help="time by the wall clock, not by CPU time")
    parser.add_argument("--steady-malloc", action="store_true", help="keep freed memory in the process")
    parser.add_argument("--quadratic-scale", type=timing.positive(int), default=1, help="run the quadratic-output inputs at 1/N size")
    parser.add_argument("--quadratic-limit", type=timing.positive(int), default=4 << 30, help="their address-space limit, in bytes")
    parser.add_argument("--quadratic-timeout", type=timing.positive(float), default=30.0, help="their time limit, in seconds")
    parser.add_argument("--json", type=Path)
    args = parser.parse_args(argv)
    if args.min > args.max:
        parser.error(f"--min {args.min} is above --max {args.max}")
    if args.steady_malloc and not timing.steady_malloc():
        print("mallopt is not available here", file=sys.stderr)
    names = [n for n in args.families.split(",") if n != "none"]
    steps = run(names, args.min, args.max, args.reps, args.max_seconds,
                time.perf_counter if args.wall else time.thread_time)
    quadratic = quadratic_output(args.quadratic_scale, args.quadratic_limit, args.quadratic_timeout)
    if args.json:
        import json

        args.json.write_text(json.dumps({"scaling": [asdict(s) for s in steps], "quadratic_output": quadratic},
                                        indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
