"""tagmire: the Tagmire text parser for whole datasets.

`parse` and the classes of `_tagmire_rs` parse one text; `parse_batch`
parses many on every core into an Arrow table; `StreamParser` parses one
while it is still being written; `Config` is a configuration that pickles
and loads from TOML or JSON; `ParseColumn` runs the batch parser over one
column of a table (the command line and Ray Data use it).
The batch API needs pyarrow (`pip install "tagmire[arrow]"`), imported
only when it is used.
"""

from importlib.metadata import PackageNotFoundError, version

from _tagmire_rs import Annotation, Marker, ParserConfig, ParseResult, Segment, parse

from tagmire._batch import ParseColumn, parse_batch
from tagmire._config import Config, ConfigError
from tagmire._stream import SettledText, StreamAnnotation, StreamMarker, StreamParser, StreamSegment, StreamUpdate

try:
    __version__ = version("tagmire")
except PackageNotFoundError:  # imported from a tree that was never installed
    __version__ = "0+unknown"
del PackageNotFoundError, version

__all__ = [
    "parse",
    "ParserConfig",
    "ParseResult",
    "Segment",
    "Annotation",
    "Marker",
    "Config",
    "ConfigError",
    "parse_batch",
    "ParseColumn",
    "StreamParser",
    "StreamUpdate",
    "SettledText",
    "StreamSegment",
    "StreamMarker",
    "StreamAnnotation",
]
