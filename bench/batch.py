"""The batch parser against its targets.

1. parse_batch of 100,000 answers of about 1 KB: with 2 threads against its
   own speed with 1 thread (target: at least 1.9x), with 1 thread against a
   Python loop of parse that reads .text and .segments (target: at least
   1.5x), and with 1 thread against the C++ core parsing the same rows one
   by one (target: at least 60% of its rate; measured when run_all.py has
   built the core benchmark, build/bench/tagmire_core_bench). Wall-clock
   medians of interleaved runs, ratios of medians from this one run.
2. The command line on a large generated Parquet file (default 1 GB of
   answers): its peak resident memory, against that of a process that only
   imports what it imports, to show that it holds a few record batches and
   never the file.

    python bench/batch.py                          # the full run (a few minutes; the file takes disk space)
    python bench/batch.py --quick                  # tiny sizes: checks that nothing is broken
    python bench/batch.py --answers 20000 --bytes 100000000 --reps 3
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent)]  # this folder, and the root for inputs/

from inputs import corpora  # noqa: E402
import timing  # noqa: E402

import tagmire  # noqa: E402

ANSWER_BYTES = 1024
# The targets: two threads against one, and one thread against the C++ core
# parsing the same rows.
TWO_THREADS = 1.9
CORE_SHARE = 0.6
DISTINCT = 2000  # distinct answers, repeated up to the count asked for


def answers(count: int) -> list[str]:
    distinct = [corpora.llm(ANSWER_BYTES, seed=corpora.SEED + i) for i in range(min(count, DISTINCT))]
    # Each a str of its own, as rows read from a file are.
    return [timing.fresh(distinct[i % len(distinct)]) for i in range(count)]


_SPIN = "import time\nt = time.perf_counter()\nx = 0\nfor i in range(10_000_000): x += i\nprint(time.perf_counter() - t)"


def parallel_headroom() -> float:
    """How much faster two busy processes finish together than one after
    the other: about 2 when two cores are free, about 1 when other work
    holds one of them (the machine is shared), and then no thread count can
    beat 1."""
    def run(copies: int) -> float:
        start = time.perf_counter()
        processes = [subprocess.Popen([sys.executable, "-c", _SPIN], stdout=subprocess.DEVNULL)
                     for _ in range(copies)]
        for process in processes:
            process.wait()
        return time.perf_counter() - start

    return 2 * run(1) / run(2)


def python_loop(texts: list[str]) -> None:
    parse = tagmire.parse
    for text in texts:
        result = parse(text)
        result.text
        result.segments


def time_speed(count: int, reps: int, core_seconds: float = 0.3) -> dict[str, float | None]:
    """Prints the batch figures and returns them: seconds per batch of 1
    and 2 threads and of the Python loop, the batch's UTF-8 bytes, and the
    core's rate on the same rows (None without the core benchmark)."""
    texts = answers(count)
    runs = {
        "parse_batch, 1 thread": lambda: tagmire.parse_batch(texts, threads=1),
        "parse_batch, 2 threads": lambda: tagmire.parse_batch(texts, threads=2),
        "Python loop of parse": lambda: python_loop(texts),
    }
    for run in runs.values():  # warm-up: page in the code and the allocator
        run()
    samples: dict[str, list[float]] = {name: [] for name in runs}
    cpu: dict[str, list[float]] = {name: [] for name in runs}
    for _ in range(reps):
        for name, run in runs.items():  # interleaved, so that load shifts hit all alike
            start, start_cpu = time.perf_counter(), time.process_time()
            run()
            samples[name].append(time.perf_counter() - start)
            cpu[name].append(time.process_time() - start_cpu)
    size = sum(len(t.encode()) for t in texts)
    print(f"{count:,} answers, {size / count:,.0f} bytes each on average, {size / 1e6:.1f} MB; "
          f"median of {reps} interleaved runs (wall clock)")
    medians = {name: timing.median(values) for name, values in samples.items()}
    for name, seconds in medians.items():
        # CPU time over wall time: the cores the run really had (all its threads).
        busy = timing.median(cpu[name]) / seconds
        print(f"  {name:24} {timing.human_seconds(seconds):>10}  {size / seconds / 1e6:8.1f} MB/s  "
              f"{busy:.2f} cores busy")
    one, two, loop = medians.values()
    print(f"  2 threads / 1 thread:        {one / two:.2f}x  (target {TWO_THREADS}x: "
          f"{'met' if one / two >= TWO_THREADS else 'not met'})")
    print(f"  1 thread / Python loop:      {loop / one:.2f}x  (target 1.5x: {'met' if loop / one >= 1.5 else 'not met'})")
    core = core_rate(texts, reps, core_seconds)
    if core is None:
        print(f"  1 thread / C++ core:         not measured (no {CORE_BENCH.relative_to(ROOT)}: run bench/run_all.py once)")
    else:
        share = size / one / core
        print(f"  1 thread / C++ core:         {share:.0%} of {core / 1e6:,.0f} MB/s  "
              f"(target {CORE_SHARE:.0%}: {'met' if share >= CORE_SHARE else 'not met'})")
    return {"answers": count, "bytes": size, "one_thread_s": one, "two_threads_s": two, "python_loop_s": loop,
            "core_rate": core}


ROOT = Path(__file__).resolve().parent.parent
CORE_BENCH = ROOT / "build" / "bench" / "tagmire_core_bench"


def core_rate(texts: list[str], reps: int = 5, seconds: float = 0.3) -> float | None:
    """Bytes per second of the C++ core parsing `texts` one by one (UTF-8),
    from the core benchmark that run_all.py builds; None without it."""
    if not CORE_BENCH.exists():
        return None
    with tempfile.TemporaryDirectory(prefix="tagmire-bench-") as folder:
        rows = Path(folder) / "rows.bin"
        rows.write_bytes(b"\0".join(t.encode() for t in texts))
        out = Path(folder) / "core.json"
        subprocess.run([str(CORE_BENCH), f"--rows_file={rows}", "--benchmark_filter=^parse_rows$",
                        "--hostile_bytes=16", f"--benchmark_repetitions={reps}", f"--benchmark_min_time={seconds}",
                        "--benchmark_report_aggregates_only=true", f"--benchmark_out={out}",
                        "--benchmark_out_format=json"], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        runs = json.loads(out.read_text())["benchmarks"]
        # One repetition has no aggregates: its one run is the figure.
        rates = [b["bytes_per_second"] for b in runs if b.get("aggregate_name") == "median"] or \
                [b["bytes_per_second"] for b in runs if b.get("run_type") == "iteration"]
        return timing.median(rates) if rates else None


def write_parquet(path: Path, size: int) -> tuple[int, int]:
    """About `size` bytes of answers as Parquet, written a row group at a time."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    group = answers(min(16384, max(1, size // ANSWER_BYTES)))
    group_bytes = sum(len(t.encode()) for t in group)
    rows = written = 0
    with pq.ParquetWriter(path, pa.schema([("id", pa.int64()), ("text", pa.large_string())])) as writer:
        while written < size:
            take = group if written + group_bytes <= size else group[: max(1, (size - written) // ANSWER_BYTES)]
            writer.write_table(pa.table({"id": pa.array(range(rows, rows + len(take)), pa.int64()),
                                         "text": pa.array(take, pa.large_string())}))
            rows += len(take)
            written += sum(len(t.encode()) for t in take)
    return rows, written


# Runs a Python statement and prints the process's peak resident size
# (VmHWM) as it ends. Read inside the child: the rusage of a child counts the
# parent's pages it held between fork and exec.
_PEAK = """
import re, sys
try:
    exec(sys.argv[1])
finally:
    status = open("/proc/self/status").read()
    print("VmHWM", int(re.search(r"VmHWM:\\s+(\\d+) kB", status).group(1)) * 1024, file=sys.stderr)
"""


def peak_rss(statement: str, *args: str) -> tuple[float, int]:
    """Wall time and peak resident bytes of a child running `statement`
    with `args` as its sys.argv[2:]."""
    start = time.perf_counter()
    completed = subprocess.run([sys.executable, "-c", _PEAK, statement, *args], capture_output=True, text=True,
                               check=False)
    elapsed = time.perf_counter() - start
    peak = [line for line in completed.stderr.splitlines() if line.startswith("VmHWM ")]
    if completed.returncode != 0 or not peak:
        raise SystemExit(f"{statement} failed: {completed.stderr}")
    return elapsed, int(peak[-1].split()[1])


def command_line_memory(size: int, batch_rows: int, threads: int) -> None:
    """The command line on a file of `size` bytes of answers and on one an
    eighth of that: if memory is bounded by the batches, not by the file,
    both peak at about the same resident size."""
    _, baseline = peak_rss("import tagmire._cli, pyarrow.parquet, pyarrow.compute")
    # One batch as the command line holds it: its text and its parsed table.
    sample = answers(batch_rows)
    held = sum(len(t.encode()) for t in sample) + tagmire.parse_batch(sample, threads=threads).nbytes
    print(f"command line, {threads} threads, batches of {batch_rows:,} rows (a batch's text and parsed table: "
          f"{held / 1e6:.1f} MB); importing alone peaks at {baseline / 1e6:,.0f} MB")
    for file_size in (size // 8, size):
        with tempfile.TemporaryDirectory(prefix="tagmire-bench-") as folder:
            source, output = Path(folder) / "answers.parquet", Path(folder) / "parsed.parquet"
            rows, text_bytes = write_parquet(source, file_size)
            elapsed, peak = peak_rss("from tagmire._cli import main; main(sys.argv[2:])", "parse", str(source),
                                     "-o", str(output), "--threads", str(threads), "--batch-rows", str(batch_rows))
            print(f"  {text_bytes / 1e6:8,.0f} MB of text in {rows:,} answers ({source.stat().st_size / 1e6:,.0f} MB "
                  f"Parquet in, {output.stat().st_size / 1e6:,.0f} MB out): {elapsed:.1f} s, "
                  f"{text_bytes / elapsed / 1e6:.1f} MB/s; peak RSS {peak / 1e6:,.0f} MB, "
                  f"{(peak - baseline) / 1e6:,.0f} MB above importing = {(peak - baseline) / held:.1f} batches "
                  f"({(peak - baseline) / text_bytes:.1%} of the file's text)")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--answers", type=timing.positive(int), default=100_000)
    parser.add_argument("--reps", type=timing.positive(int), default=5)
    parser.add_argument("--bytes", type=timing.positive(int), default=1 << 30, help="size of the command line's Parquet input")
    parser.add_argument("--batch-rows", type=timing.positive(int), default=8192)
    parser.add_argument("--quick", action="store_true", help="tiny sizes, one repetition")
    args = parser.parse_args(argv)
    if args.quick:
        args.answers, args.reps, args.bytes, args.batch_rows = 2000, 1, 4 << 20, 1024
    print(f"tagmire batch benchmark; load average {timing.load_average()}; usable cores "
          f"{tagmire._batch.usable_cores()}; Python {sys.version.split()[0]}")
    print(f"two busy processes ran {parallel_headroom():.2f}x as fast as one (2.00: two free cores)")
    time_speed(args.answers, args.reps, 0.01 if args.quick else 0.3)
    command_line_memory(args.bytes, args.batch_rows, threads=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
