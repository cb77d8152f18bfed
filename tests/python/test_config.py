"""tagmire.Config: the presets, the round trips that carry a configuration
to other processes and files, and errors that name the offending key."""

import json
import pickle

import pytest

from _tagmire_rs import parse

import tagmire
from conftest import shape
from tagmire import Config, ConfigError, ParserConfig

SAMPLES = [
    "Water boils at 100 C.<cite>\n<note>verify altitude",
    "<CLAIM id=1>x</claim> <todo>y\n<risk>z <code>w <unknown>v</unknown>",
    "a <cite src=k/> <Note>b</NOTE> <note>c <note>d",
]


def module_preset(factory, same_tag):
    config = factory()
    config.set_autoclose_on_same_tag(same_tag)
    return config


@pytest.mark.parametrize(
    ("config", "preset"),
    [(Config.compat_default(), ParserConfig()), (Config.compat_cite(), ParserConfig.default_cite_config()),
     (Config(), module_preset(ParserConfig, False)), (Config.default(), module_preset(ParserConfig, False)),
     (Config.cite(), module_preset(ParserConfig.default_cite_config, False))],
)
def test_presets_parse_as_the_module_presets(config, preset):
    for text in SAMPLES:
        assert shape(parse(text, config.to_parser_config())) == shape(parse(text, preset))


def test_the_default_gives_each_open_cite_its_own_line():
    text = "Fact one<cite>.\nFact two<cite>.\nFact three."
    def cited(result):
        return [(s.text, len(s.annotations)) for s in result.segments if s.annotations]

    assert cited(parse(text, Config().to_parser_config())) == [("Fact one", 1), ("Fact two", 1)]
    assert cited(tagmire.parse(text)) == cited(tagmire.parse(text, Config())) == [("Fact one", 1), ("Fact two", 1)]
    # The module's own preset closes the first cite where the second begins,
    # so it takes the text after it.
    assert cited(parse(text)) == [(".\n", 1), ("Fact two", 2)]


@pytest.mark.parametrize("name", ["default", "cite", "compat_default", "compat_cite"])
def test_every_preset_has_a_name_files_can_use(name):
    assert Config.preset(name) == getattr(Config, name)() == Config.from_mapping({"preset": name})


@pytest.mark.parametrize(
    ("pairs", "expected"),
    [
        # Names that fold alike: the one given last wins, whatever the order
        # of names that do not.
        ([("Cite", "forward_until_newline")], "forward"),
        ([("cite", "noop"), ("CITE", "forward_until_newline")], "forward"),
        ([("CITE", "forward_until_newline"), ("cite", "noop")], "none"),
        ([("note", "noop"), ("Cite", "forward_until_newline"), ("cite", "retro_line")], "retro"),
    ],
)
def test_of_two_names_that_fold_alike_the_one_given_last_wins(pairs, expected):
    config = Config(recognized_tags=["Cite"], recovery_strategies=pairs)
    text = "ab<cite>cd\n"
    want = {"forward": [("cd", ["cite"])], "retro": [("ab", ["cite"])], "none": []}[expected]
    for parser_config in (config.to_parser_config(), pickle.loads(pickle.dumps(config)).to_parser_config()):
        got = [(s.text, [a.tag for a in s.annotations]) for s in parse(text, parser_config).segments if s.annotations]
        assert got == want
    assert Config(recognized_tags=["Cite"], recovery_strategies=[("x", "noop"), *pairs]) == Config(
        recognized_tags=["Cite"], recovery_strategies=[*pairs, ("x", "noop")])


def test_fields_are_kept_in_a_canonical_form():
    config = Config(recognized_tags=["b", "a", "a"], recovery_strategies={"b": "NOOP", "a": "Retro_Line"},
                    unknown_mode="PassThrough")
    assert config.recognized_tags == frozenset({"a", "b"})
    assert config.recovery_strategies == (("a", "retro_line"), ("b", "noop"))
    assert config.unknown_mode == "passthrough"
    assert config == Config(recognized_tags={"a", "b"}, recovery_strategies=[("b", "noop"), ("a", "retro_line")],
                            unknown_mode="passthrough")
    assert hash(config) == hash(Config(recognized_tags=("a", "b"), recovery_strategies={"a": "retro_line",
                                                                                        "b": "noop"},
                                       unknown_mode="passthrough"))
    with pytest.raises(AttributeError):
        config.unknown_mode = "strip"  # type: ignore[misc]


def test_every_field_reaches_the_parser():
    config = Config(recognized_tags=["claim"], recovery_strategies={"claim": "forward_next_token"},
                    unknown_mode="passthrough", autoclose_on_any_tag=False, autoclose_on_same_tag=False,
                    trim_punctuation=False, case_sensitive_tags=True)
    reference = ParserConfig()
    reference.set_recognized_tags(["claim"])
    reference.set_recovery_strategy("claim", "forward_next_token")
    reference.set_unknown_mode("passthrough")
    for setter in (reference.set_autoclose_on_any_tag, reference.set_autoclose_on_same_tag,
                   reference.set_trim_punctuation):
        setter(False)
    reference.set_case_sensitive_tags(True)
    for text in [*SAMPLES, "<claim>alpha beta <Claim>gamma <x>"]:
        assert shape(parse(text, config.to_parser_config())) == shape(parse(text, reference))


CUSTOM = Config(recognized_tags=["cite", "claim"], recovery_strategies={"claim": "noop"}, unknown_mode="strip",
                trim_punctuation=False)


def test_pickle_round_trip():
    assert pickle.loads(pickle.dumps(CUSTOM)) == CUSTOM


def test_json_and_toml_files_round_trip(tmp_path):
    json_file = tmp_path / "config.json"
    json_file.write_text(json.dumps(CUSTOM.to_dict()))
    toml_file = tmp_path / "config.toml"
    toml_file.write_text(
        'recognized_tags = ["cite", "claim"]\nunknown_mode = "strip"\ntrim_punctuation = false\n'
        'autoclose_on_any_tag = true\nautoclose_on_same_tag = false\ncase_sensitive_tags = false\n'
        '[recovery_strategies]\nclaim = "noop"\n')
    assert Config.from_file(json_file) == CUSTOM
    assert Config.from_file(str(toml_file)) == CUSTOM


def test_a_file_changes_only_what_it_names(tmp_path):
    path = tmp_path / "c.toml"
    path.write_text('preset = "cite"\ntrim_punctuation = false\n')
    assert Config.from_file(path) == Config(recognized_tags=["cite"], recovery_strategies={"cite": "retro_line"},
                                            trim_punctuation=False)
    assert Config.from_mapping({}) == Config.default()


@pytest.mark.parametrize(
    ("mapping", "message"),
    [
        ({"recognised_tags": ["cite"]}, "unknown key 'recognised_tags'"),
        ({"preset": "fancy"}, "preset: expected one of 'default', 'cite', 'compat_default', 'compat_cite', got 'fancy'"),
        ({"recognized_tags": "cite"}, "recognized_tags: expected a list of strings, got str"),
        ({"recognized_tags": ["cite", 3]}, "recognized_tags: expected strings, got int"),
        ({"recovery_strategies": ["cite"]}, "recovery_strategies: expected a table"),
        ({"recovery_strategies": {"claim": "forward"}}, "recovery_strategies.claim: unknown recovery strategy "
                                                        "'forward'"),
        ({"recovery_strategies": {"claim": 1}}, "recovery_strategies.claim: expected a string, got int"),
        ({"unknown_mode": "drop"}, "unknown_mode: unknown mode 'drop' (expected one of strip, passthrough, "
                                   "treat_as_text)"),
        # ASCII folding only, as the module's setters: a dotted capital I is no 'i'.
        ({"unknown_mode": "str\u0130p"}, "unknown_mode: unknown"),
        ({"trim_punctuation": "yes"}, "trim_punctuation: expected true or false, got str"),
        ({"case_sensitive_tags": 1}, "case_sensitive_tags: expected true or false, got int"),
    ],
)
def test_mapping_errors_name_the_key(mapping, message):
    with pytest.raises(ConfigError) as raised:
        Config.from_mapping(mapping)
    assert message in str(raised.value)


@pytest.mark.parametrize(
    ("name", "content", "message"),
    [
        ("c.toml", "trim_punctuation = maybe\n", "c.toml: not valid TOML"),
        ("c.json", "{\"trim_punctuation\": tru}", "c.json: not valid JSON"),
        ("c.json", "[1, 2]", "c.json: expected a table of settings, got list"),
        ("c.toml", "[recovery_strategies]\nnote = \"sideways\"\n", "c.toml: recovery_strategies.note: unknown"),
        ("c.yaml", "a: b\n", "c.yaml: a configuration file must end in .toml or .json"),
        ("missing.toml", None, "missing.toml: No such file or directory"),
    ],
)
def test_file_errors_name_the_file_and_the_key(tmp_path, name, content, message):
    path = tmp_path / name
    if content is not None:
        path.write_text(content)
    with pytest.raises(ConfigError) as raised:
        Config.from_file(path)
    assert message in str(raised.value)
    assert str(raised.value).startswith(str(path))
