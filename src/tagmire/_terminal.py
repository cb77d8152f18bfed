"""Text from the data made safe to print on a terminal.

An answer, a JSON key or a file name can hold anything, escape sequences
included: written to a terminal as they stand, `ESC[2J` clears the screen,
`ESC]0;…` sets the window title, OSC 8 writes links and U+202E turns the
rest of a line around, so that what is shown is not what is there. Every
text of the data that the command line prints goes through `printable`
first, which writes such characters escaped, as Python writes them in a
repr (`\\x1b`, `\\u202e`).
"""

from __future__ import annotations

import re

# C0 and C1 controls and DEL; the bidirectional formatting characters
# (marks, embeddings, overrides, isolates); the line and paragraph
# separators, which some terminals take as a line break.
_UNSAFE = "\x00-\x08\x0b-\x1f\x7f-\x9f\u061c\u200e\u200f\u2028-\u202e\u2066-\u2069"
_UNSAFE_IN_LINES = re.compile(f"[{_UNSAFE}]")
_UNSAFE_IN_ONE_LINE = re.compile(f"[{_UNSAFE}\t\n]")


def _escaped(match: re.Match[str]) -> str:
    code = ord(match.group())
    if code == 0x09:
        return "\\t"
    if code == 0x0A:
        return "\\n"
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"


def printable(text: str, *, lines: bool = False) -> str:
    """`text` with every character that could steer a terminal escaped.

    With `lines`, line feeds and tabs stay as they are (a whole answer,
    shown as it reads); otherwise they are escaped too, so that a value
    quoted in a one-line message stays on its line. A backslash is left
    alone: escapes are for the eye, not to be read back.
    """
    pattern = _UNSAFE_IN_LINES if lines else _UNSAFE_IN_ONE_LINE
    return pattern.sub(_escaped, text)
