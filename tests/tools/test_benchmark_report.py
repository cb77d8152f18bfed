"""The benchmark report (bench/run_all.py, bench/throughput_plot.py):
BENCHMARKS.md's tables read back into the figures they were written from,
the plot drawn beside the report where its link points, and the committed
report's tables still readable by the plot."""

import dataclasses
import pathlib
import re
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "bench"))
import python_bench  # noqa: E402
import run_all  # noqa: E402
import throughput_plot  # noqa: E402
import timing  # noqa: E402

PEERS = ["regex", "html.parser", "lxml.html", "selectolax"]
# Medians across the units the tables print them in.
SIZES_SECONDS = {100: 2.7e-7, 1 << 10: 5.46e-7, 64 << 10: 2.92e-5, 1 << 20: 7.623e-4, 16 << 20: 1.253}


def results():
    """A run's results with the Python figures only: every form, size and
    contender, one peer stopped early at one size and one absent at another."""
    rows = []
    for form_index, form in enumerate(throughput_plot.FORMS):
        for size, seconds in SIZES_SECONDS.items():
            base = seconds * (1 + form_index / 3)
            rows.append(python_bench.Row(form, size, python_bench.SUBJECT, base, 5, 1))
            for peer_index, peer in enumerate(PEERS):
                if peer == "selectolax" and size == 16 << 20:
                    continue
                factor = 1.5 + 7.3 * peer_index
                rows.append(python_bench.Row(form, size, peer, base * factor, 5, 1, ratio=factor,
                                             partial=peer == "lxml.html" and size == 1 << 20))
    return {"machine": {"date": "2026-01-02", "cpu": "a CPU", "cores": "2", "memory": "1 GiB", "os": "Linux",
                        "python": "3.11.7"},
            "revision": "abc1234", "load_before": "0.1", "load_after": "0.2", "peers": "",
            "python": [dataclasses.asdict(row) for row in rows]}


def by_key(points):
    return {(p.form, p.contender, p.size): p.seconds for p in points}


def test_the_tables_read_back_into_the_figures_they_were_written_from():
    run = results()
    written = by_key(throughput_plot.points_from_results(run))
    read = by_key(throughput_plot.points_from_markdown(run_all.markdown(run)))
    # A figure stopped early is in neither; the tables round, nothing more
    # (a time of 1 to 10 µs keeps one decimal: up to 5%).
    assert read.keys() == written.keys()
    assert ("llm-2byte", "lxml.html", 1 << 20) not in read
    assert all(read[key] == pytest.approx(written[key], rel=0.05) for key in written)


@pytest.mark.parametrize(
    ("cell", "seconds"),
    [("270 ns", 270e-9), ("4.5 µs", 4.5e-6), ("1.41 ms (1.85x)", 1.41e-3), ("1,234.50 ms", 1.2345),
     ("2.10 s (3.00x)", 2.1), ("89.19 ms (stopped early)", None), ("—", None), ("", None)],
)
def test_table_cells_give_their_time_or_nothing(cell, seconds):
    assert throughput_plot.parse_seconds(cell) == (pytest.approx(seconds) if seconds else None)


def test_the_committed_report_holds_every_form_and_links_its_plot():
    report = ROOT / "BENCHMARKS.md"
    if not report.is_file():
        pytest.skip("BENCHMARKS.md is not in this tree")
    text = report.read_text(encoding="utf-8")
    points = throughput_plot.points_from_markdown(text)
    assert {p.form for p in points} == set(throughput_plot.FORMS)
    assert {python_bench.SUBJECT, "regex"} <= {p.contender for p in points}
    links = re.findall(r"!\[[^\]]*\]\(([^)]+)\)", text)
    assert str(run_all.PLOT) in links
    assert (ROOT / run_all.PLOT).is_file()


def test_the_report_and_its_plot_are_written_where_its_link_points(tmp_path):
    pytest.importorskip("matplotlib")
    written = run_all.write_report(results(), tmp_path)
    assert written == [tmp_path / run_all.REPORT, tmp_path / run_all.PLOT]
    text = written[0].read_text(encoding="utf-8")
    link = re.search(r"!\[[^\]]*\]\(([^)]+)\)", text)[1]
    assert (tmp_path / link).resolve() == written[1].resolve()
    svg = written[1].read_bytes()
    assert b"<svg" in svg and b"dc:date" not in svg
    # Every contender has its line, named in the legend as text.
    assert all(name.encode() in svg for name in [python_bench.SUBJECT, *PEERS])
    # The same figures draw the same file, so the committed plot changes
    # only when its figures do.
    run_all.write_report(results(), tmp_path / "again")
    assert (tmp_path / "again" / run_all.PLOT).read_bytes() == svg


def test_a_run_without_python_figures_writes_the_report_alone(tmp_path):
    run = dict(results(), python=[])
    assert run_all.write_report(run, tmp_path) == [tmp_path / run_all.REPORT]
    assert "![" not in (tmp_path / run_all.REPORT).read_text(encoding="utf-8")


def test_the_repository_is_written_only_from_a_full_run(capsys):
    with pytest.raises(SystemExit) as stopped:
        run_all.main(["--quick", "--write-docs"])
    assert stopped.value.code == 2
    assert "--write-docs" in capsys.readouterr().err


def test_the_core_table_gives_a_new_input_each_time_beside_one_input_again():
    core = {"parse/llm-ascii/65536": 3.0e9, "parse_unseen/llm-ascii/65536": 1.9e9,
            "memchr_memcpy/llm-ascii/65536": 16e9, "parse/llm-ascii/1048576": 1.8e9}
    text = run_all.markdown(dict(results(), core=core))
    assert "| llm-ascii 64 KB | 3,000 MB/s | 1,900 MB/s | 16,000 MB/s |" in text
    assert "| llm-ascii 1 MB | 1,800 MB/s | — | — |" in text
    # The target is judged on the input parsed again; the new inputs' rate stands beside it.
    assert "3.00 GB/s at worst (llm-ascii, 64 KB); 1.90 GB/s with each input new" in text
    assert "1.80 GB/s at worst (llm-ascii, 1 MB) |" in text



@pytest.mark.parametrize(("dense_per_lt", "met"), [(290.4, True), (663.0, False)])
def test_instructions_per_tag_are_tabled_and_judged_at_the_worst_llm_form(dense_per_lt, met):
    counts = {name: {"lt": 750, "instructions": 750 * per_lt, "per_lt": per_lt}
              for name, per_lt in (("llm-ascii", 240.0), ("llm-2byte", 249.6), ("llm-4byte", 120.0),
                                   ("dense", dense_per_lt))}
    run = dict(results(), instructions=counts)
    judged = {name: (text, ok) for name, text, ok in run_all.targets(run) if "instructions per" in name}
    assert judged == {"C++ core, every llm form, 64 KB: ≤250 instructions per `<` (callgrind)":
                      ("250 at worst (llm-2byte)", True),
                      "C++ core, dense, 64 KB: ≤300 instructions per `<` (callgrind)":
                      (f"{dense_per_lt:.0f} at worst (dense)", met)}
    assert "| llm-2byte 64 KB | 750 | 187,200 | 250 |" in run_all.markdown(run)

def _doubling(family, ratios, low=64 << 10):
    """Steps of one family from `low` up, each t(2n)/t(n) as given."""
    steps, size, seconds = [], low, 1e-4
    for ratio in [None, *ratios]:
        seconds *= ratio or 1
        steps.append({"family": family, "size": size, "bytes": size, "median_s": seconds, "output_units": size,
                      "ratio": ratio, "judged": ratio})
        size *= 2
    return steps


@pytest.mark.parametrize(("large_step", "met"), [(2.1, True), (2.5, False)])
def test_doubling_is_judged_from_1_mb_with_the_smaller_steps_beside(large_step, met):
    first, second = (family.name for family in run_all.corpora.HOSTILE[:2])
    # 64 KB to 8 MB: the step into 1 MB crosses the cache and is shown, not judged.
    scaling_steps = _doubling(first, [2.0, 2.0, 2.0, 2.7, 2.0, 2.0, 2.0]) + _doubling(second, [2.0] * 6 + [large_step])
    (target,) = [t for t in run_all.targets(dict(results(), scaling=scaling_steps)) if t[0].startswith("t(2n)")]
    name, text, judged = target
    assert name.endswith("every hostile family, 1 MB-8 MB") and judged is met
    assert text.endswith(f"; from 64 KB: worst 2.70 ({first}, to 1 MB), {1 if met else 2} "
                         f"famil{'y' if met else 'ies'} over")
    assert text.startswith(f"worst {large_step:.2f} ({second}, to 8 MB)")


def test_a_run_that_doubled_no_hostile_family_has_no_doubling_target():
    run = dict(results(), scaling=_doubling("llm-ascii", [2.0, 3.0]))
    assert not [t for t in run_all.targets(run) if t[0].startswith("t(2n)")]


ZEN1 = "processor\t: 0\nvendor_id\t: AuthenticAMD\ncpu family\t: 23\nmodel\t\t: 1\nmodel name\t: AMD EPYC\nflags\t\t: sse2 avx avx2\n"
ZEN3 = ZEN1.replace("cpu family\t: 23", "cpu family\t: 25")


@pytest.mark.parametrize(("cpuinfo", "name"), [
    # Two generations a hypervisor names alike, from the first processor only.
    (ZEN1 + "\n" + ZEN1.replace("avx2", ""), "AMD EPYC (family 23, model 1, AVX2)"),
    (ZEN3, "AMD EPYC (family 25, model 1, AVX2)"),
    ("model name\t: Intel Xeon\ncpu family\t: 6\nmodel\t\t: 106\nflags\t\t: avx2 avx512f\n",
     "Intel Xeon (family 6, model 106, AVX-512)"),
    ("model name\t: Some Core\nflags\t\t: sse2\n", "Some Core"),
    ("processor\t: 0\nFeatures\t: fp asimd\n", None),
])
def test_the_report_tells_processors_named_alike_apart(cpuinfo, name):
    assert timing.cpu_name(cpuinfo) == name
