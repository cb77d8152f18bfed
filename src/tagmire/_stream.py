"""StreamParser: parse a model's answer while it is still being written.

Feed the answer in pieces as they arrive (a piece may end anywhere: inside a
tag, a CDATA section or an attribute value). Every update hands out the text
that has settled since the last one, with its segments and markers, and a
provisional preview of the tail still held back.

Text settles once nothing still to come can change it: it lies before the
oldest tag still open (before that tag's line, for a tag that recovers by
retro_line), before the start of the current line when some recognised tag
may recover by retro_line, and before any `<` whose tag or CDATA section has
not yet arrived in full. With the default configuration an ordinary answer
therefore settles line by line.

Joined, the settled texts are exactly `parse(whole).text`, the settled
markers exactly `parse(whole).markers`, and the settled segments exactly
`parse(whole).segments` once each segment marked `continues` is joined to the
one before it. Positions are given both as UTF-8 byte offsets into the whole
text, as `parse` reports them, and as character offsets.
"""

from __future__ import annotations

from typing import NamedTuple

import _tagmire_rs

from tagmire import _native
from tagmire._config import Config, native_config

__all__ = ["StreamParser", "StreamUpdate", "SettledText", "StreamSegment", "StreamMarker", "StreamAnnotation"]


class StreamAnnotation(NamedTuple):
    """A tag's name as written and its attributes (True for a key written
    without a value)."""

    tag: str
    attrs: dict[str, str | bool]


class StreamSegment(NamedTuple):
    """A piece of settled text and the annotations covering it. `start` and
    `end` are UTF-8 byte offsets into the whole text, `char_start` and
    `char_end` the same in characters. A segment that `continues` is the
    rest of the previous update's last segment: the text settled in the
    middle of it."""

    text: str
    start: int
    end: int
    char_start: int
    char_end: int
    annotations: tuple[StreamAnnotation, ...]
    continues: bool


class StreamMarker(NamedTuple):
    """A self-closing tag's marker: its position in the whole text, in UTF-8
    bytes (`pos`, as `parse` gives it) and in characters."""

    pos: int
    char_pos: int
    annotation: StreamAnnotation


class SettledText(NamedTuple):
    """A run of text with its segments and markers. `provisional` runs are
    previews of held-back text, which may still change: for display only."""

    text: str
    start: int
    end: int
    char_start: int
    char_end: int
    segments: tuple[StreamSegment, ...]
    markers: tuple[StreamMarker, ...]
    provisional: bool = False


class StreamUpdate(NamedTuple):
    """What one feed or close settled (`committed`, final) and, unless
    previews are off, how the held-back tail would parse if the text ended
    now (`pending`, provisional)."""

    committed: SettledText
    pending: SettledText | None


# The native half makes these records itself, as tuple.__new__ would.
_native.stream_records(StreamAnnotation, StreamSegment, StreamMarker, SettledText, StreamUpdate)


class StreamParser:
    """Parses a text fed in pieces, handing out what settles as it settles.

        stream = StreamParser()
        for token in tokens:
            update = stream.feed(token)
            show(update.committed, update.pending)
        show(stream.close().committed)

    `config` is a ParserConfig, a tagmire.Config or None (the default).
    With `preview=False` updates carry no `pending` preview, which saves
    the work of parsing the held-back tail on every feed. The total work
    over a stream is linear in its length however it is cut, and what it
    holds is the held-back tail, not the whole text.
    """

    __slots__ = ("_core",)

    def __init__(self, config: Config | _tagmire_rs.ParserConfig | None = None, *, preview: bool = True) -> None:
        if not isinstance(preview, bool):
            raise TypeError(f"preview must be a bool, not {type(preview).__name__}")
        self._core = _native.Stream(native_config(config), preview)

    @property
    def closed(self) -> bool:
        """Whether close() has been called."""
        return self._core.closed

    @property
    def held_bytes(self) -> int:
        """Bytes held back: input not yet decided and text not yet settled."""
        return self._core.held_bytes

    def feed(self, chunk: str) -> StreamUpdate:
        """Adds `chunk` to the text and returns what settled."""
        return self._core.feed(chunk)

    def close(self) -> StreamUpdate:
        """Ends the text: everything left settles. Closing twice settles
        nothing more."""
        return self._core.close()

    def preview(self) -> SettledText:
        """The held-back tail as it would parse if the text ended now:
        provisional, for display only. Costs time in proportion to the tail."""
        return self._core.preview()
