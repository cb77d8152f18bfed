import sys
from collections.abc import Sequence
from typing import Any, final

from _tagmire_rs import ParserConfig

# The plain values of a tagmire.Config, in field order.
_ConfigValues = tuple[tuple[str, ...], tuple[tuple[str, str], ...], str, bool, bool, bool, bool]
# (length, offset, validity, offsets, data, large_offsets) of one Arrow string array.
_ArrowStrings = tuple[int, int, Any, Any, Any, bool]

@final
class Buffer:
    if sys.version_info >= (3, 12):
        def __buffer__(self, flags: int, /) -> memoryview: ...

def parse_texts(
    texts: list[str | None] | tuple[str | None, ...], config: ParserConfig | _ConfigValues | None, threads: int, /
) -> list[dict[str, Any]]: ...
def parse_arrow(
    arrays: Sequence[_ArrowStrings], config: ParserConfig | _ConfigValues | None, threads: int, /
) -> list[dict[str, Any]]: ...

# One settled run: (text, start, char_start, continues, segments, markers),
# segments as (start, end, char_start, char_end, ((tag, attrs), ...)) and
# markers as (pos, char_pos, tag, attrs).
_Run = tuple[
    str,
    int,
    int,
    bool,
    list[tuple[int, int, int, int, tuple[tuple[str, dict[str, str | bool]], ...]]],
    list[tuple[int, int, str, dict[str, str | bool]]],
]

@final
class Stream:
    def __new__(cls, config: ParserConfig | _ConfigValues | None) -> Stream: ...
    def feed(self, chunk: str, /) -> _Run | None: ...
    def close(self, /) -> _Run | None: ...
    def preview(self, /) -> _Run | None: ...
    @property
    def closed(self) -> bool: ...
    @property
    def held_bytes(self) -> int: ...
