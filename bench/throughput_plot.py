"""The throughput plot of BENCHMARKS.md: MB/s against input size, one line
for tagmire and one for each peer, one panel per `str` form of the llm
corpus. bench/run_all.py draws it from a run's figures; this script redraws
it from the tables of a BENCHMARKS.md, so that a plot always matches the
tables it stands beside:

    python -m pip install ".[bench]"
    python bench/throughput_plot.py BENCHMARKS.md -o docs/images/throughput.svg

MB here are 10^6 bytes of UTF-8 input, as in the C++ core's table. A peer's
figure marked "stopped early" (it returned far less text than the others)
is left out, as the tables leave its ratio out.
"""

from __future__ import annotations

import argparse
import re
import sys
from dataclasses import dataclass
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import python_bench  # noqa: E402
import timing  # noqa: E402

# The `str` forms, in the order of the panels: the same corpus stored as
# ASCII, 2-byte and 4-byte strings (inputs/corpora.py).
FORMS = ("llm-ascii", "llm-2byte", "llm-4byte")
SECONDS = {"ns": 1e-9, "µs": 1e-6, "ms": 1e-3, "s": 1.0}
BYTES = {"B": 1, "KB": 1 << 10, "MB": 1 << 20}
TABLE_TITLE = re.compile(r"^`(?P<form>[^`]+)`, parse \+ `\.text` \+ `\.segments`, median per call")
CELL = re.compile(r"^(?P<value>[0-9][0-9,.]*) (?P<unit>ns|µs|ms|s)(?P<rest>.*)$")


@dataclass(frozen=True)
class Point:
    form: str
    contender: str
    size: int  # bytes of UTF-8 input
    seconds: float  # median per call

    @property
    def megabytes_per_second(self) -> float:
        return self.size / self.seconds / 1e6


def points_from_results(results: dict) -> list[Point]:
    """The comparable figures of a run's results (bench/run_all.py)."""
    rows = [python_bench.Row(**r) for r in results.get("python", [])]
    return [Point(r.corpus, r.contender, r.size, r.median_s) for r in rows
            if r.corpus in FORMS and not r.partial and r.median_s > 0]


def parse_seconds(cell: str) -> float | None:
    """The time of a table cell ("270 ns", "1.41 ms (1.85x)"), or None for a
    figure that is missing or not comparable ("—", "89.19 ms (stopped early)")."""
    match = CELL.match(cell.strip())
    if match is None or "stopped early" in match["rest"]:
        return None
    return float(match["value"].replace(",", "")) * SECONDS[match["unit"]]


def parse_size(cell: str) -> int:
    number, unit = cell.split()
    return int(number) * BYTES[unit]


def points_from_markdown(text: str) -> list[Point]:
    """The figures of the per-form tables of a BENCHMARKS.md, as
    bench/run_all.py writes them (times rounded as the tables show them)."""
    points: list[Point] = []
    form = None
    header: list[str] = []
    for line in text.splitlines():
        if title := TABLE_TITLE.match(line):
            form, header = title["form"], []
            continue
        if form is None or not line.startswith("|"):
            if header:  # the table has ended
                form, header = None, []
            continue
        cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
        if not header:
            header = cells
        elif not set("".join(cells)) <= set("-: "):
            size = parse_size(cells[0])
            for contender, cell in zip(header[1:], cells[1:]):
                seconds = parse_seconds(cell)
                if seconds:
                    points.append(Point(form, contender, size, seconds))
    return points


def draw(points: list[Point], path: Path, title: str = "") -> None:
    """Draws the plot into `path` (SVG or PNG, by its suffix). The SVG keeps
    its text as text and carries no date, so a redraw of the same figures
    gives the same file and a changed figure a small diff."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    forms = [form for form in FORMS if any(p.form == form for p in points)]
    if not forms:
        raise ValueError("no figures of the llm forms to plot")
    # tagmire first, then the peers in the order the figures name them.
    contenders = list(dict.fromkeys([python_bench.SUBJECT] + [p.contender for p in points]))
    with plt.rc_context({"svg.fonttype": "none", "svg.hashsalt": "tagmire", "font.size": 9}):
        figure, axes = plt.subplots(1, len(forms), figsize=(4.2 * len(forms), 4.2), sharey=True,
                                    squeeze=False, layout="constrained")
        for axis, form in zip(axes[0], forms):
            for index, contender in enumerate(contenders):
                mine = sorted((p for p in points if p.form == form and p.contender == contender),
                              key=lambda p: p.size)
                if not mine:
                    continue
                subject = contender == python_bench.SUBJECT
                axis.plot([p.size for p in mine], [p.megabytes_per_second for p in mine],
                          label=contender, marker="o", markersize=3 if not subject else 4,
                          linewidth=2.4 if subject else 1.1, color="black" if subject else f"C{index}",
                          zorder=3 if subject else 2)
            axis.set_xscale("log", base=2)
            axis.set_yscale("log")
            sizes = sorted({p.size for p in points if p.form == form})
            axis.set_xticks(sizes, [timing.human_bytes(size) for size in sizes], rotation=45)
            axis.minorticks_off()
            axis.set_title(form)
            axis.set_xlabel("input size (UTF-8 bytes)")
            axis.grid(True, which="major", linewidth=0.4, alpha=0.5)
        axes[0][0].set_ylabel("MB/s (parse + .text + .segments)")
        handles, labels = axes[0][0].get_legend_handles_labels()
        figure.legend(handles, labels, loc="outside lower center", ncols=min(len(labels), 8), frameon=False)
        if title:
            figure.suptitle(title)
        path.parent.mkdir(parents=True, exist_ok=True)
        figure.savefig(path, metadata={"Date": None} if path.suffix == ".svg" else None)
        plt.close(figure)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("benchmarks", type=Path, help="a BENCHMARKS.md written by bench/run_all.py")
    parser.add_argument("-o", "--output", type=Path, required=True, help="the plot to write (.svg or .png)")
    parser.add_argument("--title", default="")
    args = parser.parse_args(argv)
    points = points_from_markdown(args.benchmarks.read_text(encoding="utf-8"))
    if not points:
        raise SystemExit(f"{args.benchmarks}: no per-form tables found")
    draw(points, args.output, args.title)
    print(f"{args.output}: {len(points)} figures")
    return 0


if __name__ == "__main__":
    sys.exit(main())
