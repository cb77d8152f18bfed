"""parse(s) + .text + .segments against the parsers a user would otherwise
pick, side by side in one run: every repetition times each contender once,
in an order that rotates, so noise on the machine falls on all of them alike.
Times are CPU time of the calling thread (--wall for the wall clock): on a
shared machine another process holding the core must not count.

    python bench/python_bench.py                          # every llm form, 100 B to 16 MB
    python bench/python_bench.py --sizes 100,65536 --reps 3 --corpora llm-2byte,dense
"""

from __future__ import annotations

import argparse
import json
import re
import statistics
import sys
import time
from dataclasses import asdict, dataclass
from html.parser import HTMLParser
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent)]  # this folder, and the root for inputs/

from inputs import corpora  # noqa: E402
import timing  # noqa: E402

import _tagmire_rs  # noqa: E402

SIZES = (100, 1 << 10, 16 << 10, 64 << 10, 256 << 10, 1 << 20, 4 << 20, 16 << 20)
SUBJECT = "tagmire"


class _Collector(HTMLParser):
    """What a user of html.parser writes: text pieces and tag events."""

    def __init__(self) -> None:
        super().__init__(convert_charrefs=True)
        self.text: list[str] = []
        self.events: list[tuple] = []

    def handle_data(self, data: str) -> None:
        self.text.append(data)

    def handle_starttag(self, tag: str, attrs: list) -> None:
        self.events.append(("start", tag, attrs))

    def handle_startendtag(self, tag: str, attrs: list) -> None:
        self.events.append(("point", tag, attrs))

    def handle_endtag(self, tag: str) -> None:
        self.events.append(("end", tag))


def _html_parser(s: str) -> str:
    collector = _Collector()
    collector.feed(s)
    collector.close()
    return "".join(collector.text)


@dataclass(frozen=True)
class Contender:
    name: str
    statement: str  # timed, with the input bound to `s`
    text: str  # an expression for the text it extracts, to check it read the whole input
    cap: int | None = None  # largest input it is timed on


def contenders(cap_html_parser: int, cap_bs4: int) -> list[Contender]:
    found = [
        Contender(SUBJECT, "r = parse(s); r.text; r.segments; del r", "parse(s).text"),
        Contender("regex", "strip_tags('', s)", "strip_tags('', s)"),
        Contender("html.parser", "html_parser(s)", "html_parser(s)", cap_html_parser),
    ]
    optional = (
        ("lxml.html", "lxml_html.fromstring(s, parser=lxml_parser).text_content()", None),
        ("BeautifulSoup", "BeautifulSoup(s, 'html.parser').get_text()", cap_bs4),
        ("selectolax", "LexborHTMLParser(s).text()", None),
        # Both on lexbor: the text extractor, and the text of the parsed tree.
        ("resiliparse", "extract_plain_text(s)", None),
        ("resiliparse.dom", "HTMLTree.parse(s).body.text", None),
    )
    namespace = _namespace()
    for name, statement, cap in optional:
        if statement.split("(")[0].split(".")[0] in namespace:
            found.append(Contender(name, statement, statement, cap))
    return found


# A contender whose text is shorter than this share of the median of all
# contenders' texts stopped early (libxml2 gives up on deep nesting, for
# one): its time is shown but not compared.
PARTIAL_BELOW = 0.6


def _namespace() -> dict:
    namespace: dict = {
        "parse": _tagmire_rs.parse,
        "strip_tags": re.compile(r"<[^>]*>").sub,
        "html_parser": _html_parser,
    }
    try:
        import lxml.html

        namespace["lxml_html"] = lxml.html
        # Without huge_tree libxml2 refuses text nodes past 10 MB.
        namespace["lxml_parser"] = lxml.html.HTMLParser(huge_tree=True)
    except ImportError:
        pass
    try:
        from bs4 import BeautifulSoup

        namespace["BeautifulSoup"] = BeautifulSoup
    except ImportError:
        pass
    try:
        from selectolax.lexbor import LexborHTMLParser

        namespace["LexborHTMLParser"] = LexborHTMLParser
    except ImportError:
        pass
    try:
        from resiliparse.extract.html2text import extract_plain_text
        from resiliparse.parse.html import HTMLTree

        namespace["extract_plain_text"] = extract_plain_text
        namespace["HTMLTree"] = HTMLTree
    except ImportError:
        pass
    return namespace


# Each contender with the package it comes from, for the versions in the report.
PACKAGES = {"lxml.html": "lxml", "BeautifulSoup": "beautifulsoup4", "selectolax": "selectolax",
            "resiliparse": "resiliparse", "resiliparse.dom": "resiliparse"}


@dataclass
class Row:
    corpus: str
    size: int
    contender: str
    median_s: float
    samples: int
    calls_per_sample: int
    ratio: float | None = None  # median of the contender / median of tagmire
    text_chars: int = 0  # length of the text it extracted
    partial: bool = False  # it extracted far less text than the others: not compared


def run(corpus_names: list[str], sizes: list[int], reps: int, sample_seconds: float, cap_html_parser: int,
        cap_bs4: int, clock=time.thread_time, log=print) -> list[Row]:
    namespace = _namespace()
    every = contenders(cap_html_parser, cap_bs4)
    loops = {c.name: timing.compile_loop(c.statement, namespace, clock) for c in every}
    rows: list[Row] = []
    for name in corpus_names:
        for size in sizes:
            s = corpora.corpus(name, size)
            here = [c for c in every if c.cap is None or size <= c.cap]
            numbers = {c.name: timing.calibrate(loops[c.name], s, sample_seconds) for c in here}
            times: dict[str, list[float]] = {c.name: [] for c in here}
            for rep in range(reps):
                order = here[rep % len(here):] + here[: rep % len(here)]
                for c in order:
                    times[c.name].append(timing.time_per_call(loops[c.name], s, numbers[c.name]))
            base = timing.median(times[SUBJECT])
            lengths = {c.name: len(eval(c.text, dict(namespace, s=s))) for c in here}
            typical = statistics.median(lengths.values())
            for c in here:
                t = timing.median(times[c.name])
                rows.append(Row(name, size, c.name, t, reps, numbers[c.name], t / base, lengths[c.name],
                                lengths[c.name] < PARTIAL_BELOW * typical))
            log(f"{name:6} {timing.human_bytes(size):>6}  " + "  ".join(
                f"{r.contender} {timing.human_seconds(r.median_s)}"
                + ("" if r.contender == SUBJECT else f" ({r.ratio:.2f}x)") + (" PARTIAL" if r.partial else "")
                for r in rows[-len(here):]))
    return rows


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--corpora", default=",".join(corpora.FORMS))
    parser.add_argument("--sizes", default=",".join(map(str, SIZES)))
    parser.add_argument("--reps", type=timing.positive(int), default=7)
    parser.add_argument("--sample-seconds", type=timing.positive(float), default=0.02)
    parser.add_argument("--cap-html-parser", type=timing.positive(int), default=16 << 20)
    parser.add_argument("--cap-bs4", type=timing.positive(int), default=1 << 20)
    parser.add_argument("--wall", action="store_true", help="time by the wall clock, not by CPU time")
    parser.add_argument("--json", type=Path, help="write the rows here")
    args = parser.parse_args(argv)
    rows = run(args.corpora.split(","), [int(x) for x in args.sizes.split(",")], args.reps, args.sample_seconds,
               args.cap_html_parser, args.cap_bs4, time.perf_counter if args.wall else time.thread_time)
    if args.json:
        args.json.write_text(json.dumps([asdict(r) for r in rows], indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
