"""ParserConfig: presets, setters, keyword matching, errors, access state."""

import collections

import pytest

from _tagmire_rs import ParserConfig, parse
from conftest import CallbackSequence, cannot_convert, observed, tagged_segments


def annotated(text, config):
    return tagged_segments(parse(text, config))


def test_constructor_builds_the_default_preset():
    assert observed(ParserConfig()) == observed(ParserConfig.default_llm_friendly_config())
    assert observed(ParserConfig()) == observed(None)


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [((1,), {}), ((), {"tags": []}), ((None,), {"x": 1})],
)
def test_constructor_takes_no_arguments(args, kwargs):
    with pytest.raises(TypeError):
        ParserConfig(*args, **kwargs)


@pytest.mark.parametrize("preset", ["default_llm_friendly_config", "default_cite_config"])
def test_presets_called_on_an_instance_return_a_new_plain_object(preset):
    config = ParserConfig()
    config.set_recognized_tags([])
    made = getattr(config, preset)()
    assert type(made) is ParserConfig
    assert made is not config
    assert annotated("<cite>x</cite>", config) == [("x", [])]  # the instance is left as it was
    assert annotated("<cite>x</cite>", made) == [("x", ["cite"])]


def test_cite_preset_recognises_cite_only():
    config = ParserConfig.default_cite_config()
    assert annotated("<cite>a</cite><note>b</note>", config) == [("a", ["cite"]), ("b", [])]


@pytest.mark.parametrize(
    ("mode", "text"),
    [
        ("strip", "a"),
        ("PassThrough", "<x>a</x>"),
        ("TREAT_AS_TEXT", "<x>a</x>"),
    ],
)
def test_unknown_mode_keywords_fold_ascii_case(mode, text):
    config = ParserConfig()
    config.set_unknown_mode(mode)
    assert parse("<x>a</x>", config).text == text


@pytest.mark.parametrize(
    ("strategy", "segments"),
    [
        ("retro_line", [("abc", ["cite"])]),
        ("NOOP", [("abc", [])]),
        ("Forward_Next_Token", [("abc", [])]),
    ],
)
def test_recovery_strategy_keywords_fold_ascii_case(strategy, segments):
    config = ParserConfig()
    config.set_recovery_strategy(strategy=strategy, tag="cite")
    assert annotated("abc<cite>", config) == segments


@pytest.mark.parametrize(
    ("setter", "args", "error", "message"),
    [
        ("set_unknown_mode", ("Drop",), ValueError, "unknown mode 'drop'"),
        ("set_unknown_mode", (" strip",), ValueError, "unknown mode ' strip'"),
        ("set_unknown_mode", ("stri",), ValueError, "unknown mode 'stri'"),
        ("set_unknown_mode", ("ÉTRIP",), ValueError, "unknown mode 'Étrip'"),
        ("set_unknown_mode", (1,), TypeError, cannot_convert("mode", 1, "PyString")),
        ("set_recovery_strategy", ("cite", "Retro-Line"), ValueError, "unknown recovery strategy 'retro-line'"),
        ("set_recovery_strategy", ("cite", ""), ValueError, "unknown recovery strategy ''"),
        ("set_recovery_strategy", ("cite", "noop\0"), ValueError, "unknown recovery strategy 'noop\0'"),
        ("set_recovery_strategy", (b"cite", "noop"), TypeError, cannot_convert("tag", b"cite", "PyString")),
        ("set_recovery_strategy", ("cite", None), TypeError, cannot_convert("strategy", None, "PyString")),
        # The tag is converted before the strategy is looked at.
        ("set_recovery_strategy", (1, "bogus"), TypeError, cannot_convert("tag", 1, "PyString")),
        ("set_recognized_tags", ("cite",), TypeError, "argument 'tags': Can't extract `str` to `Vec`"),
        ("set_recognized_tags", ({"cite"},), TypeError, cannot_convert("tags", {"cite"}, "Sequence")),
        ("set_recognized_tags", ({"cite": 1},), TypeError, cannot_convert("tags", {"cite": 1}, "Sequence")),
        ("set_recognized_tags", ((t for t in "ab"),), TypeError, cannot_convert("tags", (t for t in "ab"), "Sequence")),
        ("set_recognized_tags", (3,), TypeError, cannot_convert("tags", 3, "Sequence")),
        ("set_recognized_tags", (["note", b"cite"],), TypeError, cannot_convert("tags", b"cite", "PyString")),
        ("set_trim_punctuation", (1,), TypeError, cannot_convert("val", 1, "PyBool")),
        ("set_case_sensitive_tags", (None,), TypeError, cannot_convert("val", None, "PyBool")),
        ("set_autoclose_on_any_tag", ("true",), TypeError, cannot_convert("val", "true", "PyBool")),
    ],
)
def test_setter_errors_leave_the_config_unchanged(setter, args, error, message):
    config = ParserConfig()
    with pytest.raises(error) as caught:
        getattr(config, setter)(*args)
    assert str(caught.value) == message
    assert observed(config) == observed(ParserConfig())


@pytest.mark.parametrize(
    ("setter", "args", "kwargs"),
    [
        ("set_unknown_mode", (), {}),
        ("set_unknown_mode", ("strip", "strip"), {}),
        ("set_unknown_mode", (), {"kind": "strip"}),
        ("set_recovery_strategy", ("cite",), {}),
        ("set_recovery_strategy", ("cite",), {"tag": "cite", "strategy": "noop"}),
        ("set_recognized_tags", (), {"tag": []}),
        ("set_trim_punctuation", (True, False), {}),
        ("default_cite_config", (1,), {}),
    ],
)
def test_setter_argument_count_and_names_are_checked(setter, args, kwargs):
    with pytest.raises(TypeError):
        getattr(ParserConfig(), setter)(*args, **kwargs)


def test_lone_surrogate_in_a_tag_name_raises_the_encoding_error():
    config = ParserConfig()
    with pytest.raises(UnicodeEncodeError):
        config.set_recognized_tags(["cite", "\udc80"])
    with pytest.raises(UnicodeEncodeError):
        config.set_recovery_strategy("\udc80", "noop")
    assert observed(config) == observed(ParserConfig())


@pytest.mark.parametrize(
    "tags",
    [["claim", "claim"], ("claim",), collections.UserList(["claim"]), ["CLAIM", "nope"]],
    ids=["duplicates", "tuple", "user-list", "capitals"],
)
def test_recognized_tags_are_replaced_as_a_whole(tags):
    config = ParserConfig()
    config.set_recognized_tags(tags)
    assert annotated("<claim>a</claim><cite>b</cite>", config) == [("a", ["claim"]), ("b", [])]


def test_empty_recognized_tags_make_every_tag_unknown():
    config = ParserConfig()
    config.set_recognized_tags([])
    config.set_unknown_mode("passthrough")
    assert parse("<cite>a</cite>", config).text == "<cite>a</cite>"


def test_tag_names_are_stored_verbatim_and_matched_per_case_setting():
    config = ParserConfig()
    config.set_recognized_tags(["Claim"])
    text = "<claim>a</claim><CLAIM>b</CLAIM><Claim>c</Claim>"
    assert annotated(text, config) == [("a", ["claim"]), ("b", ["CLAIM"]), ("c", ["Claim"])]
    config.set_case_sensitive_tags(True)
    assert annotated(text, config) == [("ab", []), ("c", ["Claim"])]


def test_strategies_and_recognised_tags_are_independent():
    config = ParserConfig()
    config.set_recovery_strategy("risk", "noop")
    config.set_recovery_strategy("extra", "noop")
    config.set_recognized_tags(["cite", "risk"])
    # risk keeps the strategy set before the tag set was replaced.
    assert annotated("abc<risk>", config) == [("abc", [])]
    # extra got a strategy but was never recognised.
    assert annotated("a<extra>b</extra>", config) == [("ab", [])]


def test_recovery_strategy_accepts_an_empty_tag():
    config = ParserConfig()
    config.set_recovery_strategy("", "noop")
    assert observed(config) == observed(ParserConfig())


@pytest.mark.parametrize(
    ("setter", "text", "on", "off"),
    [
        ("set_trim_punctuation", "Water boils.<cite>", [("Water boils", ["cite"]), (".", [])],
         [("Water boils.", ["cite"])]),
        ("set_case_sensitive_tags", "<Cite>a</Cite>", [("a", [])], [("a", ["Cite"])]),
        ("set_autoclose_on_any_tag", "<note>a<todo>b", [("a", ["note"]), ("b", ["todo"])],
         [("a", ["note"]), ("b", ["note", "todo"])]),
    ],
)
def test_flag_setters_assign_rather_than_toggle(setter, text, on, off):
    config = ParserConfig()
    for value, expected in [(True, on), (True, on), (False, off), (False, off), (True, on)]:
        getattr(config, setter)(value)
        assert [(t, sorted(tags)) for t, tags in annotated(text, config)] == expected, value


def test_flag_setters_accept_the_val_keyword():
    config = ParserConfig()
    config.set_trim_punctuation(val=False)
    assert annotated("Water boils.<cite>", config) == [("Water boils.", ["cite"])]


def test_numpy_bool_is_accepted_as_a_flag():
    numpy = pytest.importorskip("numpy")
    config = ParserConfig()
    config.set_trim_punctuation(numpy.bool_(False))
    assert annotated("Water boils.<cite>", config) == [("Water boils.", ["cite"])]
    config.set_trim_punctuation(numpy.array([True])[0])
    assert annotated("Water boils.<cite>", config) == [("Water boils", ["cite"]), (".", [])]
    with pytest.raises(TypeError, match="'int64' object cannot be converted to 'PyBool'"):
        config.set_trim_punctuation(numpy.int64(1))


def record_errors(config, errors):
    def callback():
        for attempt in (lambda: config.set_trim_punctuation(False), lambda: parse("x", config)):
            try:
                attempt()
            except RuntimeError as error:
                errors.append(str(error))

    return callback


@pytest.mark.parametrize("hook", ["on_len", "on_item"])
def test_config_in_use_by_a_setter_refuses_other_access(hook):
    config = ParserConfig()
    errors = []
    config.set_recognized_tags(CallbackSequence(["claim"], **{hook: record_errors(config, errors)}))
    assert errors[:2] == ["Already borrowed", "Already mutably borrowed"]
    # The setter went through, and the object is free again afterwards.
    assert annotated("<claim>a</claim><cite>b</cite>", config) == [("a", ["claim"]), ("b", [])]
    config.set_trim_punctuation(False)
    assert annotated("Water boils.<cite>", config) == [("Water boils.", [])]


def test_errors_raised_by_the_sequence_pass_through():
    config = ParserConfig()

    def fail():
        config.set_unknown_mode("passthrough")  # refused: RuntimeError, no prefix

    with pytest.raises(RuntimeError) as caught:
        config.set_recognized_tags(CallbackSequence(["claim"], on_item=fail))
    assert str(caught.value) == "Already borrowed"

    def type_error():
        raise TypeError("bad item")

    with pytest.raises(TypeError) as caught:
        config.set_recognized_tags(CallbackSequence(["claim"], on_item=type_error))
    assert str(caught.value) == "argument 'tags': bad item"
    assert observed(config) == observed(ParserConfig())
    config.set_recognized_tags(["claim"])  # free again
