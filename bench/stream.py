"""tagmire.StreamParser against its targets.

1. A 10 KB answer fed in 4-character chunks (about 2,500 feeds), reading
   every update's committed segments: the mean time per feed (target: at
   most 2 µs), with the preview off and on.
2. `llm` fed in 16-character chunks, the answer doubled from 64 KB to 4 MB:
   t(2n)/t(n) at every step (target: at most about 2.3), preview off and on.

Times are CPU time of this thread, medians of interleaved repetitions.

    python bench/stream.py
    python bench/stream.py --quick
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import corpora  # noqa: E402

from tagmire import StreamParser  # noqa: E402


def feed_all(text: str, chunk: int, preview: bool) -> float:
    """CPU seconds to stream `text` in `chunk`-character pieces, reading every
    update's committed segments."""
    pieces = [text[i:i + chunk] for i in range(0, len(text), chunk)]
    start = time.thread_time()
    stream = StreamParser(preview=preview)
    read = 0
    for piece in pieces:
        update = stream.feed(piece)
        read += len(update.committed.segments)
    read += len(stream.close().committed.segments)
    return time.thread_time() - start


def median_times(text: str, chunk: int, reps: int) -> dict[bool, float]:
    times: dict[bool, list[float]] = {False: [], True: []}
    for _ in range(reps):
        for preview in (False, True):
            times[preview].append(feed_all(text, chunk, preview))
    return {preview: statistics.median(values) for preview, values in times.items()}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="tiny sizes: checks that nothing is broken")
    parser.add_argument("--reps", type=int, default=7)
    args = parser.parse_args(argv)
    reps = 2 if args.quick else args.reps

    answer = corpora.corpus("llm-4byte", 10 * 1024)
    feeds = -(-len(answer) // 4)
    times = median_times(answer, 4, reps)
    print(f"10 KB answer ({len(answer.encode())} bytes) in 4-character chunks: {feeds} feeds")
    for preview, seconds in times.items():
        per_feed = seconds / feeds * 1e6
        verdict = "met" if per_feed <= 2.0 else "not met"
        print(f"  preview {'on ' if preview else 'off'}: {per_feed:6.2f} µs per feed  (target 2 µs: {verdict})")

    sizes = [64 << 10, 128 << 10] if args.quick else [64 << 10 << k for k in range(7)]
    print("llm in 16-character chunks, time as the answer doubles (t(2n)/t(n), target about 2.3 at most):")
    previous: dict[bool, float] | None = None
    worst = {False: 0.0, True: 0.0}
    for size in sizes:
        text = corpora.corpus("llm-4byte", size)
        current = median_times(text, 16, max(1, reps // 2))
        steps = ""
        if previous is not None:
            ratios = {p: current[p] / previous[p] for p in current}
            for p, ratio in ratios.items():
                worst[p] = max(worst[p], ratio)
            steps = f"  t(2n)/t(n): preview off {ratios[False]:.2f}, on {ratios[True]:.2f}"
        print(f"  {size >> 10:>6} KB: preview off {current[False] * 1e3:8.2f} ms, on {current[True] * 1e3:8.2f} ms{steps}")
        previous = current
    for p, ratio in worst.items():
        print(f"  worst step, preview {'on ' if p else 'off'}: {ratio:.2f} ({'met' if ratio <= 2.3 else 'not met'})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
