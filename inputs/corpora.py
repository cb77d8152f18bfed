"""Seeded inputs, shared by every benchmark, by the C++ core benchmark (which
reads the files `write` leaves behind) and by the tests of these inputs.

Corpora of at most `size` UTF-8 bytes:
  llm-4byte  model answers: headings, paragraphs, lists, fenced code holding
             `a < b`, inline code, accents, CJK, dashes, emoji; about one
             recognised tag per 150 bytes, and about 11 `<` per KB. As real
             answers have them: a distinct source in almost every citation
             (so few tag texts repeat), unknown inline tags (`<b>`, `<i>`),
             a literal `<` in comparisons, tags left open across
             paragraphs, citations at the ends of list items. Every answer
             opens with an emoji and a dash, so even 100 bytes hold both.
  llm-2byte  the same answers with every character above U+FFFF replaced by
             one below it: a str of 2-byte characters
  llm-ascii  the same answers with every non-ASCII character replaced by an
             ASCII one (or dropped, for variation selectors)
  plain      the llm-4byte prose with every tag, CDATA wrapper and piece
             holding `<` left out
  dense      a tag every few words
The three llm forms differ only where llm-4byte has non-ASCII characters, and
CPython stores them as ASCII, 2-byte and 4-byte strings. The hostile families
are those of inputs/hostile_families.py, each with its configuration.

From the root of the checkout:

    python -m inputs.corpora --write DIR --sizes 65536,1048576   # files for core_bench, in DIR/seed*-v*
    python -m inputs.corpora --stats                              # tag density and the like
    python -m inputs.corpora --hostile-digest 4096                # compare with core_bench's
"""

from __future__ import annotations

import argparse
import functools
import random
import re
import sys
import unicodedata
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path

from . import hostile_families
from .hostile_families import FAMILIES as HOSTILE  # noqa: F401

SEED = 20240604
# Part of the corpus files' folder name: raise it whenever the generator changes.
VERSION = 4
# The `str` forms of the llm corpus, by the width CPython stores them in.
FORMS = ("llm-ascii", "llm-2byte", "llm-4byte")
CORPORA = FORMS + ("plain", "dense")

_WORDS = (
    "the of and to in is that for it as with was on be by this are from at or an which have not "
    "model answer water boils temperature pressure altitude sea level degrees value result study "
    "paper source data shows evidence suggests however therefore because although measured report "
    "function returns list string parser input output memory cache thread process request latency "
    "throughput benchmark error retry timeout config option default version release update change "
    "city capital river population history century empire treaty economy market price growth rate"
).split()
_ACCENTED = "café naïve résumé déjà Zürich São Paulo Mañana façade coöperate Ångström".split()
_CJK = ("東京は日本の首都です", "数据显示增长", "참고 자료", "機械学習モデル", "北京")
_EMOJI = ("🚀", "✅", "⚠️", "📌", "🙂")
# Above U+FFFF, for the opening of every answer.
_LEAD_EMOJI = ("🚀", "📌", "🙂", "💡", "🔍")
_CODE = (
    "if a < b and b > c:\n    return a\n",
    "for (int i = 0; i < n; ++i) sum += v[i];\n",
    "while left < right:\n    mid = (left + right) // 2\n",
    "assert len(xs) < limit, 'too many items'\n",
    "x = [i for i in range(10) if i % 3 < 2]\n",
)
_INLINE_CODE = ("`a < b`", "`len(x) <= 3`", "`parse(text)`", "`x->next`", "`x <= y`", "`i < n`")
_URLS = ("https://example.org/a1", "doi:10.1000/182", "wiki", "https://example.com/p?q=1&r=2", "rfc9110")
_SITES = ("en.wikipedia.org/wiki", "www.nature.com/articles", "arxiv.org/abs", "docs.python.org/3/library",
          "www.who.int/news-room/fact-sheets", "github.com/org/repo/issues", "www.bbc.co.uk/news")
# Comparisons as prose writes them: a `<` that is text (or, before a letter
# and a later `>`, reads as a tag up to it, as it would in any answer).
_COMPARISONS = ("x < 10", "p < 0.05", "when n<k", "a <= b", "<5%", "under <1 ms", "if i < len(xs)", "2 < 3")


def _source(rng: random.Random) -> str:
    """Where a citation points: nearly always a page of its own."""
    r = rng.random()
    if r < 0.08:
        return rng.choice(_URLS)
    if r < 0.2:
        return f"doi:10.{rng.randint(1000, 9999)}/{rng.choice(_WORDS)}.{rng.randint(1, 99999)}"
    slug = "-".join(rng.choice(_WORDS) for _ in range(rng.randint(1, 4)))
    return f"https://{rng.choice(_SITES)}/{slug}" + (f"-{rng.randint(1, 999999)}" if rng.random() < 0.6 else "")


@dataclass(frozen=True)
class _Piece:
    text: str
    markup: bool  # left out of `plain`


def _sentence(rng: random.Random, lead: bool = False) -> str:
    """A sentence; the `lead` one of an answer opens with an emoji and holds a dash."""
    words = [rng.choice(_WORDS) for _ in range(rng.randint(6, 16))]
    if lead:
        words.insert(2, "\u2014")
    r = rng.random()
    if r < 0.12:
        words[rng.randrange(len(words))] = rng.choice(_ACCENTED)
    elif r < 0.16:
        words[rng.randrange(len(words))] = rng.choice(_CJK)
    elif r < 0.19:
        words.append(rng.choice(_EMOJI))
    elif r < 0.27:
        words.insert(rng.randrange(len(words)), rng.choice(_INLINE_CODE))
    elif r < 0.31:
        words.insert(rng.randrange(len(words)), rng.choice(_COMPARISONS))
    words[0] = words[0].capitalize()
    if lead:
        words.insert(0, rng.choice(_LEAD_EMOJI))
    return " ".join(words) + ("." if rng.random() < 0.85 else rng.choice("!?:"))


def _tagged(rng: random.Random, words: str) -> list[_Piece]:
    """One recognised or unknown tag around or beside `words`."""
    m, t = (lambda s: _Piece(s, True)), (lambda s: _Piece(s, False))
    name = rng.choice(("note", "Note", "NOTE")) if rng.random() < 0.1 else "note"
    r = rng.random()
    if r < 0.22:
        return [t(words), m(f'<cite src="{_source(rng)}"/>')]
    if r < 0.32:
        return [t(words), m("<cite>")]  # left open: recovers backwards
    if r < 0.50:
        return [m(f"<{name}>"), t(words), m(f"</{name}>" if rng.random() < 0.8 else "")]
    if r < 0.62:
        cid = f"c{rng.randint(1, 40)}"
        return [m(f"<claim id={cid}>"), t(words), m("</claim>" if rng.random() < 0.85 else "")]
    if r < 0.70:
        return [m("<todo>"), t(words), m("</todo>" if rng.random() < 0.7 else "")]
    if r < 0.78:
        return [m(f'<risk level="{rng.choice(("high", "low", "medium"))}">'), t(words), m("</risk>")]
    if r < 0.97:
        unknown = rng.choice(("b", "i", "em"))
        return [m(f"<{unknown}>"), t(words), m(f"</{unknown}>")] if rng.random() < 0.7 else [
            t(words), m(rng.choice(("<br>", "</p>", "<br/>")))]
    return [m("<![CDATA["), t(words), m(" <not a tag>]]>")]


def _paragraph(rng: random.Random, tags: bool, lead: bool = False) -> Iterator[_Piece]:
    if tags and rng.random() < 0.08:
        # Left open here, closed a paragraph or more later or never.
        yield _Piece(rng.choice(("<note>", "<claim id=open>", "<todo>")), True)
    for i in range(rng.randint(2, 5)):
        sentence = _sentence(rng, lead and i == 0)
        if tags and rng.random() < 0.62:
            cut = sentence.rfind(" ", 0, max(1, len(sentence) - 12))
            yield _Piece(sentence[: cut + 1], False)
            yield from _tagged(rng, sentence[cut + 1 : -1])
            yield _Piece(sentence[-1], False)
        else:
            yield _Piece(sentence, False)
        yield _Piece(" ", False)
    yield _Piece("\n\n", False)


def _answer(rng: random.Random, tags: bool = True) -> Iterator[_Piece]:
    """One model answer, as a chat model lays one out."""
    if rng.random() < 0.5:
        yield _Piece(f"## {' '.join(rng.choice(_WORDS) for _ in range(3)).title()}\n\n", False)
    yield from _paragraph(rng, tags, lead=True)
    for _ in range(rng.randint(0, 3)):
        r = rng.random()
        if r < 0.6:
            if tags and rng.random() < 0.1:
                yield _Piece(rng.choice(("</note>", "</claim>", "</todo>")), True)
            yield from _paragraph(rng, tags)
        elif r < 0.85:
            for i in range(rng.randint(2, 5)):
                bullet = f"{i + 1}. " if rng.random() < 0.4 else "- "
                yield _Piece(bullet, False)
                if tags and rng.random() < 0.5:
                    # A short item that ends with its source.
                    yield _Piece(_sentence(rng)[:-1], False)
                    yield _Piece(f'<cite src="{_source(rng)}"/>', True)
                    yield _Piece("\n", False)
                    continue
                yield from _paragraph(rng, tags and rng.random() < 0.6)
        else:
            yield _Piece("```python\n" + "".join(rng.choice(_CODE) for _ in range(rng.randint(1, 4))) + "```\n\n",
                         False)


def _short_answer(rng: random.Random) -> Iterator[_Piece]:
    """A one- or two-sentence answer in which every sentence carries a tag."""
    lead = True
    while True:
        sentence = _sentence(rng, lead)
        lead = False
        cut = sentence.rfind(" ", 0, max(1, len(sentence) - 12))
        yield _Piece(sentence[: cut + 1], False)
        yield from _tagged(rng, sentence[cut + 1 : -1])
        yield _Piece(sentence[-1] + " ", False)


def _ascii(ch: str) -> str:
    """An ASCII stand-in for one character: the letter under an accent, a
    hyphen for a dash, a letter for a CJK or Hangul character, `*` for an
    emoji; nothing for a variation selector."""
    if unicodedata.category(ch) == "Mn":
        return ""
    base = unicodedata.normalize("NFKD", ch)[0]
    if base.isascii():
        return base
    if unicodedata.category(ch) == "Pd":
        return "-"
    return chr(ord("a") + ord(ch) % 26) if ch.isalpha() else "*"


def _form_tables() -> dict[str, dict[int, str]]:
    """str.translate tables from llm-4byte to each form, for every non-ASCII
    character the generator writes."""
    chars = {ch for text in (*_ACCENTED, *_CJK, *_EMOJI, *_LEAD_EMOJI, "\u2014") for ch in text if not ch.isascii()}
    return {
        "llm-4byte": {},
        # Miscellaneous Symbols, U+2600 to U+26FF: three UTF-8 bytes each.
        "llm-2byte": {ord(ch): chr(0x2600 + ord(ch) % 0x100) for ch in chars if ord(ch) > 0xFFFF},
        "llm-ascii": {ord(ch): _ascii(ch) for ch in chars},
    }


_FORM_TABLES = _form_tables()


def _translated(answer: list[_Piece], table: dict[int, str]) -> list[_Piece]:
    return [p if p.text.isascii() or not table else _Piece(p.text.translate(table), p.markup) for p in answer]


def _pieces(seed: int, short: bool, form: str = "llm-4byte") -> Iterator[_Piece]:
    """Endless answers in one `str` form; past 4 MB it draws answers again
    from those already made, so large corpora stay cheap. Every form draws the
    same answers: the pool fills by the bytes of llm-4byte."""
    rng = random.Random(seed)
    table = _FORM_TABLES[form]
    if short:
        for piece in _short_answer(rng):
            yield _translated([piece], table)[0]
    pool: list[list[_Piece]] = []
    made = 0
    while True:
        if made < (4 << 20):
            answer = list(_answer(rng))
            made += sum(len(p.text.encode()) for p in answer)
            answer = _translated(answer, table)
            pool.append(answer)
        else:
            answer = rng.choice(pool)
        yield from answer


def _take(pieces: Iterator[_Piece], size: int, markup: bool) -> str:
    """Whole pieces while they fit in `size` bytes, then the part of the next
    one that fits, cut at a character boundary. Without markup, pieces holding
    a `<` go too: `i < n; ... >` reads as one tag up to the next `>`."""
    out: list[str] = []
    made = 0
    for piece in pieces:
        if not markup and (piece.markup or "<" in piece.text):
            continue
        data = piece.text.encode()
        if made + len(data) > size:
            if not piece.markup:  # never half a tag
                out.append(data[: size - made].decode(errors="ignore"))
            break
        out.append(piece.text)
        made += len(data)
    return "".join(out)


# Inputs under this size are short answers with a tag in every sentence, so
# that the smallest sizes are not tagless openings of a long answer.
_SHORT = 1024


# CPython's storage width of each form: 1 (ASCII), 2 or 4 bytes a character.
_WIDTH = {"llm-ascii": 1, "llm-2byte": 2, "llm-4byte": 4}


def width(s: str) -> int:
    """Bytes per character in CPython's storage of `s` (1 for Latin-1 too)."""
    return (sys.getsizeof(s + s) - sys.getsizeof(s)) // len(s) if s else 1


@functools.lru_cache(maxsize=16)
def llm(size: int, form: str = "llm-4byte", seed: int = SEED) -> str:
    text = _take(_pieces(seed, size < _SHORT, form), size, markup=True)
    if width(text) != _WIDTH[form] or (form == "llm-ascii") != text.isascii():
        raise AssertionError(f"{form} at {size} bytes is stored {width(text)} bytes a character")
    return text


@functools.lru_cache(maxsize=8)
def plain(size: int, seed: int = SEED) -> str:
    # The same answers as `llm`, so the two differ only in their tags.
    return _take(_pieces(seed, size < _SHORT), size, markup=False)


def _dense_pieces(seed: int) -> Iterator[_Piece]:
    rng = random.Random(seed + 1)
    opened: list[str] = []
    while True:
        yield _Piece(" ".join(rng.choice(_WORDS) for _ in range(rng.randint(1, 4))) + " ", False)
        r = rng.random()
        if r < 0.35:
            name = rng.choice(("note", "claim", "todo", "risk"))
            tag = f"<{name} id=d{rng.randint(1, 99)}>" if name == "claim" else f"<{name}>"
            opened.append(name)
        elif r < 0.6 and opened:
            tag = f"</{opened.pop()}>"
        elif r < 0.75:
            tag = f'<cite src="{_source(rng)}"/>' if rng.random() < 0.5 else f"<cite src=s{rng.randint(1, 9)}/>"
        elif r < 0.85:
            tag = "<cite>"
        else:
            tag = rng.choice(("<b>", "</b>", "<i>", "</i>", "<br>", "</p>"))
        yield _Piece(tag, True)
        yield _Piece("\n" if rng.random() < 0.05 else " ", False)


@functools.lru_cache(maxsize=8)
def dense(size: int, seed: int = SEED) -> str:
    return _take(_dense_pieces(seed), size, markup=True)


def corpus(name: str, size: int) -> str:
    if name in FORMS:
        return llm(size, name)
    return {"plain": plain, "dense": dense}[name](size)


def answers(count: int, seed: int = SEED) -> list[str]:
    """`count` separate model answers (each a few KB) for the process-parallel run."""
    rng = random.Random(seed + 2)
    return ["".join(p.text for p in _answer(rng)) for _ in range(count)]


def hostile(name: str) -> hostile_families.Family:
    """A hostile family (inputs/hostile_families.py): `.make(bytes)` and `.config.build()`."""
    return hostile_families.family(name)


# --- files and checks ---

def write(base: Path, sizes: list[int], names: tuple[str, ...] = CORPORA) -> list[Path]:
    """Writes `{corpus}_{size}.txt` for every corpus and size into a folder of
    `base` named after the seed and generator version, skipping files already
    there (the generator is seeded, so they cannot differ)."""
    directory = base / f"seed{SEED}-v{VERSION}"
    directory.mkdir(parents=True, exist_ok=True)
    written = []
    for name in names:
        for size in sizes:
            path = directory / f"{name}_{size}.txt"
            if not path.exists():
                tmp = path.with_suffix(".tmp")
                tmp.write_bytes(corpus(name, size).encode())
                tmp.replace(path)
            written.append(path)
    return written


def hostile_digest(size: int) -> str:
    """One line per family: name, byte length and CRC-32 of its input, and its configuration."""
    return hostile_families.digest(size)


def stats(size: int) -> str:
    import _tagmire_rs

    rows = []
    tag = re.compile(r"<[A-Za-z/][^<>]*>")
    recognised = re.compile(r"</?(?:cite|note|todo|claim|risk|code)\b", re.IGNORECASE)
    for name in CORPORA:
        text = corpus(name, size)
        n = len(text.encode())
        tags = tag.findall(text)
        known = len(recognised.findall(text))
        result = _tagmire_rs.parse(text)
        annotated = sum(1 for s in result.segments if s.annotations)
        rows.append(f"{name:9} {n:>9} bytes  {len(tags):>6} tags (1 per {n / max(1, len(tags)):.0f} B; recognised 1 per {n / max(1, known):.0f} B)  "
                    f"text {len(result.text.encode()) / n:.0%} of input  "
                    f"{len(result.segments):>6} segments ({annotated} annotated)  {len(result.markers)} markers  "
                    f"{len(text):>9} chars, stored {width(text)} bytes a character")
    return "\n".join(rows)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--write", type=Path, metavar="DIR")
    parser.add_argument("--sizes", default="65536,1048576,16777216")
    parser.add_argument("--stats", action="store_true")
    parser.add_argument("--hostile-digest", type=int, metavar="BYTES")
    parser.add_argument("--show", metavar="CORPUS:BYTES")
    args = parser.parse_args(argv)
    if args.write:
        for path in write(args.write, [int(s) for s in args.sizes.split(",")]):
            print(path)
    if args.stats:
        print(stats(1 << 20))
    if args.hostile_digest is not None:
        print(hostile_digest(args.hostile_digest))
    if args.show:
        name, size = args.show.split(":")
        sys.stdout.write(corpus(name, int(size)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
