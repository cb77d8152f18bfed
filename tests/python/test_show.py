"""`tagmire show`, run as users run it: the bracket form wherever colour is
off (a pipe, NO_COLOR, TERM=dumb, no rich) and colour wherever it is asked
for; every stretch and marker numbered and tied to its attributes in the
legend; a tag's colour the same in every answer; and nothing from the data
reaching the terminal as a control sequence, with colour or without."""

import io
import json
import re
import subprocess
import sys

import pytest
from hypothesis import given, settings

from conftest import CONFIGS, TEXTS, family_config, run_on_terminal
from inputs import hostile_families

pytest.importorskip("pyarrow")

import tagmire  # noqa: E402
from tagmire import Config, _cli, _display, _show, parse_batch  # noqa: E402
from tagmire._terminal import printable  # noqa: E402

ANSWERS = [
    "Water boils at 100 C.<cite>\n<note>verify altitude",
    "<cite src=b page=12>Alpha beta<cite src=a/> gamma delta</cite>. <note>Check</note> <claim id=1 checked>"
    "<todo>this</todo></claim> later<cite src=\"the wiki\"/>",
    "<note>Café</note> <cite src=x>b</cite>",
    "<cite src=x>b</cite> <todo>c</todo> <note>Café</note>",
    None,
    "no tags at all",
]
# What a terminal acts on: C0 and C1 controls but line feed and tab,
# DEL, and the bidirectional controls.
STEERING = re.compile("[\x00-\x08\x0b-\x1f\x7f-\x9f\u061c\u200e\u200f\u2028-\u202e\u2066-\u2069]")
# rich's colours: SGR sequences and nothing else.
SGR = re.compile("\x1b\\[[0-9;]*m")


@pytest.fixture
def answers(tmp_path):
    (tmp_path / "answers.jsonl").write_text("".join(json.dumps({"text": t}) + "\n" for t in ANSWERS))
    # Tags that nest as written, each closed by its own closing tag.
    (tmp_path / "nested.toml").write_text('preset = "default"\nautoclose_on_any_tag = false\n')
    return tmp_path


@pytest.fixture
def show(capsys, monkeypatch):
    """The command's standard output, run in this process (standard output
    is not a terminal) from `folder` with `env` added to the environment."""

    def run(folder, *args, env=None):
        monkeypatch.chdir(folder)
        for name, value in (env or {}).items():
            monkeypatch.setenv(name, value)
        status = _cli.main(["show", *map(str, args)])
        out, err = capsys.readouterr()
        assert (status, err) == (0, ""), err
        return out

    return run


def test_the_bracket_form_numbers_each_stretch_and_marker_and_the_legend_ties_attributes_to_them(answers, show):
    assert show(answers, "answers.jsonl", "--row", "1", "--config", "nested.toml") == (
        "answers.jsonl:2\n"
        "[Alpha beta{@cite src=a}¹ gamma delta]{cite src=b page=12}². [Check]{note}³ "
        "[this]{todo; claim id=1 checked}⁴ later{@cite src=\"the wiki\"}⁵\n"
        "\n"
        "legend:\n"
        "  1  @cite src=a\n"
        "  2  cite src=b page=12  \"Alpha beta gamma delta\"\n"
        "  3  note  \"Check\"\n"
        "  4  todo; claim id=1 checked  \"this\"\n"
        "  5  @cite src=\"the wiki\"\n")
    assert show(answers, "answers.jsonl", "--row", "4") == "answers.jsonl:5: no answer (null)\n"
    assert show(answers, "answers.jsonl", "--row", "5") == "answers.jsonl:6\nno tags at all\n\nlegend:\n  no annotations\n"


def coloured(shown):
    """Whether the output is the coloured form: colour codes, and none of
    the bracket form's marking."""
    marked = "[Water boils at 100 C]{cite}" in shown
    assert marked != ("\x1b[" in shown), shown
    return not marked


@pytest.mark.parametrize("args, env, expected", [
    ([], {}, False),
    ([], {"FORCE_COLOR": "1"}, True),
    ([], {"FORCE_COLOR": ""}, False),
    ([], {"FORCE_COLOR": "1", "NO_COLOR": "1"}, False),
    (["--color", "always"], {"NO_COLOR": "1"}, True),
    (["--color", "always"], {"TERM": "dumb"}, True),
    (["--color", "never"], {"FORCE_COLOR": "1"}, False),
])
def test_colour_off_a_terminal_follows_the_option_then_the_environment(answers, show, args, env, expected):
    if expected:
        pytest.importorskip("rich")
    environment = {"NO_COLOR": "", "FORCE_COLOR": "", **env}
    assert coloured(show(answers, "answers.jsonl", *args, env=environment)) == expected


@pytest.mark.parametrize("args, env, expected", [
    ([], {}, True),
    ([], {"TERM": "dumb"}, False),
    ([], {"NO_COLOR": "1"}, False),
    (["--color", "never"], {}, False),
    (["--color", "always"], {"TERM": "dumb", "NO_COLOR": "1"}, True),
])
def test_colour_on_a_terminal_unless_it_is_dumb_or_refused(answers, args, env, expected):
    pytest.importorskip("rich")
    status, shown = run_on_terminal(["show", "answers.jsonl", *args], answers, stdout_too=True,
                                    env={"NO_COLOR": "", "FORCE_COLOR": "", **env})
    assert status == 0
    assert coloured(shown.replace("\r\n", "\n")) == expected


def test_without_rich_colour_asked_for_falls_back_to_the_bracket_form(answers):
    code = "import sys; sys.modules['rich'] = None; from tagmire._cli import main; sys.exit(main())"
    completed = subprocess.run([sys.executable, "-c", code, "show", "answers.jsonl", "--color", "always"],
                               cwd=answers, capture_output=True, timeout=300, check=True)
    assert not coloured(completed.stdout.decode())


def colour_of_stretch(shown, text):
    """The SGR colour drawn on `text`."""
    return re.search(f"\x1b\\[([0-9;]*)m{re.escape(text)}\x1b\\[0m", shown).group(1)


def test_a_tag_keeps_its_colour_from_answer_to_answer(answers, show):
    pytest.importorskip("rich")
    first, second = (show(answers, "answers.jsonl", "--row", row, "--color", "always") for row in ("2", "3"))
    assert colour_of_stretch(first, "Café") == colour_of_stretch(second, "Café")
    assert colour_of_stretch(first, "b") == colour_of_stretch(second, "b")
    assert len({colour_of_stretch(first, "Café"), colour_of_stretch(first, "b"), colour_of_stretch(second, "c")}) == 3
    legend = first.split("legend:")[1]
    assert colour_of_stretch(legend, "note") == colour_of_stretch(first, "Café")


HOSTILE = {
    "screen": ("\x1b[2J\x1b[H", "\\x1b[2J\\x1b[H"),
    "title": ("\x1b]0;owned\x07", "\\x1b]0;owned\\x07"),
    "link": ("\x1b]8;;https://e.x\x07here\x1b]8;;\x07", "\\x1b]8;;https://e.x\\x07here\\x1b]8;;\\x07"),
    "c1": ("\x9b31m", "\\x9b31m"),
    "bidi": ("\u202eevil", "\\u202eevil"),
}


@pytest.mark.parametrize("colour", ["always", "never"])
@pytest.mark.parametrize("name", HOSTILE)
def test_control_sequences_from_the_data_are_shown_escaped(tmp_path, show, name, colour):
    if colour == "always":
        pytest.importorskip("rich")
    raw, escaped = HOSTILE[name]
    answer = f"a {raw} <cite src='{raw}'>in {raw}</cite>\n<note>b{raw}c<todo k='{raw}'/></note> {raw}"
    # The file's name is data too: it is the row's location line.
    path = tmp_path / f"x{raw.replace('/', '')}.jsonl"
    path.write_text(json.dumps({"text": answer}) + "\n")
    shown = SGR.sub("", show(tmp_path, path.name, "--color", colour))
    assert not STEERING.search(shown), ascii(shown)
    where, text, *rest = shown.split("\n")
    assert where == f"{printable(path.name)}:1"
    assert text.startswith(f"a {escaped}")  # the answer's own line feed stays one
    # Four times in the text, twice in attributes (in the text without
    # colour, in the legend with it), twice in the legend's excerpts.
    assert "\n".join([text, *rest]).count(escaped) == {"always": 8, "never": 10}[colour]


def test_hostile_families_show_every_stretch_and_marker(tmp_path, show):
    for family in hostile_families.FAMILIES:
        text, mapping = family.make(3000), family_config(family)
        (tmp_path / "a.jsonl").write_text(json.dumps({"text": text}) + "\n")
        (tmp_path / "config.json").write_text(json.dumps(mapping))
        [row] = parse_batch([text], Config.from_mapping(mapping)).to_pylist()
        numbered = sum(1 for s in row["segments"] if s["annotations"]) + len(row["markers"])
        for colour in ("never", "always"):
            shown = SGR.sub("", show(tmp_path, "a.jsonl", "--config", "config.json", "--color", colour))
            assert len(shown.split("\nlegend:\n")[1].splitlines()) == max(numbered, 1), family.name


@given(TEXTS, CONFIGS)
@settings(max_examples=100, deadline=None)
def test_random_answers_read_alike_from_rows_and_records_and_show_safely(text, config):
    # show reads parse_batch's rows, the notebook reads the records: the walk
    # over either must give the same events.
    [row] = parse_batch([text], config).to_pylist()
    assert list(_display.walk_row(row["text"], row["segments"], row["markers"])) == list(
        _display.walk_record(tagmire.parse(text, config)))
    numbered = sum(1 for s in row["segments"] if s["annotations"]) + len(row["markers"])
    for colour in (False, True):
        out = io.StringIO()
        _show.show(row["text"], row["segments"], row["markers"], "row 0", out, colour=colour)
        shown = SGR.sub("", out.getvalue())
        assert not STEERING.search(shown)
        assert len(shown.rsplit("\nlegend:\n", 1)[1].splitlines()) == max(numbered, 1)
