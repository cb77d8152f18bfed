"""Writes the seed corpus of the fuzz targets: realistic and hostile inputs,
each behind the configuration header that fuzz_support.h reads.

    python fuzz/make_corpus.py    # rewrites fuzz/corpus/<target>/seed-*
"""

import pathlib

CORPUS = pathlib.Path(__file__).resolve().parent / "corpus"
TARGETS = ["fuzz_parse", "fuzz_reference", "fuzz_stream"]

# kNames of tests/cpp/checks.h, and the order in which draw_config makes
# its choices.
NAMES = ["cite", "note", "t", "o", "n", "a", "T", "NOTE", "x-y", "x y", "é", "1a", ""]
STRATEGIES = ["retro_line", "forward_until_tag", "forward_until_newline", "forward_next_token", "noop"]
PRESETS = ["default", "cite", "none"]
MODES = ["strip", "passthrough", "treat_as_text"]  # offsets from the preset's strip
FLIPS = {"any": 1, "same": 2, "trim": 4, "case": 8}
HEADER_BYTES = 32  # kConfigBytes


def header(preset="default", mode="strip", flips=(), recognise=(), strategies=None):
    """The header bytes. FuzzedDataProvider reads one byte per choice, from
    the end: preset, mode, flips, then whether to recognise each name, then
    each name's strategy (0 none, 1..5 one of STRATEGIES)."""
    choices = [PRESETS.index(preset), MODES.index(mode), sum(FLIPS[flip] for flip in flips)]
    choices += [1 if name in recognise else 0 for name in NAMES]
    choices += [STRATEGIES.index((strategies or {})[name]) + 1 if name in (strategies or {}) else 0 for name in NAMES]
    data = bytearray(HEADER_BYTES)
    for i, choice in enumerate(choices):
        data[HEADER_BYTES - 1 - i] = choice
    return bytes(data)


NO_AUTOCLOSE = {"flips": ("any", "same")}
FORWARD_TOKEN = {"strategies": {"note": "forward_next_token", "cite": "forward_next_token"}}

SEEDS = {
    # Prose as models write it.
    "worked-example": ({}, "Water boils at 100 C.<cite>\n<note>verify altitude"),
    "marker": ({}, "Paris is the capital<cite src=wiki/> of France."),
    "explicit-spans": ({}, "Intro. <claim id=3>Rates rose</claim> and <risk>may fall</risk>.\n<todo/>"),
    "misnested": ({}, "<note>a<cite>b</note>c</cite> d</note>"),
    "case-mix": ({}, "<CITE>x</cite> <Note>y</NOTE> <cItE/>"),
    "case-sensitive": ({"flips": ("case",)}, "<Cite>x</Cite> <cite>y</cite>"),
    "unknown-kept": ({"mode": "passthrough"}, "a <b> c </b> <x y=1/> <cite>d"),
    "unknown-as-text": ({"mode": "treat_as_text"}, "<span>s</span><note>n"),
    "cite-preset": ({"preset": "cite"}, "<note>not a tag</note><cite>yes"),
    "no-trim": ({"flips": ("trim",)}, "Water boils.<cite> ... <note>  !x!  "),
    "next-token": ({**FORWARD_TOKEN, **NO_AUTOCLOSE}, "<note> -- <cite>word, other\n<note>!?"),
    "newline-strategies": (
        {"strategies": {"note": "forward_until_newline", "cite": "noop"}},
        "line one<note> tail\nline two<cite>\n",
    ),
    "custom-names": (
        {"preset": "none", "recognise": ("a", "b", "A", "x-y", "x y", "é", "1a", ""),
         "strategies": {"a": "retro_line", "b": "forward_until_tag", "x-y": "noop"}},
        "<a>1</a><b>2<x-y/><A>3</B> <x y>4 <é>5 <1a>6",
    ),
    "strategy-collision": (
        {"recognise": ("Cite", "NOTE"), "strategies": {"cite": "noop", "Cite": "forward_until_tag"}},
        "x<cite>y\n<note>z",
    ),
    "attributes": ({}, "<note id=1 x='a b' y=\"c\" z k=v w= / q=\"open><cite a=x/y b=/p/q/>"),
    "attribute-quirks": ({}, "<a x='it's'><cite x= y=1 x=2 X=3 1x=2 data-id=7 xml:lang=en/>"),
    "cdata": ({}, "x<![CDATA[<cite>]]>y<![CDATA[]]>z<![cdata[<note>]]><![CDATA[open"),
    "not-tags": ({}, "<> < > </> </ > a < b <3 <!-- c --> <?xml v?> <!DOCTYPE x> x <b <c> y"),
    "unicode": ({}, "é<cite/>naïve<naïve> \u00a0\u2028<note>\u3000中文🙂\u0301.\u2029<cite>"),
    "line-breaks": ({}, "a\r\nb<cite>\r\n<note>c\u0085d\n\n<todo>"),
    # Hostile shapes, short enough for the reference parser.
    "lt-without-gt": ({}, "<" * 300),
    "lt-space-then-gt": ({}, "< " * 200 + ">"),
    "lt-name-without-gt": ({}, "<a " * 200),
    "deep-nesting": (NO_AUTOCLOSE, "<note>" * 300 + "x" + "</note>" * 300),
    "unmatched-closes": (NO_AUTOCLOSE, "</note>" * 300 + "x"),
    "nested-with-text": (NO_AUTOCLOSE, "<note>x" * 60 + "</note>" * 60),
    "many-attributes": ({}, "<note " + " ".join(f"k{i}=v{i}" for i in range(300)) + ">x"),
    "repeated-attribute": ({}, "<cite " + "k=1 " * 300 + "/>"),
    "spaces-then-tags": ({}, "a" + " <cite>" * 200),
    "whitespace-in-tag": ({}, "<note" + "\u3000" * 100 + "/" + " " * 100 + ">x"),
    "empty": ({}, ""),
}


def main():
    for target in TARGETS:
        folder = CORPUS / target
        folder.mkdir(parents=True, exist_ok=True)
        for old in folder.glob("seed-*"):
            old.unlink()
        for name, (options, text) in SEEDS.items():
            (folder / f"seed-{name}").write_bytes(header(**options) + text.encode())
        # Not UTF-8: the core must take any bytes.
        (folder / "seed-invalid-utf8").write_bytes(header() + b"\xff<cite>\xc3<note \xe2\x80>\xed\xa0\x80x\xf4\x90")
        (folder / "seed-short-header").write_bytes(b"\x00\x01")
        # Stray bytes that a stripped tag joins into one character.
        (folder / "seed-stray-bytes-joined").write_bytes(
            header(**FORWARD_TOKEN, **NO_AUTOCLOSE) + b"<note>\xe6<e>\x8b\x9a")


if __name__ == "__main__":
    main()
