"""`tagmire show`: one parsed answer for the eye, so that a configuration can
be checked on real answers. On a terminal (with rich installed) each
annotated stretch takes the colour of its innermost tag and each marker is
a coloured tag name; elsewhere the same is marked in plain text:
`[stretch]{tag key=value; tag}` for an annotated stretch and
`{@tag key=value}` for a marker. A legend of the tags and their
attributes follows.

The stretches come from parse_batch's `segments` and `markers` of the one
row, by their character offsets, as `tagmire parse` writes them.
"""

from __future__ import annotations

import json
from collections.abc import Iterator
from typing import IO, Any

PALETTE = ("cyan", "magenta", "green", "yellow", "blue", "red", "bright_cyan", "bright_magenta", "bright_green",
           "bright_yellow", "bright_blue", "bright_red")


def _attribute(key: str, value: str | None) -> str:
    if value is None:
        return key
    plain = value and not any(c.isspace() or c in '"{}[];=' for c in value)
    return f"{key}={value if plain else json.dumps(value, ensure_ascii=False)}"


def _annotation(annotation: dict[str, Any]) -> str:
    return " ".join([annotation["tag"], *(_attribute(a["key"], a["value"]) for a in annotation["attrs"])])


def pieces(text: str, segments: list[dict[str, Any]], markers: list[dict[str, Any]]) -> Iterator[tuple[str, Any]]:
    """("text", str), ("stretch", (str, annotations)) and ("marker", marker)
    in the order of the text."""
    waiting = sorted(markers, key=lambda marker: marker["char_pos"])
    next_marker = 0
    for segment in segments:
        position, end = segment["char_start"], segment["char_end"]
        while next_marker < len(waiting) and waiting[next_marker]["char_pos"] < end:
            cut = max(position, waiting[next_marker]["char_pos"])
            if cut > position:
                yield _piece(text[position:cut], segment["annotations"])
            yield "marker", waiting[next_marker]
            position = cut
            next_marker += 1
        if end > position:
            yield _piece(text[position:end], segment["annotations"])
    for marker in waiting[next_marker:]:
        yield "marker", marker


def _piece(text: str, annotations: list[dict[str, Any]]) -> tuple[str, Any]:
    return ("stretch", (text, annotations)) if annotations else ("text", text)


def legend(segments: list[dict[str, Any]], markers: list[dict[str, Any]]) -> dict[str, dict[str, Any]]:
    """Per tag, in order of first appearance: its stretches, its markers
    and the distinct attributes written on it."""
    tags: dict[str, dict[str, Any]] = {}

    def entry(annotation: dict[str, Any]) -> dict[str, Any]:
        found = tags.setdefault(annotation["tag"], {"stretches": 0, "markers": 0, "attributes": {}})
        for attribute in annotation["attrs"]:
            found["attributes"][_attribute(attribute["key"], attribute["value"])] = None
        return found

    for segment in segments:
        for annotation in segment["annotations"]:
            entry(annotation)["stretches"] += 1
    for marker in markers:
        entry(marker)["markers"] += 1
    return tags


def _counts(found: dict[str, Any]) -> str:
    parts = []
    if found["stretches"]:
        parts.append(f"{found['stretches']} stretch" + ("es" if found["stretches"] != 1 else ""))
    if found["markers"]:
        parts.append(f"{found['markers']} marker" + ("s" if found["markers"] != 1 else ""))
    return ", ".join(parts)


def plain(text: str, segments: list[dict[str, Any]], markers: list[dict[str, Any]]) -> str:
    out = []
    for kind, value in pieces(text, segments, markers):
        if kind == "text":
            out.append(value)
        elif kind == "stretch":
            stretch, annotations = value
            out.append(f"[{stretch}]{{{'; '.join(_annotation(a) for a in annotations)}}}")
        else:
            out.append(f"{{@{_annotation(value)}}}")
    lines = ["".join(out), "", "legend:"]
    for tag, found in legend(segments, markers).items():
        attributes = ", ".join(found["attributes"])
        lines.append(f"  {tag}: {_counts(found)}" + (f"; attributes: {attributes}" if attributes else ""))
    if len(lines) == 3:
        lines.append("  no annotations")
    return "\n".join(lines) + "\n"


def coloured(text: str, segments: list[dict[str, Any]], markers: list[dict[str, Any]], where: str,
             out: IO[str]) -> None:
    from rich.console import Console
    from rich.text import Text

    tags = legend(segments, markers)
    colours = {tag: PALETTE[i % len(PALETTE)] for i, tag in enumerate(tags)}
    shown = Text()
    for kind, value in pieces(text, segments, markers):
        if kind == "text":
            shown.append(value)
        elif kind == "stretch":
            stretch, annotations = value
            style = f"bold {colours[annotations[-1]['tag']]}" + (" underline" if len(annotations) > 1 else "")
            shown.append(stretch, style=style)
        else:
            shown.append(f"‹{_annotation(value)}›", style=f"reverse {colours[value['tag']]}")
    console = Console(file=out, highlight=False, soft_wrap=True)
    console.print(Text(where, style="dim"))
    console.print(shown)
    console.print()
    for tag, found in tags.items():
        line = Text("  ")
        line.append(tag, style=f"bold {colours[tag]}")
        line.append(f"  {_counts(found)}")
        if found["attributes"]:
            line.append("  " + ", ".join(found["attributes"]), style="dim")
        console.print(line)
    if not tags:
        console.print(Text("  no annotations", style="dim"))


def show(text: str | None, segments: list[dict[str, Any]] | None, markers: list[dict[str, Any]] | None, where: str,
         out: IO[str]) -> None:
    if text is None:
        out.write(f"{where}: no answer (null)\n")
        return
    if out.isatty():
        try:
            coloured(text, segments or [], markers or [], where, out)
            return
        except ImportError:
            pass
    out.write(f"{where}\n")
    out.write(plain(text, segments or [], markers or []))
