"""StreamParser: parse a model's answer while it is still being written.

Feed the answer in pieces as they arrive (a piece may end anywhere: inside a
tag, a CDATA section or an attribute value). Every update hands out the text
that has settled since the last one (`committed`), and, unless previews are
off, how the preview of the held-back text changed.

Text settles once nothing still to come can change it: it lies before the
oldest tag still open, a tag auto-closed provisionally included (before
that tag's line, for a tag that recovers by retro_line), before the point a
retro_line tag still to come would reach back to, and before any `<` whose
tag or CDATA section has not yet arrived in full. With the default
configuration an ordinary answer therefore settles citation by citation and
line by line, and a paragraph in which a tag was auto-closed when it ends.

Joined, the committed texts are exactly `parse(whole).text`, their markers
exactly `parse(whole).markers`, and their segments exactly
`parse(whole).segments` once each segment marked `continues` is joined to
the one before it.

The preview is handed out as changes, so that an update costs its piece and
what changed, however long the held-back text grows, and a window applies
them blindly: `pending` replaces everything shown from `pending.start` on,
segments and markers, and carries every marker from there; `revised` holds
earlier stretches whose segments changed (a `retro_line` tag annotates text
back to where it reaches), each to replace the segments shown between its
`start` and `end`. A segment that `continues` joins the one shown before
it. `StreamParser.preview()` gives the whole preview at once; `Window`
keeps the whole answer and says what to redraw. An unfinished `<…` at the
end, which may still become a tag, is left out of the preview unless
`unfinished=True`. A feed that fails leaves the stream as it was.
"""

from __future__ import annotations

from collections.abc import AsyncIterable, AsyncIterator, Iterable, Iterator
from typing import Any, Generic, Literal, NoReturn, TypeVar, overload

from _tagmire_rs import ParserConfig

from tagmire import _native
from tagmire._config import Config, native_config
from tagmire._native import ParsedText, PreviewUpdate, StreamUpdate

__all__ = ["StreamParser", "StreamUpdate", "PreviewUpdate", "Window", "stream", "astream"]

UpdateT = TypeVar("UpdateT", StreamUpdate, PreviewUpdate)


class StreamParser(Generic[UpdateT]):
    """Parses a text fed in pieces, handing out what settles as it settles.

        parser = StreamParser()
        for piece in pieces:
            update = parser.feed(piece)
            show(update.committed, update.pending, update.revised)
        show(parser.close().committed)

    `config` is a Config, a ParserConfig or None (`Config.default()`). With
    `preview=False` updates are StreamUpdates, with `committed` only, which
    saves keeping the preview. The work over a stream is linear in its
    length however it is cut, and what it holds is the held-back tail, not
    the whole text. A stream takes one call at a time; it cannot be copied
    or pickled.
    """

    __slots__ = ("_core",)

    @overload
    def __init__(self: StreamParser[PreviewUpdate], config: Config | ParserConfig | None = None, *,
                 preview: Literal[True] = True, unfinished: bool = False) -> None: ...

    @overload
    def __init__(self: StreamParser[StreamUpdate], config: Config | ParserConfig | None = None, *,
                 preview: Literal[False]) -> None: ...

    def __init__(self, config: Config | ParserConfig | None = None, *, preview: bool = True,
                 unfinished: bool = False) -> None:
        if not isinstance(preview, bool):
            raise TypeError(f"preview must be a bool, not {type(preview).__name__}")
        if not isinstance(unfinished, bool):
            raise TypeError(f"unfinished must be a bool, not {type(unfinished).__name__}")
        if unfinished and not preview:
            raise ValueError("unfinished=True shows unfinished markup in the preview: it needs preview=True")
        self._core = _native.Stream(native_config(config), preview, unfinished)

    @property
    def closed(self) -> bool:
        """Whether close() has been called."""
        return self._core.closed

    @property
    def held_bytes(self) -> int:
        """Bytes held back: input not yet decided and text not yet settled."""
        return self._core.held_bytes

    def feed(self, chunk: str) -> UpdateT:
        """Adds `chunk` to the text and returns what settled and, with
        previews, how the preview changed."""
        return self._core.feed(chunk)

    def close(self) -> UpdateT:
        """Ends the text: everything left settles, and the preview is empty.
        Closing twice settles nothing more."""
        return self._core.close()

    def preview(self) -> ParsedText:
        """The whole held-back text as it would parse if the text ended now:
        provisional, for display. Costs time in proportion to what is held;
        the updates' changes cost what changed."""
        return self._core.preview()

    def _refuse(self, *_: Any) -> NoReturn:
        raise TypeError("a StreamParser cannot be copied or pickled: it is one text's parse under way")

    __copy__ = __deepcopy__ = __reduce__ = __reduce_ex__ = _refuse


class Window:
    """A chat window's view of an answer that is still being written: the
    whole answer so far, settled text and preview together, kept in step
    with the pieces fed to it.

        window = Window()
        for piece in pieces:
            redraw = window.feed(piece)
            ui.cut(redraw.char_start)   # drop what is shown from there on
            ui.draw(redraw.segments, redraw.markers)
        redraw = window.close()        # the same, once more

    Each `feed` and `close` returns what to redraw, as a ParsedText: the
    answer from `char_start` (the first character whose reading changed)
    to its end, with every segment and marker from there on. A window that
    drops what it shows from `char_start` on and draws these shows exactly
    `parsed`. Its first segment may continue the one shown before it
    (`continues`), with the same annotations. `parsed` is the whole answer
    so far as one ParsedText; after `close()` it is `parse(answer)`.

    A redraw costs what changed, and with the default configuration it
    starts near the end. The window holds the whole answer.
    `unfinished=True` shows a tag still arriving as written, as
    StreamParser does.
    """

    __slots__ = ("_core",)

    def __init__(self, config: Config | ParserConfig | None = None, *, unfinished: bool = False) -> None:
        if not isinstance(unfinished, bool):
            raise TypeError(f"unfinished must be a bool, not {type(unfinished).__name__}")
        self._core = _native.Stream(native_config(config), True, unfinished, True)

    @property
    def closed(self) -> bool:
        """Whether close() has been called."""
        return self._core.closed

    @property
    def parsed(self) -> ParsedText:
        """The whole answer so far: provisional until close(), then exactly
        `parse(answer)`. Costs time in proportion to the answer."""
        return self._core.preview()

    def feed(self, chunk: str) -> ParsedText:
        """Adds `chunk` to the answer and returns what to redraw."""
        return self._core.feed(chunk)

    def close(self) -> ParsedText:
        """Ends the answer and returns what to redraw; closing twice
        redraws nothing."""
        return self._core.close()

    def _refuse(self, *_: Any) -> NoReturn:
        raise TypeError("a Window cannot be copied or pickled: it is one answer's parse under way")

    __copy__ = __deepcopy__ = __reduce__ = __reduce_ex__ = _refuse


@overload
def stream(chunks: Iterable[str], config: Config | ParserConfig | None = None, *, preview: Literal[True] = True,
           unfinished: bool = False) -> Iterator[PreviewUpdate]: ...


@overload
def stream(chunks: Iterable[str], config: Config | ParserConfig | None = None, *,
           preview: Literal[False]) -> Iterator[StreamUpdate]: ...


def stream(chunks: Iterable[str], config: Config | ParserConfig | None = None, *, preview: bool = True,
           unfinished: bool = False) -> Iterator[PreviewUpdate] | Iterator[StreamUpdate]:
    """The updates of a text arriving as `chunks` (any iterable of str, such
    as a model SDK's stream of deltas): one per chunk, then the last one
    when the chunks end."""
    parser: StreamParser[Any] = StreamParser(config, preview=preview, unfinished=unfinished)  # type: ignore[call-overload]
    for chunk in chunks:
        yield parser.feed(chunk)
    yield parser.close()


@overload
def astream(chunks: AsyncIterable[str], config: Config | ParserConfig | None = None, *,
            preview: Literal[True] = True, unfinished: bool = False) -> AsyncIterator[PreviewUpdate]: ...


@overload
def astream(chunks: AsyncIterable[str], config: Config | ParserConfig | None = None, *,
            preview: Literal[False]) -> AsyncIterator[StreamUpdate]: ...


async def astream(chunks: AsyncIterable[str], config: Config | ParserConfig | None = None, *,  # type: ignore[misc]
                  preview: bool = True, unfinished: bool = False) -> AsyncIterator[Any]:
    """`stream` over an async iterable, for `async for` over a model SDK's
    stream: one update per chunk, then the last one when the chunks end."""
    parser: StreamParser[Any] = StreamParser(config, preview=preview, unfinished=unfinished)  # type: ignore[call-overload]
    async for chunk in chunks:
        yield parser.feed(chunk)
    yield parser.close()
