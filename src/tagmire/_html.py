"""The notebook display of a ParsedText (its `_repr_html_`): the text with
each annotated stretch highlighted in the colour of its tag (the last of
its annotations, where several cover it) and followed by its tags, each
marker drawn where it stands, attributes in the tooltips. Everything from
the data is escaped, in text and in attributes.
"""

from __future__ import annotations

from html import escape
from typing import TYPE_CHECKING

from tagmire._display import Closing, Opening, Piece, Point, colour_of, walk_record

if TYPE_CHECKING:
    from tagmire._native import ParsedText

_FRAME = '<div class="tagmire-parsed" style="white-space: pre-wrap; line-height: 1.7">'


def render(result: ParsedText) -> str:
    """The HTML of a ParsedText."""
    out = [_FRAME]
    for event in walk_record(result):
        if isinstance(event, Piece):
            out.append(escape(event.text))
        elif isinstance(event, Opening):
            colour = colour_of(event.labels[-1].tag)
            title = escape("; ".join(label.describe() for label in event.labels))
            out.append(f'<mark style="background:{colour.background}; color:#000" title="{title}">')
        elif isinstance(event, Closing):
            tags = escape(", ".join(label.tag for label in event.labels))
            out.append(f'</mark><sub style="color:#666; font-size:70%">{tags}</sub>')
        elif isinstance(event, Point):
            colour = colour_of(event.label.tag)
            out.append(f'<sup style="color:{colour.ink}" title="{escape(event.label.describe())}">'
                       f"&#9670;{escape(event.label.tag)}</sup>")
    out.append("</div>")
    return "".join(out)
