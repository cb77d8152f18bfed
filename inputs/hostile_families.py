"""The hostile input families: inputs built to make a naive parser slow, each
with the configuration that exposes it. This file is their one definition:
the Python benchmarks and the tests read it, and the C++ benchmarks read
inputs/hostile_inputs.h, which this file writes.

    python inputs/hostile_families.py --write     # rewrites inputs/hostile_inputs.h
    python inputs/hostile_families.py --check     # exit 1 if that file is stale

A family is data, not code, so that both languages build byte-identical
inputs from it: a list of parts, each sized as a share of the requested
byte count, and a configuration described by a few switches.
"""

from __future__ import annotations

import argparse
import sys
import zlib
from dataclasses import dataclass, field
from pathlib import Path

HEADER = Path(__file__).resolve().parent / "hostile_inputs.h"

# The default preset's names and strategies. The digest compares this with
# the C++ preset, so a change there shows up as a mismatch.
DEFAULT_STRATEGIES = {
    "cite": "retro_line", "note": "forward_until_tag", "todo": "forward_until_tag",
    "claim": "forward_until_tag", "risk": "forward_until_tag", "code": "forward_until_tag",
}


@dataclass(frozen=True)
class Repeat:
    """`piece` repeated until the part holds at least `share` of the bytes."""
    piece: str
    share: tuple[int, int] = (1, 1)


@dataclass(frozen=True)
class Numbered:
    """prefix + i + suffix for i = 0, 1, ... (wrapping at `wrap` when it is
    not 0) until the part holds at least `share` of the bytes."""
    prefix: str
    suffix: str
    wrap: int = 0
    share: tuple[int, int] = (1, 1)


@dataclass(frozen=True)
class Literal:
    text: str


Part = Repeat | Numbered | Literal


@dataclass(frozen=True)
class Config:
    """The default preset with these changes."""
    autoclose_on_any_tag: bool = True
    autoclose_on_same_tag: bool = True
    # When set, every recognised name recovers by this strategy.
    strategy: str | None = None
    # Also recognise t0 ... t{numbered_tags - 1}.
    numbered_tags: int = 0
    # The package's reading rules: provisional auto-close, retro_line tags
    # split by the tags before them, tokens of whole clusters.
    reading: bool = False

    def recognized(self) -> list[str]:
        return list(DEFAULT_STRATEGIES) + [f"t{i}" for i in range(self.numbered_tags)]

    def strategies(self) -> dict[str, str]:
        """The strategy every recognised name recovers by."""
        return {tag: self.strategy or DEFAULT_STRATEGIES.get(tag, "retro_line") for tag in self.recognized()}

    def build(self):
        """The module's ParserConfig, or None for the untouched default."""
        import _tagmire_rs

        if self == Config():
            return None
        if self.reading:
            import dataclasses

            import tagmire

            config = dataclasses.replace(tagmire.Config.compat_default(), provisional_autoclose=True,
                                         retro_line_split=True, token_clusters=True).to_parser_config()
        else:
            config = _tagmire_rs.ParserConfig()
        config.set_autoclose_on_any_tag(self.autoclose_on_any_tag)
        config.set_autoclose_on_same_tag(self.autoclose_on_same_tag)
        if self.numbered_tags:
            config.set_recognized_tags(self.recognized())
        if self.strategy:
            for tag in self.recognized():
                config.set_recovery_strategy(tag, self.strategy)
        return config

    def description(self) -> str:
        """One line that the C++ side prints for its own configuration too."""
        names = ",".join(f"{tag}={strategy}" for tag, strategy in sorted(self.strategies().items()))
        return (f"any={int(self.autoclose_on_any_tag)} same={int(self.autoclose_on_same_tag)} "
                f"tags={len(self.recognized())} strategies={zlib.crc32(names.encode()):08x}"
                + (" reading=1" if self.reading else ""))


@dataclass(frozen=True)
class Family:
    name: str
    parts: tuple[Part, ...]
    config: Config = field(default_factory=Config)
    # Said in the generated header, over the family.
    comment: str = ""

    def make(self, size: int) -> str:
        return "".join(_build(part, size) for part in self.parts)


def _bytes(share: tuple[int, int], size: int) -> int:
    return size * share[0] // share[1]


def _build(part: Part, size: int) -> str:
    if isinstance(part, Literal):
        return part.text
    want = _bytes(part.share, size)
    if isinstance(part, Repeat):
        return part.piece * -(-want // len(part.piece)) if want > 0 else ""
    out: list[str] = []
    made = i = 0
    while made < want:
        piece = f"{part.prefix}{i}{part.suffix}"
        out.append(piece)
        made += len(piece)
        i = i + 1 if part.wrap == 0 else (i + 1) % part.wrap
    return "".join(out)


HALF = (1, 2)


_READING = Config(reading=True)


def _no_autoclose(strategy: str) -> Config:
    return Config(autoclose_on_any_tag=False, autoclose_on_same_tag=False, strategy=strategy)


FAMILIES: tuple[Family, ...] = (
    Family("lt_without_gt", (Repeat("<"),)),
    Family("lt_space_without_gt", (Repeat("< "),)),
    Family("lt_name_without_gt", (Repeat("<a "),)),
    Family("lt_before_distant_gt", (Repeat("< "), Literal(">"))),
    Family("lt_before_far_slash_gt", (Repeat("<", HALF), Repeat(" ", HALF), Literal("/>"))),
    Family("open_then_unmatched_close", (Repeat("<note>", HALF), Repeat("</todo>", HALF)),
           _no_autoclose("forward_until_tag")),
    Family("forward_tags_one_line", (Repeat("<note>", HALF), Repeat("a", HALF)), _no_autoclose("forward_until_tag")),
    Family("next_token_no_letters", (Repeat("<note>", HALF), Repeat("-", HALF), Literal("a")),
           _no_autoclose("forward_next_token")),
    Family("next_token_long_run", (Repeat("<note>", HALF), Repeat("a", HALF)), _no_autoclose("forward_next_token")),
    Family("retro_tags_after_spaces", (Literal("a"), Repeat(" <cite>"))),
    Family("forward_tags_in_spaces", (Repeat("<note> "), Literal("a")), _no_autoclose("forward_until_tag")),
    Family("disjoint_spans", (Repeat("<note>x</note>"),)),
    Family("nested_spans", (Repeat("<note>x" * 16 + "</note>" * 16),), _no_autoclose("noop"),
           comment="Nesting is 16 deep: unbounded nesting makes the output itself (every segment listing every "
                   "enclosing span) grow with n squared."),
    Family("distinct_names_same_tag_autoclose", (Numbered("<t", ">", wrap=5000), Literal("w")),
           Config(autoclose_on_any_tag=False, strategy="forward_until_tag", numbered_tags=5000),
           comment="Every tag closes its namesake 5,000 tags deep, and the tags opened since the last <t0> are "
                   "still open at the end: the final w carries one annotation per tag on that stack. No text lies "
                   "between the tags, so the earlier spans are empty and the output stays small."),
    Family("many_attributes", (Literal("<note"), Numbered(" k", "=v"), Literal(">x"))),
    # A tag name that never ends: a stream asks about its `<` after every piece.
    Family("name_without_gt", (Literal("<"), Repeat("a"))),
    Family("name_after_text_without_gt", (Literal("a<b:"), Repeat("c"))),
    # Long lines as models write them, under the package's reading rules.
    Family("markers_in_text", (Repeat("a<cite/>"),), _READING),
    Family("retro_cite_per_word", (Repeat("word <cite>"),), _READING),
    Family("cited_sentences_one_line", (Repeat("The answer is here <cite src=a>x</cite>. "),), _READING),
    Family("closed_cites_one_line", (Repeat("<cite>w</cite> "),), _READING),
    Family("provisional_tags_one_paragraph", (Repeat("<note>a<cite/> "), Literal("</note>")), _READING,
           comment="Every note is auto-closed by the marker after it, provisionally until the paragraph ends; the "
                   "closing tag at the end takes the last one."),
    Family("provisional_tags_many_paragraphs", (Repeat("<note>a<cite/> b\n\n"),), _READING),
)

# Inputs whose output grows with the square of the input by definition: k
# nested spans over k pieces of text give about k²/2 annotation entries in
# all. A parse, .text, .segments and .markers must stay linear all the same;
# only reading every segment's annotations may not. Each comes with its size
# in bytes; the C++ header leaves them out.
def _names_bytes(count: int) -> int:
    return sum(len(f"<t{i}>x") for i in range(count))


_BOTH_OFF = Config(autoclose_on_any_tag=False, autoclose_on_same_tag=False)
QUADRATIC_OUTPUT: tuple[tuple[Family, int], ...] = (
    (Family("nested_notes_20k", (Repeat("<note>x"),), _BOTH_OFF), 20_000 * 7),
    (Family("nested_notes_40k", (Repeat("<note>x"),), _BOTH_OFF), 40_000 * 7),
    (Family("distinct_names_200k", (Numbered("<t", ">x"),),
            Config(autoclose_on_any_tag=False, numbered_tags=200_000)), _names_bytes(200_000)),
)


def family(name: str) -> Family:
    return next(f for f in FAMILIES + tuple(f for f, _ in QUADRATIC_OUTPUT) if f.name == name)


def digest(size: int) -> str:
    """One line per family: name, byte length and CRC-32 of its input at
    `size`, and its configuration. tagmire_core_bench --hostile_digest prints
    the same lines from the generated header."""
    lines = []
    for f in FAMILIES:
        data = f.make(size).encode()
        lines.append(f"{f.name} {len(data)} {zlib.crc32(data):08x} {f.config.description()}")
    return "\n".join(lines)


# --- the C++ header ---

def _cpp_string(text: str) -> str:
    out = []
    for ch in text:
        if ch in '\\"':
            out.append("\\" + ch)
        elif " " <= ch <= "~":
            out.append(ch)
        else:
            out.append("\\%03o" % ord(ch))
    return '"' + "".join(out) + '"'


def _cpp_part(part: Part) -> str:
    if isinstance(part, Literal):
        return f"literal({_cpp_string(part.text)})"
    if isinstance(part, Repeat):
        return f"repeat({_cpp_string(part.piece)}, {part.share[0]}, {part.share[1]})"
    return f"numbered({_cpp_string(part.prefix)}, {_cpp_string(part.suffix)}, {part.wrap}, {part.share[0]}, " \
           f"{part.share[1]})"


def _cpp_config(config: Config) -> str:
    """Designated initialisers for what differs from the defaults, in field order."""
    changed = []
    if not config.autoclose_on_any_tag:
        changed.append(".autoclose_on_any_tag = false")
    if not config.autoclose_on_same_tag:
        changed.append(".autoclose_on_same_tag = false")
    if config.reading:
        changed.append(".reading = true")
    if config.strategy:
        changed.append(f".strategy = RecoveryStrategy::{config.strategy}")
    elif changed:
        # Named, or GCC's -Wmissing-field-initializers flags the optional.
        changed.append(".strategy = std::nullopt")
    if config.numbered_tags:
        changed.append(f".numbered_tags = {config.numbered_tags}")
    return "{" + ", ".join(changed) + "}"


def _wrap_comment(text: str, indent: str) -> list[str]:
    lines, line = [], ""
    for word in text.split():
        if line and len(indent) + 3 + len(line) + 1 + len(word) > 110:
            lines.append(f"{indent}// {line}")
            line = word
        else:
            line = f"{line} {word}" if line else word
    return lines + ([f"{indent}// {line}"] if line else [])


def render_header() -> str:
    lines = [
        "// Generated by `python inputs/hostile_families.py --write` from inputs/hostile_families.py; do not edit.",
        "// The hostile input families, each with the configuration that exposes it, for the scaling run and",
        "// the core benchmarks. The parts and configurations are read by hostile_parts.h.",
        "#pragma once",
        "",
        "#include <vector>",
        "",
        '#include "hostile_parts.h"',
        "",
        "namespace bench {",
        "",
        "inline std::vector<HostileFamily> hostile_families() {",
        "  using types::RecoveryStrategy;",
        "  return {",
    ]
    for f in FAMILIES:
        lines += _wrap_comment(f.comment, "      ")
        parts = ", ".join(_cpp_part(p) for p in f.parts)
        lines.append(f'      family("{f.name}", {{{parts}}}, {_cpp_config(f.config)}),')
    lines += ["  };", "}", "", "}  // namespace bench", ""]
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--write", action="store_true", help=f"rewrite {HEADER.name}")
    parser.add_argument("--check", action="store_true", help=f"exit 1 if {HEADER.name} is stale")
    parser.add_argument("--digest", type=int, metavar="BYTES", help="print the digest of every family")
    args = parser.parse_args(argv)
    if args.write:
        HEADER.write_text(render_header())
    if args.check and HEADER.read_text() != render_header():
        print(f"{HEADER} is stale: run python inputs/hostile_families.py --write", file=sys.stderr)
        return 1
    if args.digest is not None:
        print(digest(args.digest))
    return 0


if __name__ == "__main__":
    sys.exit(main())
