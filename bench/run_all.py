"""Every benchmark in one run, checked against the speed targets.

    python -m pip install ".[bench]" && python bench/run_all.py --write-readme
    python bench/run_all.py --quick        # tiny sizes: checks that nothing is broken

The full run takes about ten minutes on two cores. It builds the C++ core
benchmark (Google Benchmark, from Debian's libbenchmark-dev) under
build/bench, writes the corpora to build/bench-corpora, leaves every figure in
build/bench-results/results.json and prints a summary; --write-readme puts
that summary at the end of README.md. Targets never fail the run: only a
crash or an error does.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time
from dataclasses import asdict
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))

import corpora  # noqa: E402
import memory  # noqa: E402
import parallel  # noqa: E402
import python_bench  # noqa: E402
import scaling  # noqa: E402
import timing  # noqa: E402

README_HEADING = "## Benchmark results"
KB, MB = 1 << 10, 1 << 20

FULL = dict(
    py_sizes=python_bench.SIZES, py_reps=7, py_sample=0.02, cap_html_parser=4 * MB, cap_bs4=1 * MB,
    core_sizes=(100, 64 * KB, 1 * MB, 16 * MB), core_min_time=0.3, core_reps=5, hostile_bytes=1 * MB,
    scale_min=64 * KB, scale_max=16 * MB, scale_reps=7, memory_bytes=64 * MB, answers=10_000, parallel_reps=5,
)
QUICK = dict(
    py_sizes=(100, 4 * KB), py_reps=2, py_sample=0.002, cap_html_parser=4 * KB, cap_bs4=4 * KB,
    core_sizes=(100, 4 * KB), core_min_time=0.01, core_reps=1, hostile_bytes=4 * KB,
    scale_min=4 * KB, scale_max=16 * KB, scale_reps=2, memory_bytes=256 * KB, answers=200, parallel_reps=1,
)


def log(message: str) -> None:
    print(message, flush=True)


def build_core_bench(build_dir: Path) -> Path:
    cmake = [sys.executable, "-m", "cmake"]
    subprocess.run(cmake + ["-S", str(ROOT), "-B", str(build_dir), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                            "-DTAGMIRE_BUILD_BENCHMARKS=ON"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(cmake + ["--build", str(build_dir), "-j", "2"], check=True, stdout=subprocess.DEVNULL)
    return build_dir / "tagmire_core_bench"


def run_core(exe: Path, corpus_dir: Path, cfg: dict, out: Path) -> dict:
    # The hostile inputs of both languages must be the same.
    digest = subprocess.run([str(exe), "--hostile_digest=4096"], check=True, capture_output=True, text=True).stdout
    if digest.strip() != corpora.hostile_digest(4096).strip():
        raise SystemExit("bench/corpora.py and bench/hostile_inputs.h build different hostile inputs")
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
    for name in ("lxml", "beautifulsoup4", "selectolax"):
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


def targets(results: dict) -> list[tuple[str, str, bool | None]]:
    """(target, measured, met) for every target that this run measured."""
    out: list[tuple[str, str, bool | None]] = []
    rows = [python_bench.Row(**r) for r in results.get("python", [])]
    large = sorted({r.size for r in rows if r.corpus == "llm" and r.size >= 64 * KB})
    for peer, need in (("html.parser", 10), ("lxml.html", 3), ("selectolax", 3), ("regex", 1)):
        ratios = [(r.ratio, r.size) for s in large if (r := _row(rows, "llm", s, peer)) and not r.partial]
        if ratios:
            worst, at = min(ratios)
            out.append((f"llm 64 KB-16 MB: ≥{need}x {peer}", f"{worst:.2f}x at worst ({timing.human_bytes(at)})",
                        worst >= need))
    tiny = _row(rows, "llm", 100, python_bench.SUBJECT)
    regex = _row(rows, "llm", 100, "regex")
    if tiny:
        out.append(("100 B llm: under 1 µs", timing.human_seconds(tiny.median_s), tiny.median_s < 1e-6))
    if tiny and regex:
        out.append(("100 B llm: ≤3x the regex strip", f"{tiny.median_s / regex.median_s:.2f}x",
                    tiny.median_s / regex.median_s <= 3))
    core = results.get("core", {})
    llm_rates = {int(k.split("/")[2]): v for k, v in core.items() if k.startswith("parse/llm/")}
    big = {s: v for s, v in llm_rates.items() if s >= 64 * KB} or llm_rates
    if big:
        worst = min(big, key=big.get)
        out.append(("C++ core on llm: ≥1 GB/s", f"{big[worst] / 1e9:.2f} GB/s at worst ({timing.human_bytes(worst)})",
                    big[worst] >= 1e9))
    shares = {}
    for k, v in core.items():
        if k.startswith("parse/plain/") and (floor := core.get(k.replace("parse/", "memchr_memcpy/"))):
            shares[int(k.split("/")[2])] = v / floor
    shares = {s: v for s, v in shares.items() if s >= 64 * KB} or shares
    if shares:
        worst = min(shares, key=shares.get)
        out.append(("C++ core on plain: ≥25% of memchr+memcpy", f"{shares[worst]:.0%} at worst "
                    f"({timing.human_bytes(worst)})", shares[worst] >= 0.25))
    if results.get("scaling"):
        worst = scaling.worst([scaling.Step(**s) for s in results["scaling"]])
        over = {k: v for k, v in worst.items() if v > scaling.LIMIT}
        top = max(worst, key=worst.get)
        text = f"worst {worst[top]:.2f} ({top})" + (f"; {len(over)} families over" if over else "")
        out.append((f"t(2n)/t(n) ≤ {scaling.LIMIT} for every family", text, not over))
    if m := results.get("memory"):
        out.append((f"{timing.human_bytes(m['input_bytes'])} llm: peak ≤3x input above baseline",
                    f"{m['ratio']:.2f}x the UTF-8 input ({m['ratio'] * m['input_bytes'] / m['input_str_bytes']:.2f}x "
                    f"the str)", m["ratio"] <= 3))
    if p := results.get("parallel"):
        out.append(("process pool: ≥1.7x with 2 workers", f"{p['speedup']:.2f}x answers sent, "
                    f"{p['speedup_fork']:.2f}x inherited by fork", p["speedup"] >= 1.7))
    return out


# --- report ---

def markdown(results: dict) -> str:
    m = results["machine"]
    lines = [
        README_HEADING, "",
        f"Measured by `python bench/run_all.py --write-readme` on {m['date']}: {m['cpu']}, {m['cores']} cores, "
        f"{m['memory']}, {m['os']}, Python {m['python']}, revision {results['revision']}; load average "
        f"{results['load_before']} before the run and {results['load_after']} after (the machine is shared). "
        f"Peers: {results.get('peers', '')} (BeautifulSoup on html.parser, selectolax on lexbor). "
        "Python times are medians of interleaved runs in CPU time of the calling thread (the process pool: "
        "wall clock), each call on a fresh `str`; ratios compare medians from the same run.", "",
        "| Target | Measured | Met |", "|---|---|---|",
    ]
    for name, measured, met in targets(results):
        lines.append(f"| {name} | {measured} | {'yes' if met else 'no'} |")
    rows = [python_bench.Row(**r) for r in results.get("python", [])]
    peers = [c for c in ("regex", "html.parser", "lxml.html", "BeautifulSoup", "selectolax")
             if any(r.contender == c for r in rows)]
    sizes = sorted({r.size for r in rows if r.corpus == "llm"})
    if sizes:
        lines += ["", "`llm`, parse + `.text` + `.segments`, median per call (peer time / tagmire time; "
                  "\"stopped early\": the peer returned far less text than the others and is not compared):", "",
                  "| Size | tagmire | " + " | ".join(peers) + " |", "|---" * (len(peers) + 2) + "|"]
        for size in sizes:
            cells = [timing.human_bytes(size)]
            base = _row(rows, "llm", size, python_bench.SUBJECT)
            cells.append(timing.human_seconds(base.median_s) if base else "")
            for peer in peers:
                r = _row(rows, "llm", size, peer)
                cells.append("—" if r is None else f"{timing.human_seconds(r.median_s)} "
                             + ("(stopped early)" if r.partial else f"({r.ratio:.2f}x)"))
            lines.append("| " + " | ".join(cells) + " |")
    core = results.get("core", {})
    if core:
        lines += ["", "C++ core alone (Google Benchmark, median, CPU time), bytes per second:", "",
                  "| Input | parse | memchr + memcpy |", "|---|---|---|"]
        for key in sorted((k for k in core if k.startswith("parse/") and not k.startswith("parse/hostile")),
                          key=lambda k: (corpora.CORPORA.index(k.split("/")[1]), int(k.split("/")[2]))):
            _, name, size = key.split("/")
            floor = core.get(f"memchr_memcpy/{name}/{size}")
            lines.append(f"| {name} {timing.human_bytes(int(size))} | {core[key] / 1e6:,.0f} MB/s | "
                         + (f"{floor / 1e6:,.0f} MB/s |" if floor else "— |"))
    lines += ["", "Raw figures: build/bench-results/results.json after a run.", ""]
    return "\n".join(lines)


def write_readme(section: str) -> None:
    path = ROOT / "README.md"
    text = path.read_text()
    at = text.find("\n" + README_HEADING + "\n")
    text = (text[: at + 1] if at >= 0 else text.rstrip("\n") + "\n\n") + section
    path.write_text(text)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="tiny sizes, for CI")
    parser.add_argument("--write-readme", action="store_true")
    parser.add_argument("--skip", default="", help="comma-separated: core,python,scaling,memory,parallel")
    parser.add_argument("--out", type=Path, default=ROOT / "build" / "bench-results")
    args = parser.parse_args(argv)
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
    if "python" not in skip:
        log("== Python: tagmire against its peers")
        rows = python_bench.run(list(corpora.CORPORA), list(cfg["py_sizes"]), cfg["py_reps"], cfg["py_sample"],
                                cfg["cap_html_parser"], cfg["cap_bs4"], log=log)
        results["python"] = [asdict(r) for r in rows]
    if "scaling" not in skip:
        log("== Scaling: t(2n)/t(n) through the Python API (CPU time)")
        steps = scaling.run(scaling.family_names(), cfg["scale_min"], cfg["scale_max"], cfg["scale_reps"], 20.0,
                            log=log)
        results["scaling"] = [asdict(s) for s in steps]
    if "memory" not in skip:
        log("== Memory")
        results["memory"] = memory.measure(cfg["memory_bytes"])
        log(memory.report(results["memory"]))
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
        log(f"{'' if args.quick else 'met     ' if met else 'MISSED  '}{name}: {measured}")
    if args.write_readme:
        if args.quick:
            log("not writing README.md from a --quick run")
        else:
            write_readme(markdown(results))
            log("README.md updated")
    return 0


if __name__ == "__main__":
    os.environ.setdefault("PYTHONHASHSEED", "0")
    sys.exit(main())
