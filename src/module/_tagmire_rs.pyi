"""The native parser of Tagmire text: `parse` and the records of its result.

Positions (`Marker.pos`, and the `text_len` of a result's repr) count bytes
of the UTF-8 encoding of the result's text, not characters. The results are
read-only records with no equality beyond identity.
"""

from collections.abc import Sequence
from typing import final

__all__ = ["ParseResult", "Segment", "Annotation", "Marker", "ParserConfig", "parse"]

@final
class ParseResult:
    """What `parse` returns: the plain text, its segments and its markers.

    Its repr gives the text's length in UTF-8 bytes and the counts:
    `ParseResult(text_len=37, segments=3, markers=0)`.
    """

    @property
    def text(self) -> str:
        """The plain text: the input with its markup removed."""
    @property
    def segments(self) -> list[Segment]:
        """The text cut into consecutive pieces, each with the annotations of every tag covering it."""
    @property
    def markers(self) -> list[Marker]:
        """One marker for each recognised self-closing tag, in the order of the text."""

@final
class Segment:
    """A piece of the text and the annotations of the tags covering it.

    Its repr names the tags only:
    `Segment(text='b', annotations=Annotation(tag='claim'), Annotation(tag='note'))`.
    """

    @property
    def text(self) -> str:
        """The piece of the result's text."""
    @property
    def annotations(self) -> list[Annotation]:
        """The annotations of every tag covering the piece; empty where none does."""

@final
class Annotation:
    """A recognised tag: its name as written and its attributes.

    Its repr marks attribute values by kind:
    `Annotation(tag='cite', attrs={"src": Str("wiki"), "n": Bool(true)})`.
    """

    @property
    def tag(self) -> str:
        """The tag's name in the letter case it was written in."""
    @property
    def attrs(self) -> dict[str, bool | str]:
        """The attributes in written order: a value as written, or `True` for a key written without one."""

@final
class Marker:
    """A recognised self-closing tag (`<cite src=wiki/>`) and where it stood.

    Its repr names the tag only: `Marker(pos=20, annotation=Annotation(tag='cite'))`.
    """

    @property
    def pos(self) -> int:
        """Where the tag stood in the result's text, in bytes of its UTF-8 encoding."""
    @property
    def annotation(self) -> Annotation:
        """The tag's name and attributes."""

@final
class ParserConfig:
    """A mutable parser configuration; `ParserConfig()` is the default preset.

    The default preset recognises `cite` (recovering by `retro_line`) and
    `note`, `todo`, `claim`, `risk`, `code` (recovering by
    `forward_until_tag`), matches names without regard to ASCII case, strips
    unknown tags, and has both auto-close switches and punctuation trimming
    on. `parse` works on a copy: a later change never alters a result.
    """

    def __new__(cls) -> ParserConfig: ...
    @classmethod
    def default_llm_friendly_config(cls) -> ParserConfig:
        """The default preset, the same as `ParserConfig()`."""
    @classmethod
    def default_cite_config(cls) -> ParserConfig:
        """The default preset recognising `cite` alone."""
    def set_recognized_tags(self, tags: Sequence[str]) -> None:
        """Replaces the recognised names; a name added without a strategy of its own recovers by `retro_line`."""
    def set_unknown_mode(self, mode: str) -> None:
        """What an unrecognised tag does: `"strip"` removes it, `"passthrough"` and `"treat_as_text"` keep it as text."""
    def set_recovery_strategy(self, tag: str, strategy: str) -> None:
        """What `tag` annotates when it is not closed by its own closing tag.

        One of `"retro_line"`, `"forward_until_tag"`,
        `"forward_until_newline"`, `"forward_next_token"` or `"noop"`.
        """
    def set_trim_punctuation(self, val: bool) -> None:
        """Whether recovered spans lose white space and `! ( ) , . : ; ?` at both ends."""
    def set_autoclose_on_any_tag(self, val: bool) -> None:
        """Whether a new tag closes the tag still open before it."""
    def set_autoclose_on_same_tag(self, val: bool) -> None:
        """Whether a tag closes an open tag of the same name."""
    def set_case_sensitive_tags(self, val: bool) -> None:
        """Whether names match only in the same letter case."""

def parse(input: str, config: ParserConfig | None = None) -> ParseResult:
    """Parses Tagmire text; never fails, whatever the input.

    `config` defaults to `ParserConfig()`. The first argument is passed by
    position or as `input=`; `text=` raises `TypeError`.
    """
