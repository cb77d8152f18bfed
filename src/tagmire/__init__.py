"""tagmire: the Tagmire text parser.

`parse` parses one text into a `ParsedText`: the plain text, cut into
`Segment`s that carry the `Annotation`s of the tags covering them, and the
`Marker`s of self-closing tags, with byte and character positions.
`StreamParser`, `stream` and `astream` parse one while it is still being
written, and `Window` keeps a chat window's view of it; `parse_batch` parses many on every core into an Arrow table;
`Config` is a configuration that pickles and loads from TOML or JSON;
`ParseColumn` runs the batch parser over one column of a table (the command
line and Ray Data use it), and `parse_frame` over a column of a pyarrow,
Polars or pandas frame. `tagmire.polars`, `tagmire.duckdb` and
`tagmire.spark` bring the parser to those engines. The batch API needs pyarrow
(`pip install "tagmire[arrow]"`), imported only when it is used.
"""

from importlib.metadata import PackageNotFoundError, version

from _tagmire_rs import ParserConfig

from tagmire._batch import ColumnClash, ParseColumn, parse_batch
from tagmire._config import Config, ConfigError
from tagmire._frames import parse_frame
from tagmire._native import (Annotation, InvalidTextError, Marker, OutputTooLargeError, ParsedText, PreviewUpdate,
                             Segment, StreamUpdate)
from tagmire._parse import parse
from tagmire._stream import StreamParser, Window, astream, stream

try:
    __version__ = version("tagmire")
except PackageNotFoundError:  # imported from a tree that was never installed
    __version__ = "0+unknown"
del PackageNotFoundError, version

__all__ = [
    "parse",
    "ParsedText",
    "Segment",
    "Annotation",
    "Marker",
    "Config",
    "ConfigError",
    "ParserConfig",
    "StreamParser",
    "StreamUpdate",
    "PreviewUpdate",
    "Window",
    "stream",
    "astream",
    "parse_batch",
    "ParseColumn",
    "parse_frame",
    "ColumnClash",
    "InvalidTextError",
    "OutputTooLargeError",
]
