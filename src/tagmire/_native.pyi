from collections.abc import Sequence
from typing import Any, final

from _tagmire_rs import ParserConfig

# (length, offset, validity, offsets, data, large_offsets) of one Arrow string array.
_ArrowStrings = tuple[int, int, Any, Any, Any, bool]

RECOVERY_STRATEGIES: tuple[str, ...]
UNKNOWN_MODES: tuple[str, ...]
ERROR_POLICIES: tuple[str, ...]

def config_fields(config: ParserConfig, /) -> dict[str, Any]: ...
def blank_parser_config(provisional_autoclose: bool, retro_line_split: bool, token_clusters: bool, /) -> ParserConfig: ...
def parse(text: str, config: ParserConfig, /) -> ParsedText: ...

@final
class Annotation:
    """What one tag contributes: its name as written and its attributes."""
    @property
    def tag(self) -> str:
        """The tag's name as written."""
    @property
    def attrs(self) -> dict[str, str | None]:
        """The attributes in written order; None for a key written without a value."""
    def to_dict(self) -> dict[str, Any]:
        """{'tag': ..., 'attrs': {...}}, ready for json.dumps."""

@final
class Segment:
    """A piece of text with the annotations of every span covering it."""
    @property
    def text(self) -> str:
        """The segment's text."""
    @property
    def start(self) -> int:
        """Where it begins: UTF-8 bytes into the whole text."""
    @property
    def end(self) -> int:
        """Where it ends: UTF-8 bytes into the whole text."""
    @property
    def char_start(self) -> int:
        """Where it begins: characters into the whole text."""
    @property
    def char_end(self) -> int:
        """Where it ends: characters into the whole text."""
    @property
    def annotations(self) -> tuple[Annotation, ...]:
        """The annotations of every span covering all of it, in the order the spans were recorded."""
    @property
    def continues(self) -> bool:
        """Whether it continues the last segment handed out before it (a stream's text settled inside it)."""
    def to_dict(self) -> dict[str, Any]:
        """The segment as plain dicts and lists, ready for json.dumps."""

@final
class Marker:
    """A point annotation left by a self-closing tag."""
    @property
    def pos(self) -> int:
        """Where the tag stood: UTF-8 bytes into the whole text."""
    @property
    def char_pos(self) -> int:
        """Where the tag stood: characters into the whole text."""
    @property
    def annotation(self) -> Annotation:
        """The self-closing tag's name and attributes."""
    def to_dict(self) -> dict[str, Any]:
        """The marker as plain dicts, ready for json.dumps."""

@final
class ParsedText:
    """Parsed text: a whole answer from parse(), or a run of one from a stream, with its segments and markers and
    where it lies in the whole text."""
    @property
    def text(self) -> str:
        """The plain text."""
    @property
    def start(self) -> int:
        """Where it begins in the whole text, in UTF-8 bytes (0 for a whole parse)."""
    @property
    def end(self) -> int:
        """Where it ends in the whole text, in UTF-8 bytes."""
    @property
    def char_start(self) -> int:
        """Where it begins in the whole text, in characters."""
    @property
    def char_end(self) -> int:
        """Where it ends in the whole text, in characters."""
    @property
    def segments(self) -> tuple[Segment, ...]:
        """The text cut into annotated segments, in order."""
    @property
    def markers(self) -> tuple[Marker, ...]:
        """The markers of self-closing tags, in order."""
    @property
    def provisional(self) -> bool:
        """Whether it is a preview of text still held back."""
    def to_dict(self) -> dict[str, Any]:
        """The text and its records as plain dicts and lists, ready for json.dumps."""
    def _repr_html_(self) -> str:
        """The text with its annotated stretches highlighted, for notebooks."""

@final
class StreamUpdate:
    """What one piece of a stream settled."""
    @property
    def committed(self) -> ParsedText:
        """The text that settled: final."""
    def to_dict(self) -> dict[str, Any]:
        """The update as plain dicts and lists, ready for json.dumps."""

@final
class PreviewUpdate:
    """What one piece of a stream settled, and how the preview changed."""
    @property
    def committed(self) -> ParsedText:
        """The text that settled: final."""
    @property
    def pending(self) -> ParsedText:
        """The preview from `pending.start` on: how the held-back text now reads there, up to its end.
        Provisional."""
    @property
    def revised(self) -> tuple[ParsedText, ...]:
        """Earlier stretches of the preview whose segments changed, each to replace what was shown between its
        start and end. Provisional."""
    def to_dict(self) -> dict[str, Any]:
        """The update as plain dicts and lists, ready for json.dumps."""

@final
class ArrowExport:
    """An Arrow field and its values, made by the parser, for Arrow readers to take through the PyCapsule
    interface without a copy."""
    def __arrow_c_schema__(self, /) -> Any:
        """The field's type, as an arrow_schema capsule."""
    def __arrow_c_array__(self, requested_schema: Any = None, /) -> tuple[Any, Any]:
        """The field's type and values, as arrow_schema and arrow_array capsules; the values are not copied."""

class InvalidTextError(UnicodeError):
    """A text that cannot be parsed: a str holding a lone surrogate, bytes that are not UTF-8. `row` is its index
    in the batch, `position` where in it the trouble begins, counted in `unit`s ("character" or "byte")."""
    row: int
    """The index of the text in its batch."""
    position: int
    """Where in the text the trouble begins, counted in `unit`s."""
    unit: str
    """"character" for a str, "byte" for Arrow bytes."""

class OutputTooLargeError(InvalidTextError):
    """A text whose parsed output would pass its bound, max_output_ratio bytes per byte of the text:
    `output_bytes` about what it would take, `limit` the bound; `position` and `unit` are None."""
    position: None  # type: ignore[assignment]
    unit: None  # type: ignore[assignment]
    output_bytes: int
    """About how many bytes the text's parsed columns would take."""
    limit: int
    """The most the text's parsed columns may take."""

OUTPUT_FORMS: tuple[str, ...]
OUTPUT_COLUMNS: dict[str, tuple[str, ...]]

def output_schema(form: str, /) -> ArrowExport: ...
def parse_texts(
    texts: list[str | None] | tuple[str | None, ...], config: ParserConfig, threads: int, errors: str, form: str,
    max_output_ratio: int, /
) -> list[tuple[ArrowExport, ...]]: ...
def parse_arrow(
    arrays: Sequence[_ArrowStrings], config: ParserConfig, threads: int, errors: str, form: str,
    max_output_ratio: int, /
) -> list[tuple[ArrowExport, ...]]: ...

@final
class Stream:
    def __new__(cls, config: ParserConfig, preview: bool = True, unfinished: bool = False,
                window: bool = False) -> Stream: ...
    def feed(self, chunk: str, /) -> Any: ...
    def close(self, /) -> Any: ...
    def preview(self, /) -> ParsedText: ...
    @property
    def closed(self) -> bool: ...
    @property
    def held_bytes(self) -> int: ...
