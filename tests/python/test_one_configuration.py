"""One configuration gives one answer on every path: the module's parse of
its ParserConfig, tagmire.parse, parse_batch, a stream fed in pieces, and the
command line reading the configuration from a file. Names that differ only
in letter case, and names set twice, are where the paths used to part."""

import dataclasses
import json
import subprocess
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _tagmire_rs
import tagmire
from conftest import CONFIGS, joined_committed, shape
from tagmire import Config, StreamParser

PIECES = st.sampled_from([
    "<note>", "</note>", "<Note>", "</NOTE>", "<cite/>", "<CITE src=a/>", "<cite>", "</cite>", "<todo x>",
    "</todo>", "<b>", "</B>", "<x>", "<claim>", "<", ">", "</", " ", "\n", "word", "Word.", ",", "é", "🙂",
    "<![CDATA[", "]]>",
])
ANSWERS = st.lists(PIECES, max_size=30).map("".join)

# Keys colliding by letter case, set in an order the canonical sort would
# change, so a path that re-sorts or folds differently gives another answer.
COLLIDING = st.lists(
    st.tuples(st.sampled_from(["note", "Note", "NOTE", "cite", "Cite", "todo"]),
              st.sampled_from(["retro_line", "forward_until_tag", "forward_until_newline", "forward_next_token",
                               "noop"])),
    min_size=1, max_size=5)


@st.composite
def colliding_configs(draw):
    config = draw(CONFIGS)
    return dataclasses.replace(
        config,
        recognized_tags=config.recognized_tags | draw(st.sets(st.sampled_from(["Cite", "NOTE", "todo"]))),
        recovery_strategies=[*config.recovery_strategies, *draw(COLLIDING)])


def plain_attrs(attrs):
    # The module reads a bare key as True, the package and Arrow as None.
    return tuple((key, None if value is True else value) for key, value in attrs.items())


def record_shape(result):
    return (result.text,
            [(s.text, [(a.tag, plain_attrs(a.attrs)) for a in s.annotations]) for s in result.segments],
            [(m.pos, m.annotation.tag, plain_attrs(m.annotation.attrs)) for m in result.markers])


def row_shape(row):
    """A parse_batch or command-line row in the shape of record_shape."""
    text = row["text"]

    def attrs(pairs):
        return tuple(pairs)

    return (text,
            [(text[s["char_start"]:s["char_end"]], [(a["tag"], attrs(a["attrs"])) for a in s["annotations"]])
             for s in row["segments"]],
            [(m["pos"], m["tag"], attrs(m["attrs"])) for m in row["markers"]])


def json_shape(row):
    """A command-line JSON line, in the records' to_dict() shape, in the
    shape of record_shape."""
    return (row["text"],
            [(s["text"], [(a["tag"], tuple(a["attrs"].items())) for a in s["annotations"]]) for s in row["segments"]],
            [(m["pos"], m["annotation"]["tag"], tuple(m["annotation"]["attrs"].items())) for m in row["markers"]])


def streamed(text, config, preview):
    stream = StreamParser(config, preview=preview)
    return joined_committed([stream.feed(text[i:i + 3]) for i in range(0, len(text), 3)] + [stream.close()])


@given(st.lists(ANSWERS, min_size=1, max_size=6), colliding_configs())
@settings(max_examples=200, deadline=None)
def test_every_in_process_path_gives_the_modules_answer(texts, config):
    reference = [record_shape(_tagmire_rs.parse(text, config.to_parser_config())) for text in texts]
    assert [record_shape(tagmire.parse(text, config)) for text in texts] == reference
    assert [record_shape(tagmire.parse(text, config.to_parser_config())) for text in texts] == reference
    # A configuration read back from its own file is the same configuration.
    assert Config.from_mapping(json.loads(json.dumps(config.to_dict()))) == config
    for preview in (False, True):
        assert [streamed(text, config, preview) for text in texts] == [
            shape(tagmire.parse(text, config)) for text in texts]
    if _has_pyarrow():
        table = tagmire.parse_batch(texts, config, threads=2)
        assert [row_shape(row) for row in table.to_pylist()] == reference


def _has_pyarrow():
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        return False
    return True


@given(st.lists(ANSWERS, min_size=1, max_size=20), colliding_configs())
@settings(max_examples=12, deadline=None)
def test_the_command_line_reads_a_configuration_file_to_the_same_answer(tmp_path_factory, texts, config):
    pytest.importorskip("pyarrow")
    folder = tmp_path_factory.mktemp("cli")
    (folder / "config.json").write_text(json.dumps(config.to_dict()))
    (folder / "answers.jsonl").write_text("".join(json.dumps({"text": text}) + "\n" for text in texts))
    completed = subprocess.run(
        [sys.executable, "-m", "tagmire", "parse", str(folder / "answers.jsonl"), "--config",
         str(folder / "config.json")],
        capture_output=True, text=True, timeout=120, check=False)
    assert completed.returncode == 0, completed.stderr
    rows = [json.loads(line) for line in completed.stdout.splitlines()]
    assert [json_shape(row) for row in rows] == [
        record_shape(_tagmire_rs.parse(text, config.to_parser_config())) for text in texts]
