"""A parsed text laid out for the eye, as the notebook display (_html) and
`tagmire show` (_show) both draw it: one walk over the text in order, one
way to describe an annotation and one colour per tag name.

The walk hands out the text in pieces, the annotated stretches opening and
closing around them, and each marker at its own character position: a
marker that falls inside a stretch comes between two pieces of it. A
marker exactly where a stretch starts or ends stands outside it.
"""

from __future__ import annotations

import math
import zlib
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, NamedTuple

if TYPE_CHECKING:
    from tagmire._native import Annotation, ParsedText


@dataclass(frozen=True)
class Label:
    """One annotation as shown: its tag as written, and its attributes in
    written order (None for a key written without a value)."""

    tag: str
    attributes: tuple[tuple[str, str | None], ...] = ()

    def describe(self) -> str:
        """`tag key=value key`."""
        attributes = self.describe_attributes()
        return f"{self.tag} {attributes}" if attributes else self.tag

    def describe_attributes(self) -> str:
        """`key=value key`, a value quoted where it would not read as one
        word: `src="a b"`."""
        return " ".join(_attribute(key, value) for key, value in self.attributes)


# Characters that end a value written bare, or that the bracket form uses.
_QUOTED_IF = frozenset('"\\{}[];=')


def _attribute(key: str, value: str | None) -> str:
    if value is None:
        return key
    if value and not any(c in _QUOTED_IF or c.isspace() or not c.isprintable() for c in value):
        return f"{key}={value}"
    return f'{key}="' + value.replace("\\", "\\\\").replace('"', '\\"') + '"'


class Colour(NamedTuple):
    """One colour in its two forms: a terminal's named colour, and for HTML
    a light background and a dark ink of the same hue."""

    terminal: str
    background: str
    ink: str


# Six hues, so that the default configuration's six tags (crc32 of their
# names mod 6: note 0, cite 1, todo 2, risk 3, code 4, claim 5) each have
# one of their own; other names share them.
PALETTE = (
    Colour("yellow", "#fbe7a1", "#806400"),
    Colour("cyan", "#bdeef4", "#00707c"),
    Colour("magenta", "#f3c9ef", "#8f2a86"),
    Colour("red", "#f8c7c0", "#a3271a"),
    Colour("green", "#c9efc4", "#2b7a22"),
    Colour("blue", "#c9d9f8", "#2450a6"),
)


def colour_of(tag: str) -> Colour:
    """The tag's colour: the same for the same name in every answer and
    every run (Python's own hash of a str changes from run to run), and
    for names that differ only in case, as the parser matches them."""
    return PALETTE[zlib.crc32(tag.casefold().encode("utf-8", "surrogatepass")) % len(PALETTE)]


# --- the walk ---------------------------------------------------------------------


@dataclass(frozen=True)
class Piece:
    """Text of the answer, inside the stretch last opened or outside any."""

    text: str


@dataclass(frozen=True)
class Opening:
    """An annotated stretch starts; its labels outermost first."""

    labels: tuple[Label, ...]


@dataclass(frozen=True)
class Closing:
    """The stretch last opened ends. `number` counts the stretches and
    markers in the order their ends are drawn, from 1; `text` is the
    stretch's whole text."""

    labels: tuple[Label, ...]
    number: int
    text: str


@dataclass(frozen=True)
class Point:
    """A marker, numbered in the same count as the stretches."""

    label: Label
    number: int


Event = Piece | Opening | Closing | Point

# A segment (start, end, labels) and a marker (position, label), by
# characters into the text drawn.
Segment = tuple[int, int, tuple[Label, ...]]
Marker = tuple[int, Label]


def walk(text: str, segments: Iterable[Segment], markers: Sequence[Marker]) -> Iterator[Event]:
    """The text's events in reading order (see the module's docstring).
    Segments come in order and without overlap; a segment without labels
    is plain text."""
    waiting = sorted(markers, key=lambda marker: marker[0])  # stable: markers at one place keep their order
    next_marker = numbered = position = 0

    def markers_before(limit: float, *, at_limit: bool) -> Iterator[Event]:
        nonlocal next_marker, numbered, position
        while next_marker < len(waiting) and (waiting[next_marker][0] < limit
                                              or at_limit and waiting[next_marker][0] == limit):
            cut = min(max(position, waiting[next_marker][0]), len(text))
            if cut > position:
                yield Piece(text[position:cut])
                position = cut
            numbered += 1
            yield Point(waiting[next_marker][1], numbered)
            next_marker += 1

    for start, end, labels in segments:
        yield from markers_before(start, at_limit=True)
        if start > position:
            yield Piece(text[position:start])
            position = start
        if labels:
            yield Opening(labels)
        yield from markers_before(end, at_limit=False)
        if end > position:
            yield Piece(text[position:end])
            position = end
        if labels:
            numbered += 1
            yield Closing(labels, numbered, text[start:end])
    yield from markers_before(math.inf, at_limit=True)
    if len(text) > position:
        yield Piece(text[position:])


# --- the two sources: the package's records and parse_batch's rows -----------------


def of_record(annotation: Annotation) -> Label:
    """An Annotation of the package's records."""
    return Label(annotation.tag, tuple(annotation.attrs.items()))


def of_row(annotation: dict[str, Any]) -> Label:
    """An annotation or a marker of parse_batch's rows: a tag and its map
    of attributes, which pyarrow gives as (key, value) pairs."""
    return Label(annotation["tag"], tuple(map(tuple, annotation["attrs"])))


def walk_record(result: ParsedText) -> Iterator[Event]:
    """The walk over a ParsedText, whose positions count from the start of
    the whole answer, not of its own text (a stream hands out pieces)."""
    offset = result.char_start
    segments = ((s.char_start - offset, s.char_end - offset, tuple(map(of_record, s.annotations)))
                for s in result.segments)
    markers = [(m.char_pos - offset, of_record(m.annotation)) for m in result.markers]
    return walk(result.text, segments, markers)


def walk_row(text: str, segments: list[dict[str, Any]], markers: list[dict[str, Any]]) -> Iterator[Event]:
    """The walk over one row of parse_batch's table."""
    return walk(text, ((s["char_start"], s["char_end"], tuple(map(of_row, s["annotations"]))) for s in segments),
                [(m["char_pos"], of_row(m)) for m in markers])
