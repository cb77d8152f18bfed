import sys
from collections.abc import Sequence
from typing import Any, final

from _tagmire_rs import ParserConfig

from tagmire._stream import SettledText, StreamAnnotation, StreamMarker, StreamSegment, StreamUpdate

# (length, offset, validity, offsets, data, large_offsets) of one Arrow string array.
_ArrowStrings = tuple[int, int, Any, Any, Any, bool]

RECOVERY_STRATEGIES: tuple[str, ...]
UNKNOWN_MODES: tuple[str, ...]

def config_fields(config: ParserConfig, /) -> dict[str, Any]: ...
def blank_parser_config() -> ParserConfig: ...

@final
class Buffer:
    if sys.version_info >= (3, 12):
        def __buffer__(self, flags: int, /) -> memoryview: ...

def parse_texts(
    texts: list[str | None] | tuple[str | None, ...], config: ParserConfig | None, threads: int, /
) -> list[dict[str, Any]]: ...
def parse_arrow(arrays: Sequence[_ArrowStrings], config: ParserConfig | None, threads: int, /) -> list[dict[str, Any]]: ...

@final
class Stream:
    def __new__(cls, config: ParserConfig | None, preview: bool = True) -> Stream: ...
    def feed(self, chunk: str, /) -> StreamUpdate: ...
    def close(self, /) -> StreamUpdate: ...
    def preview(self, /) -> SettledText: ...
    @property
    def closed(self) -> bool: ...
    @property
    def held_bytes(self) -> int: ...

def stream_records(
    annotation: type[StreamAnnotation],
    segment: type[StreamSegment],
    marker: type[StreamMarker],
    settled: type[SettledText],
    update: type[StreamUpdate],
    /,
) -> None: ...
