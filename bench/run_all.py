"""Every benchmark in one run, checked against the speed targets.

    python -m pip install ".[bench]" && python bench/run_all.py --write-docs
    python bench/run_all.py --quick        # tiny sizes: checks that nothing is broken

The full run takes about a quarter of an hour on two cores. It builds the C++ core
benchmark (Google Benchmark, from Debian's libbenchmark-dev) under
build/bench, writes the corpora to build/bench-corpora, leaves every figure in
build/bench-results/results.json and prints a summary. Every run also writes
the report, BENCHMARKS.md with its throughput plot (bench/throughput_plot.py),
beside results.json; --write-docs writes them into the repository too, as
BENCHMARKS.md and docs/images/throughput.svg. Targets never fail the run:
only a crash or an error does.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import time
from dataclasses import asdict
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path[:0] = [str(HERE), str(ROOT)]  # this folder, and the root for inputs/

from inputs import corpora  # noqa: E402
import memory  # noqa: E402
import batch  # noqa: E402
import instructions  # noqa: E402
import parallel  # noqa: E402
import python_bench  # noqa: E402
import scaling  # noqa: E402
import throughput_plot  # noqa: E402
import timing  # noqa: E402

# Where the report and its plot go, relative to the folder they are written
# to: the repository's root, or a run's --out folder, where the report's
# link to the plot works just as well.
REPORT = Path("BENCHMARKS.md")
PLOT = Path("docs/images/throughput.svg")
KB, MB = 1 << 10, 1 << 20

FULL = dict(
    py_sizes=python_bench.SIZES, py_reps=7, py_sample=0.02, cap_html_parser=16 * MB, cap_bs4=1 * MB,
    core_sizes=(100, 64 * KB, 1 * MB, 16 * MB), core_min_time=0.3, core_reps=5, hostile_bytes=1 * MB,
    scale_min=64 * KB, scale_max=16 * MB, scale_reps=7, memory_bytes=64 * MB, answers=10_000, parallel_reps=5,
    batch_answers=100_000, batch_reps=5, quadratic_scale=1, quadratic_limit=4 << 30, quadratic_timeout=30.0,
)
QUICK = dict(
    py_sizes=(100, 4 * KB), py_reps=2, py_sample=0.002, cap_html_parser=4 * KB, cap_bs4=4 * KB,
    core_sizes=(100, 4 * KB), core_min_time=0.01, core_reps=1, hostile_bytes=4 * KB,
    scale_min=4 * KB, scale_max=16 * KB, scale_reps=2, memory_bytes=256 * KB, answers=200, parallel_reps=1,
    batch_answers=2000, batch_reps=1, quadratic_scale=10, quadratic_limit=1 << 30, quadratic_timeout=10.0,
)

# The targets of BENCHMARKS.md's Targets table, each judged on every llm
# form: (peer, how many times faster tagmire must be) over 1 KB to 16 MB;
# the 100 B call; the core's rate.
PEER_TARGETS = (("regex", 2), ("selectolax", 3), ("resiliparse", 3), ("resiliparse.dom", 3), ("html.parser", 20))
TINY_SECONDS = 200e-9
TINY_REGEX_RATIO = 1.3
# The core on model answers: 64 KB, and the larger sizes (about half of
# memchr + memcpy there), every llm form; and the dense corpus at every size.
CORE_LLM_RATES = ((64 * 1024, 64 * 1024, 4e9), (1 << 20, 16 << 20, 3.5e9))
CORE_DENSE_RATE = 1e9
CORE_PLAIN_SHARE = 0.5
MEMORY_RATIO = 1.3


def log(message: str) -> None:
    print(message, flush=True)


def build_core_bench(build_dir: Path) -> Path:
    cmake = [sys.executable, "-m", "cmake"]
    subprocess.run(cmake + ["-S", str(ROOT), "-B", str(build_dir), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                            "-DTAGMIRE_BUILD_BENCHMARKS=ON"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(cmake + ["--build", str(build_dir), "-j", "2"], check=True, stdout=subprocess.DEVNULL)
    return build_dir / "tagmire_core_bench"


def run_core(exe: Path, corpus_dir: Path, cfg: dict, out: Path) -> dict:
    # The hostile inputs and configurations of both languages must be the same.
    digest = subprocess.run([str(exe), "--hostile_digest=4096"], check=True, capture_output=True, text=True).stdout
    if digest.strip() != corpora.hostile_digest(4096).strip():
        raise SystemExit("inputs/hostile_families.py and the C++ benchmark build different hostile families "
                         "(python inputs/hostile_families.py --write, then rebuild)")
    corpus_dir = corpora.write(corpus_dir, list(cfg["core_sizes"]))[0].parent
    cmd = [str(exe), f"--corpus_dir={corpus_dir}", "--corpus_sizes=" + ",".join(map(str, cfg["core_sizes"])),
           f"--hostile_bytes={cfg['hostile_bytes']}",
           f"--benchmark_min_time={cfg['core_min_time']}", f"--benchmark_repetitions={cfg['core_reps']}",
           "--benchmark_report_aggregates_only=true", "--benchmark_format=console",
           f"--benchmark_out={out}", "--benchmark_out_format=json"]
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    rates: dict[str, float] = {}
    for b in json.loads(out.read_text())["benchmarks"]:
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        rates[b["run_name"]] = b["bytes_per_second"]
    return rates


def peer_versions() -> str:
    from importlib import metadata

    found = []
    for name in dict.fromkeys(python_bench.PACKAGES.values()):
        try:
            found.append(f"{name} {metadata.version(name)}")
        except metadata.PackageNotFoundError:
            pass
    return ", ".join(found)


def git_revision() -> str:
    try:
        rev = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"], capture_output=True,
                             text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", str(ROOT), "status", "--porcelain", "--", "src"], capture_output=True,
                               text=True, check=True).stdout.strip()
        return rev + (" + uncommitted src/" if dirty else "")
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


# --- targets ---

def _row(rows: list[python_bench.Row], corpus: str, size: int, contender: str) -> python_bench.Row | None:
    return next((r for r in rows if (r.corpus, r.size, r.contender) == (corpus, size, contender)), None)


def _where(corpus: str, size: int) -> str:
    return f"{corpus}, {timing.human_bytes(size)}"


def _core_rates(core: dict, corpus: str, low: int, high: int, kind: str = "parse") -> dict[int, float]:
    return {int(k.split("/")[2]): v for k, v in core.items()
            if k.startswith(f"{kind}/{corpus}/") and low <= int(k.split("/")[2]) <= high}


def _unseen_note(core: dict, corpora_names: list[str], low: int, high: int) -> str:
    """The worst rate over the same inputs parsed as new pieces each time,
    where the run measured it."""
    rates = [v for f in corpora_names for v in _core_rates(core, f, low, high, "parse_unseen").values()]
    return f"; {min(rates) / 1e9:.2f} GB/s with each input new" if rates else ""


def targets(results: dict) -> list[tuple[str, str, bool | None]]:
    """(target, measured, met) for every target that this run measured."""
    out: list[tuple[str, str, bool | None]] = []
    rows = [python_bench.Row(**r) for r in results.get("python", [])]
    forms = [f for f in corpora.FORMS if any(r.corpus == f for r in rows)]
    for peer, need in PEER_TARGETS:
        ratios = [(r.ratio, _where(f, r.size)) for f in forms for r in rows
                  if r.corpus == f and r.contender == peer and r.size >= KB and not r.partial]
        if ratios:
            worst, at = min(ratios)
            out.append((f"every form, 1 KB-16 MB: ≥{need}x {peer}", f"{worst:.2f}x at worst ({at})", worst >= need))
        elif forms:
            out.append((f"every form, 1 KB-16 MB: ≥{need}x {peer}", "not measured", None))
    tiny = [(r.median_s, r.corpus) for r in rows if r.size == 100 and r.contender == python_bench.SUBJECT]
    if tiny:
        slowest, at = max(tiny)
        out.append((f"every form, 100 B: ≤{TINY_SECONDS * 1e9:.0f} ns", f"{timing.human_seconds(slowest)} at worst "
                    f"({at})", slowest <= TINY_SECONDS))
    regex = [(r.ratio, r.corpus) for r in rows if r.size == 100 and r.contender == "regex"]
    if regex:
        worst, at = min(regex)
        out.append((f"every form, 100 B: ≥{TINY_REGEX_RATIO:g}x the regex strip", f"{worst:.2f}x at worst ({at})",
                    worst >= TINY_REGEX_RATIO))
    core = results.get("core", {})
    for low, high, need in CORE_LLM_RATES:
        rates = [(v, _where(f, size)) for f in corpora.FORMS for size, v in _core_rates(core, f, low, high).items()]
        if rates:
            worst, at = min(rates)
            span = timing.human_bytes(low) + ("" if low == high else f"-{timing.human_bytes(high)}")
            out.append((f"C++ core, every llm form, {span}: ≥{need / 1e9:g} GB/s",
                        f"{worst / 1e9:.2f} GB/s at worst ({at})" + _unseen_note(core, corpora.FORMS, low, high),
                        worst >= need))
    dense = [(v, _where("dense", size)) for size, v in _core_rates(core, "dense", 64 * KB, 16 * MB).items()]
    if dense:
        worst, at = min(dense)
        out.append((f"C++ core on dense, 64 KB-16 MB: ≥{CORE_DENSE_RATE / 1e9:g} GB/s",
                    f"{worst / 1e9:.2f} GB/s at worst ({at})" + _unseen_note(core, ["dense"], 64 * KB, 16 * MB),
                    worst >= CORE_DENSE_RATE))
    shares = [(v / floor, _where("plain", size)) for size, v in _core_rates(core, "plain", 64 * KB, MB).items()
              if (floor := core.get(f"memchr_memcpy/plain/{size}"))]
    if shares:
        worst, at = min(shares)
        out.append((f"C++ core on plain, 64 KB-1 MB: ≥{CORE_PLAIN_SHARE:.0%} of memchr+memcpy",
                    f"{worst:.0%} at worst ({at})", worst >= CORE_PLAIN_SHARE))
    counts = results.get("instructions", {})
    for label, names in (("every llm form", corpora.FORMS), ("dense", ("dense",))):
        if measured := [(counts[name]["per_lt"], name) for name in names if name in counts]:
            worst, at = max(measured)
            need = instructions.target(at)
            out.append((f"C++ core, {label}, 64 KB: ≤{need} instructions per `<` (callgrind)",
                        f"{worst:.0f} at worst ({at})", worst <= need))
    if results.get("scaling"):
        hostile = {f.name for f in corpora.HOSTILE}
        measured = [scaling.Step(**s) for s in results["scaling"] if s["family"] in hostile]

        def judge(steps: dict[str, scaling.Step]) -> tuple[str, bool]:
            over = [k for k, v in steps.items() if v.judged > scaling.LIMIT]
            top = max(steps.values(), key=lambda s: s.judged)
            return (f"worst {top.judged:.2f} ({top.family}, to {timing.human_bytes(top.size)})"
                    + (f", {len(over)} {'family' if len(over) == 1 else 'families'} over" if over else ""), not over)

        # Judged from 1 MB, where the input no longer fits the cache; the
        # smaller steps, which cross it, are shown beside. A run that stops
        # short of 1 MB is judged on what it measured.
        everything = scaling.worst(measured)
        large = scaling.worst([s for s in measured if s.size > MB]) or everything
        if large:
            low, high = min(s.size for s in measured), max(s.size for s in measured)
            text, met = judge(large)
            span = f"{timing.human_bytes(max(low, MB) if high > MB else low)}-{timing.human_bytes(high)}"
            if large != everything:
                text += f"; from {timing.human_bytes(low)}: {judge(everything)[0]}"
            out.append((f"t(2n)/t(n) ≤ {scaling.LIMIT} for every hostile family, {span}", text, met))
    if results.get("memory"):
        worst_m = max(results["memory"], key=lambda m: m["ratio_str"])
        out.append((f"every form, {timing.human_bytes(worst_m['input_bytes'])}: peak ≤{MEMORY_RATIO}x the str",
                    f"{worst_m['ratio_str']:.2f}x at worst ({worst_m['corpus']})",
                    all(m["ratio_str"] <= MEMORY_RATIO for m in results["memory"])))
    for r in results.get("quadratic_output", []):
        out.append((f"{r['family']}: under {scaling.QUADRATIC_SECONDS:g} s, peak ≤{scaling.QUADRATIC_MEMORY}x the str",
                    scaling.quadratic_summary(r), scaling.quadratic_met(r)))
    if b := results.get("batch"):
        one = b["bytes"] / b["one_thread_s"]
        if b["core_rate"]:
            out.append((f"parse_batch, 1 thread: ≥{batch.CORE_SHARE:.0%} of the C++ core on the same rows",
                        f"{one / b['core_rate']:.0%} ({one / 1e6:,.0f} MB/s against {b['core_rate'] / 1e6:,.0f} MB/s)",
                        one / b["core_rate"] >= batch.CORE_SHARE))
        speedup = b["one_thread_s"] / b["two_threads_s"]
        out.append((f"parse_batch: 2 threads ≥{batch.TWO_THREADS}x 1 thread", f"{speedup:.2f}x",
                    speedup >= batch.TWO_THREADS))
    if p := results.get("parallel"):
        out.append(("process pool: ≥1.7x with 2 workers", f"{p['speedup']:.2f}x answers sent, "
                    f"{p['speedup_fork']:.2f}x inherited by fork", p["speedup"] >= 1.7))
    return out


# --- report ---

def _met(met: bool | None) -> str:
    return "—" if met is None else "yes" if met else "no"


def markdown(results: dict) -> str:
    m = results["machine"]
    lines = [
        "# Benchmarks", "",
        "<!-- Written by `python bench/run_all.py --write-docs`; edits here are lost at the next run. -->", "",
        f"Measured by `python bench/run_all.py --write-docs` on {m['date']}: {m['cpu']}, {m['cores']} cores, "
        f"{m['memory']}, {m['os']}, Python {m['python']}, revision {results['revision']}; load average "
        f"{results['load_before']} before the run and {results['load_after']} after. "
        f"Peers: {results.get('peers', '')} (BeautifulSoup on html.parser; selectolax and resiliparse on lexbor: "
        "resiliparse as `extract_plain_text` and as the text of its parsed tree). "
        "Python times are medians of interleaved runs in CPU time of the calling thread (the process pool: "
        "wall clock), each call on a fresh `str`; ratios compare medians from the same run.", "",
    ]
    if throughput_plot.points_from_results(results):
        lines += [f"![Throughput of tagmire and its peers against input size, one panel per str form]({PLOT})", "",
                  "Throughput is the input's UTF-8 bytes (10^6 to the MB) over the median time of parse + `.text` "
                  "+ `.segments`; the tables below give the times.", ""]
    lines += ["## Targets", "", "| Target | Measured | Met |", "|---|---|---|"]
    for name, measured, met in targets(results):
        lines.append(f"| {name} | {measured} | {_met(met)} |")
    rows = [python_bench.Row(**r) for r in results.get("python", [])]
    # The peers the figures name, not those this process can import: a
    # report may be written from another machine's results.
    peers = list(dict.fromkeys(r.contender for r in rows if r.contender != python_bench.SUBJECT))
    if rows:
        lines += ["", "## Against other parsers, through Python"]
    for form in corpora.FORMS:
        sizes = sorted({r.size for r in rows if r.corpus == form})
        if not sizes:
            continue
        lines += ["", f"`{form}`, parse + `.text` + `.segments`, median per call (peer time / tagmire time; "
                  "\"stopped early\": the peer returned far less text than the others and is not compared):", "",
                  "| Size | tagmire | " + " | ".join(peers) + " |", "|---" * (len(peers) + 2) + "|"]
        for size in sizes:
            cells = [timing.human_bytes(size)]
            base = _row(rows, form, size, python_bench.SUBJECT)
            cells.append(timing.human_seconds(base.median_s) if base else "")
            for peer in peers:
                r = _row(rows, form, size, peer)
                cells.append("—" if r is None else f"{timing.human_seconds(r.median_s)} "
                             + ("(stopped early)" if r.partial else f"({r.ratio:.2f}x)"))
            lines.append("| " + " | ".join(cells) + " |")
    core = results.get("core", {})
    if core:
        lines += ["", "## The C++ core alone", "", "C++ core alone (Google Benchmark, median, CPU time), bytes per second. "
                  "\"parse\" parses one input again and again, and the processor learns its branches; \"each input "
                  "new\" parses a different piece of the corpus each time, 1 MB of them in turn, as a user's "
                  "answers come (from 1 MB up one input is already too large to learn):", "",
                  "| Input | parse | each input new | memchr + memcpy |", "|---|---|---|---|"]
        for key in sorted((k for k in core if k.startswith("parse/") and not k.startswith("parse/hostile")),
                          key=lambda k: (corpora.CORPORA.index(k.split("/")[1]), int(k.split("/")[2]))):
            _, name, size = key.split("/")
            unseen = core.get(f"parse_unseen/{name}/{size}")
            floor = core.get(f"memchr_memcpy/{name}/{size}")
            lines.append(f"| {name} {timing.human_bytes(int(size))} | {core[key] / 1e6:,.0f} MB/s | "
                         + (f"{unseen / 1e6:,.0f} MB/s | " if unseen else "— | ")
                         + (f"{floor / 1e6:,.0f} MB/s |" if floor else "— |"))
    if counts := results.get("instructions"):
        lines += ["", "## Instructions per tag", "", "Instructions of the C++ core per `<`, as callgrind counts them "
                  "(`python bench/instructions.py`: 10 parses of each 64 KB file, default configuration), which do "
                  "not depend on the machine or its load:", "",
                  "| Input | `<` | instructions a parse | per `<` |", "|---|---|---|---|"]
        for name, r in counts.items():
            lines.append(f"| {name} 64 KB | {r['lt']:,} | {r['instructions']:,.0f} | {r['per_lt']:.0f} |")
    if results.get("scaling"):
        steps = [scaling.Step(**s) for s in results["scaling"]]
        worst = scaling.worst(steps)
        lines += ["", "## Time as the input doubles", "", "Doubling through Python, parse + `.text` + `.segments` (median CPU time): the worst "
                  "t(2n)/t(n) of each family, where it happened, and the step from 4 MB to 8 MB:", "",
                  "| Family | time at the largest size | worst t(2n)/t(n) | 4 MB to 8 MB |", "|---|---|---|---|"]
        for family in dict.fromkeys(s.family for s in steps):
            mine = [s for s in steps if s.family == family]
            top = worst.get(family)
            step8 = next((s for s in mine if s.ratio is not None and s.size == 8 * MB), None)
            lines.append(f"| {family} | {timing.human_seconds(mine[-1].median_s)} at "
                         f"{timing.human_bytes(mine[-1].size)} | "
                         + (f"{top.judged:.2f} (to {timing.human_bytes(top.size)})" if top else "—") + " | "
                         + (f"{step8.judged:.2f}" if step8 else "—") + " |")
    if results.get("memory"):
        lines += ["", "## Memory", "", "Peak memory above the baseline (high-water mark of the resident set) while holding what "
                  "each step returned:", "", "| Input | as str | parse | + `.text` | + `.segments` | share of the str |",
                  "|---|---|---|---|---|---|"]
        for r in results["memory"]:
            peaks = list(r["peak_above_baseline"].values())
            lines.append(f"| {r['corpus']} {r['input_bytes'] / MB:.1f} MB | {r['input_str_bytes'] / MB:.1f} MB | "
                         + " | ".join(f"{v / MB:.1f} MB" for v in peaks) + f" | {r['ratio_str']:.2f}x |")
    if b := results.get("batch"):
        lines += ["", "## Many answers at once", "",
                  f"`parse_batch` on {b['answers']:,} answers of about 1 KB, each its own 4-byte `str` (wall clock, "
                  "median of interleaved runs), against a Python loop of `parse` + `.text` + `.segments` over the "
                  "same list and the C++ core parsing the same rows as UTF-8, one by one:", "",
                  "| Run | time | rate |", "|---|---|---|"]
        for name, key in (("parse_batch, 1 thread", "one_thread_s"), ("parse_batch, 2 threads", "two_threads_s"),
                          ("Python loop of parse", "python_loop_s")):
            lines.append(f"| {name} | {timing.human_seconds(b[key])} | {b['bytes'] / b[key] / 1e6:,.0f} MB/s |")
        if b["core_rate"]:
            lines.append(f"| C++ core, one row at a time | {timing.human_seconds(b['bytes'] / b['core_rate'])} | "
                         f"{b['core_rate'] / 1e6:,.0f} MB/s |")
    lines += ["", "Raw figures: build/bench-results/results.json after a run.", ""]
    return "\n".join(lines)


def write_report(results: dict, folder: Path) -> list[Path]:
    """Writes BENCHMARKS.md and, when the run timed the llm forms through
    Python, its throughput plot, into `folder`; returns the files written."""
    report = folder / REPORT
    folder.mkdir(parents=True, exist_ok=True)
    report.write_text(markdown(results), encoding="utf-8")
    points = throughput_plot.points_from_results(results)
    if not points:
        return [report]
    throughput_plot.draw(points, folder / PLOT)
    return [report, folder / PLOT]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="tiny sizes, for CI")
    parser.add_argument("--write-docs", action="store_true",
                        help="write BENCHMARKS.md and its plot into the repository (not with --quick)")
    parser.add_argument("--skip", default="", help="comma-separated: core,instructions,python,scaling,memory,batch,parallel")
    parser.add_argument("--out", type=Path, default=ROOT / "build" / "bench-results")
    args = parser.parse_args(argv)
    if args.write_docs and args.quick:
        parser.error("--write-docs takes the figures of a full run, not of --quick")
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        parser.error('the report\'s plot needs matplotlib: python -m pip install ".[bench]"')
    cfg = QUICK if args.quick else FULL
    skip = set(filter(None, args.skip.split(",")))
    args.out.mkdir(parents=True, exist_ok=True)
    results: dict = {"machine": timing.machine(), "revision": git_revision(), "load_before": timing.load_average(),
                     "peers": peer_versions(), "quick": args.quick}
    started = time.monotonic()

    if "core" not in skip:
        log("== C++ core (Google Benchmark)")
        exe = build_core_bench(ROOT / "build" / "bench")
        results["core"] = run_core(exe, ROOT / "build" / "bench-corpora", cfg, args.out / "core.json")
        for k, v in results["core"].items():
            log(f"{k:48} {v / 1e6:10,.0f} MB/s")
    if "instructions" not in skip:
        if shutil.which("valgrind") is None:
            log("== Instructions per `<`: skipped, callgrind needs valgrind (tools/apt_install.sh valgrind)")
        else:
            log("== Instructions per `<` (callgrind)")
            build_core_bench(ROOT / "build" / "bench")
            results["instructions"] = instructions.run(ROOT / "build" / "bench" / "tagmire_instructions",
                                                       ROOT / "build" / "bench-corpora")
            for name, r in results["instructions"].items():
                log(f"{name:10} {r['per_lt']:6.0f} per `<`")
    if "python" not in skip:
        log("== Python: tagmire against its peers")
        rows = python_bench.run(list(corpora.FORMS), list(cfg["py_sizes"]), cfg["py_reps"], cfg["py_sample"],
                                cfg["cap_html_parser"], cfg["cap_bs4"], log=log)
        results["python"] = [asdict(r) for r in rows]
    if "scaling" not in skip:
        log("== Scaling: t(2n)/t(n) through the Python API (CPU time)")
        steps = scaling.run(scaling.family_names(), cfg["scale_min"], cfg["scale_max"], cfg["scale_reps"], 20.0,
                            log=log)
        results["scaling"] = [asdict(s) for s in steps]
        log("== Quadratic output: parse + .text + .markers + .segments, in a child with limits")
        results["quadratic_output"] = scaling.quadratic_output(cfg["quadratic_scale"], cfg["quadratic_limit"],
                                                               cfg["quadratic_timeout"], log=log)
    if "memory" not in skip:
        log("== Memory")
        results["memory"] = []
        for form in corpora.FORMS:
            results["memory"].append(memory.measure(cfg["memory_bytes"], form, ROOT / "build" / "bench-corpora"))
            log(memory.report(results["memory"][-1]))
    if "batch" not in skip:
        log(f"== parse_batch: {cfg['batch_answers']:,} answers of about 1 KB")
        results["batch"] = batch.time_speed(cfg["batch_answers"], cfg["batch_reps"], cfg["core_min_time"])
    if "parallel" not in skip:
        log("== Process pool")
        results["parallel"] = parallel.run(cfg["answers"], cfg["parallel_reps"])
        log(parallel.report(results["parallel"]))

    results["load_after"] = timing.load_average()
    results["seconds"] = round(time.monotonic() - started, 1)
    (args.out / "results.json").write_text(json.dumps(results, indent=1))
    if args.quick:
        log(f"== Figures at tiny sizes, not judged against the targets ({results['seconds']:.0f} s)")
    else:
        log(f"== Targets ({results['seconds']:.0f} s)")
    for name, measured, met in targets(results):
        log(f"{'' if args.quick else '        ' if met is None else 'met     ' if met else 'MISSED  '}{name}: {measured}")
    written = write_report(results, args.out)
    if args.write_docs:
        written = write_report(results, ROOT)
    log("wrote " + ", ".join(str(path) for path in written))
    return 0


if __name__ == "__main__":
    os.environ.setdefault("PYTHONHASHSEED", "0")
    sys.exit(main())
