"""`tagmire show`: one parsed answer for the eye, so that a configuration can
be checked on real answers.

In colour (rich, the cli extra) each annotated stretch takes the colour of
its tag (the last of its annotations), the same in every answer and in the
notebook display, and is underlined where several tags cover it; a marker
is its tag name in reverse video. Without colour a stretch is marked
`[text]{tag key=value; tag}` and a marker `{@tag key=value}`. Either way every stretch and marker is followed
by its number, written small (¹ ² ³), and the legend lists each number with
its tags and their attributes, and a stretch's text: a reader matches an
attribute to its stretch by the number.

Everything from the data, the location line included, goes through
tagmire._terminal.printable: an escape sequence in an answer is shown
escaped, never sent to the terminal.

The stretches come from parse_batch's `segments` and `markers` of the one
row, by their character offsets, as `tagmire parse` writes them.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import IO, Any

from tagmire._display import Closing, Event, Label, Opening, Piece, Point, colour_of, walk_row
from tagmire._terminal import printable

COLOR_CHOICES = ("auto", "always", "never")

_SMALL_DIGITS = str.maketrans("0123456789", "⁰¹²³⁴⁵⁶⁷⁸⁹")
# A stretch's text in the legend, at most this many characters of it.
_EXCERPT = 40

# Text and its rich style ("" for none); the form without colour drops the styles.
Span = tuple[str, str]


def wants_colour(choice: str, out: IO[str], environ: Mapping[str, str]) -> bool:
    """Whether to colour, as ruff and uv decide: `--color always|never`
    wins; then NO_COLOR (set and not empty) turns colour off and
    FORCE_COLOR turns it on; otherwise colour goes to a terminal that is
    not dumb."""
    if choice != "auto":
        return choice == "always"
    if environ.get("NO_COLOR"):
        return False
    if environ.get("FORCE_COLOR"):
        return True
    return out.isatty() and environ.get("TERM") != "dumb"


@dataclass(frozen=True)
class _Entry:
    """A numbered stretch (with its text) or marker (text None), for the legend."""

    number: int
    labels: tuple[Label, ...]
    text: str | None


def _small(number: int) -> str:
    return str(number).translate(_SMALL_DIGITS)


def _marker(label: Label, colour: bool) -> Span:
    """A marker's tag: in reverse video, or marked with @ without colour."""
    tag = printable(label.tag)
    return (f"‹{tag}›", f"reverse {colour_of(label.tag).terminal}") if colour else (f"@{tag}", "")


def _body(events: Iterable[Event], colour: bool) -> tuple[list[Span], list[_Entry]]:
    """The answer's text, marked, and its stretches and markers by number.
    The spans carry their styles either way; the form without colour marks
    with brackets what colour shows, and leaves the styles unused."""
    spans: list[Span] = []
    entries: list[_Entry] = []
    style = ""
    for event in events:
        if isinstance(event, Piece):
            spans.append((printable(event.text, lines=True), style))
        elif isinstance(event, Opening):
            last = colour_of(event.labels[-1].tag).terminal
            style = f"bold {last}" + (" underline" if len(event.labels) > 1 else "")
            if not colour:
                spans.append(("[", ""))
        elif isinstance(event, Closing):
            if not colour:
                spans.append(("]{" + "; ".join(printable(label.describe()) for label in event.labels) + "}", ""))
            spans.append((_small(event.number), colour_of(event.labels[-1].tag).terminal))
            entries.append(_Entry(event.number, event.labels, event.text))
            style = ""
        elif isinstance(event, Point):
            spans.append(_marker(event.label, True) if colour else ("{@" + printable(event.label.describe()) + "}", ""))
            spans.append((_small(event.number), colour_of(event.label.tag).terminal))
            entries.append(_Entry(event.number, (event.label,), None))
    return spans, entries


def _legend(entries: list[_Entry], colour: bool) -> list[list[Span]]:
    """One line per stretch and marker, by number: the tags with their
    attributes, and a stretch's text."""
    width = len(str(entries[-1].number)) if entries else 0
    lines = []
    for entry in entries:
        line: list[Span] = [(f"  {entry.number:>{width}}  ", colour_of(entry.labels[-1].tag).terminal)]
        for i, label in enumerate(entry.labels):
            if i:
                line.append(("; ", ""))
            if entry.text is None:
                line.append(_marker(label, colour))
            else:
                line.append((printable(label.tag), f"bold {colour_of(label.tag).terminal}"))
            if label.attributes:
                line.append((" " + printable(label.describe_attributes()), ""))
        if entry.text is not None:
            short = entry.text if len(entry.text) <= _EXCERPT else entry.text[:_EXCERPT - 1] + "…"
            line.append((f'  "{printable(short)}"', "dim"))
        lines.append(line)
    if not entries:
        lines.append([("  no annotations", "dim")])
    return lines


def show(text: str | None, segments: list[dict[str, Any]] | None, markers: list[dict[str, Any]] | None, where: str,
         out: IO[str], *, colour: bool) -> None:
    """Writes one row of parse_batch's table to `out`, `where` naming it."""
    where = printable(where)
    if text is None:
        out.write(f"{where}: no answer (null)\n")
        return
    if colour:
        try:
            from rich.console import Console
            from rich.text import Text
        except ImportError:
            colour = False
    body, entries = _body(walk_row(text, segments or [], markers or []), colour)
    lines = [[(where, "dim")], body, [], [("legend:", "")], *_legend(entries, colour)]
    if not colour:
        out.write("\n".join("".join(part for part, _ in line) for line in lines) + "\n")
        return
    # Colour as asked for, whatever rich would make of the environment:
    # the standard colours alone, which every colour terminal has.
    console = Console(file=out, force_terminal=True, force_jupyter=False, color_system="standard", no_color=False,
                      highlight=False, markup=False, emoji=False, soft_wrap=True, legacy_windows=False)
    for line in lines:
        shown = Text()
        for part, style in line:
            shown.append(part, style=style or None)
        console.print(shown)
