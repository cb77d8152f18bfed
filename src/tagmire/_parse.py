"""tagmire.parse: one text in, a ParsedText out."""

from __future__ import annotations

from _tagmire_rs import ParserConfig

from tagmire import _native
from tagmire._config import Config, native_config
from tagmire._native import ParsedText


def parse(text: str, config: Config | ParserConfig | None = None) -> ParsedText:
    """Parses `text` under `config` (a Config, a ParserConfig, or None for
    `Config.default()`) and returns a ParsedText: the plain text, its
    segments with byte (`start`, `end`) and character (`char_start`,
    `char_end`) positions, and its markers. The records are built when they
    are read, so a result costs what its input does until then.

    >>> result = parse("Paris is the capital<cite src=wiki/> of France.")
    >>> result.text
    'Paris is the capital of France.'
    >>> result.markers[0].char_pos, result.markers[0].annotation.attrs
    (20, {'src': 'wiki'})
    """
    return _native.parse(text, native_config(config))
