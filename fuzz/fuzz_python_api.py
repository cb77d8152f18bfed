"""Fuzzes the Python surface of _tagmire_rs with atheris: random calls of
parse and of every ParserConfig method, with arguments of random types, in
random call forms. A model of the configuration predicts each outcome: the
exact exception and message, or success. After a failed call the object must
be as before, which a parse checks against one made from the model.

    pip install atheris
    python fuzz/fuzz_python_api.py -max_total_time=60 -timeout=30 [corpus-dir]
"""

import pathlib
import sys

import atheris

import _tagmire_rs
from _tagmire_rs import ParserConfig, parse

# The test helpers, so that the fuzzer and the tests build arguments, expect
# errors and read results the same way.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "python"))
from conftest import (  # noqa: E402
    RECOVERY_STRATEGIES,
    UNKNOWN_MODES,
    CallbackSequence,
    Text,
    cannot_convert,
    check_result,
    encoding_error,
    fake_numpy_bool,
    refused_while_busy,
    shape,
)

DEFAULT_TAGS = {"cite", "note", "todo", "claim", "risk", "code"}
DEFAULT_STRATEGIES = {"cite": "retro_line", **{t: "forward_until_tag" for t in DEFAULT_TAGS - {"cite"}}}
NAMES = ["cite", "note", "Cite", "NOTE", "todo", "a", "b", "x-y", "x y", "", "é", "ci\0te"]
KEYWORDS = UNKNOWN_MODES + RECOVERY_STRATEGIES + [
    "PassThrough", "NOOP", "Retro_Line", "retro-line", " strip", "drop", "ÉTRIP", ""]
PIECES = [
    "<cite>", "</cite>", "<cite/>", "<note>", "</note>", "<Note id=1 x='a b' y>", "<todo/>", "<a>", "</a>",
    "<b k=v/>", "<x-y>", "<CITE>", "< ", ">", "/", "<![CDATA[", "]]>", "\n", " ", ".", ",", "é", "\u00a0",
    "\u2028", "🙂", "word", "42", "'", '"', "<", "</", "/>",
]


def ascii_folded(text):
    return "".join(chr(ord(c) + 32) if "A" <= c <= "Z" else c for c in text)


class Model:
    """What a ParserConfig object should hold."""

    def __init__(self, cite=False):
        self.cite = cite
        self.tags = {"cite"} if cite else set(DEFAULT_TAGS)
        self.strategies = {"cite": "retro_line"} if cite else dict(DEFAULT_STRATEGIES)
        self.flags = {"trim_punctuation": True, "autoclose_on_any_tag": True, "autoclose_on_same_tag": True,
                      "case_sensitive_tags": False}
        self.mode = "strip"

    def set_strategy(self, tag, strategy):
        """A name set again moves to the end: of two names that fold
        together, the one set last wins."""
        self.strategies.pop(tag, None)
        self.strategies[tag] = strategy

    def build(self):
        """A fresh object holding the same record, made from the same preset,
        since no call removes an entry from the strategy map; setting every
        entry again in order gives the same order."""
        config = ParserConfig.default_cite_config() if self.cite else ParserConfig()
        config.set_recognized_tags(sorted(self.tags))
        for tag, strategy in self.strategies.items():
            config.set_recovery_strategy(tag, strategy)
        config.set_unknown_mode(self.mode)
        for name, value in self.flags.items():
            getattr(config, "set_" + name)(value)
        return config


# --- argument generation -------------------------------------------------


def text_value(fdp):
    if fdp.ConsumeBool():
        return fdp.PickValueInList(NAMES + KEYWORDS)
    if fdp.ConsumeBool():
        return ascii_swapcase(fdp, fdp.PickValueInList(KEYWORDS))
    return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 12))  # may hold lone surrogates


def ascii_swapcase(fdp, text):
    return "".join(c.upper() if fdp.ConsumeBool() else c for c in text)


def any_value(fdp, text, depth=0):
    choice = fdp.ConsumeIntInRange(0, 17)
    # A sequence holds another value; bound the nesting so a long run of the
    # same choice cannot exhaust the harness's own stack.
    if choice <= 5 or (choice == 15 and depth >= 4):
        return text(fdp)
    return [
        lambda: None, lambda: fdp.ConsumeBool(), lambda: fdp.ConsumeIntInRange(-2, 2), lambda: 1.5,
        lambda: fdp.ConsumeBytes(3), lambda: [text(fdp) for _ in range(fdp.ConsumeIntInRange(0, 3))],
        lambda: tuple(text(fdp) for _ in range(fdp.ConsumeIntInRange(0, 3))),
        lambda: {text(fdp)}, lambda: {"k": 1}, lambda: CallbackSequence([any_value(fdp, text_value, depth + 1)]),
        lambda: Text(text(fdp)), lambda: fake_numpy_bool(fdp.ConsumeBool()),
    ][choice - 6]()


def tags_value(fdp, harness):
    choice = fdp.ConsumeIntInRange(0, 4)
    items = [fdp.PickValueInList(NAMES) if fdp.ConsumeBool() else any_value(fdp, text_value)
             for _ in range(fdp.ConsumeIntInRange(0, 4))]
    if choice == 0:
        return items
    if choice == 1:
        return tuple(items)
    if choice == 2:
        return CallbackSequence(items)
    if choice == 3:
        return CallbackSequence(items, on_item=lambda: refused_while_busy(harness.config))
    return any_value(fdp, text_value)


def input_text(fdp):
    pieces = []
    for _ in range(fdp.ConsumeIntInRange(0, 24)):
        pieces.append(fdp.PickValueInList(PIECES) if fdp.ConsumeBool() else fdp.ConsumeUnicode(4))
    return "".join(pieces)


# --- expected outcomes ---------------------------------------------------


def check_text(param, value):
    if not isinstance(value, str):
        return TypeError(cannot_convert(param, value, "PyString"))
    return encoding_error(value)


def check_flag(value):
    if isinstance(value, bool):
        return None, value
    if type(value).__name__ == "bool_" and type(value).__module__ == "numpy":
        return None, bool(value)
    return TypeError(cannot_convert("val", value, "PyBool")), None


def check_tags(value):
    if isinstance(value, str):
        return TypeError("argument 'tags': Can't extract `str` to `Vec`"), None
    if not isinstance(value, (list, tuple, bytes, CallbackSequence)):
        return TypeError(cannot_convert("tags", value, "Sequence")), None
    items = value.items if isinstance(value, CallbackSequence) else list(value)
    for item in items:
        error = check_text("tags", item)
        if error is not None:
            return error, None
    return None, set(items)


def same_error(got, expected):
    return type(got) is type(expected) and (isinstance(got, UnicodeEncodeError) or str(got) == str(expected))


class Harness:
    def __init__(self):
        self.config = ParserConfig()
        self.model = Model()

    def call(self, action, expected, on_success=lambda result: None):
        try:
            result = action()
        except Exception as error:  # noqa: BLE001 - compared with the model
            if expected is None or not same_error(error, expected):
                raise AssertionError(f"raised {error!r}, expected {expected!r}") from error
            return
        if expected is not None:
            raise AssertionError(f"returned {result!r}, expected {expected!r}")
        on_success(result)

    def setter(self, fdp):
        config, model = self.config, self.model
        which = fdp.ConsumeIntInRange(0, 4)
        as_keywords = fdp.ConsumeBool()
        if which == 0:
            value = tags_value(fdp, self)
            error, tags = check_tags(value)
            call = (lambda: config.set_recognized_tags(tags=value)) if as_keywords else (
                lambda: config.set_recognized_tags(value))
            self.call(call, error, lambda _: setattr(model, "tags", tags))
        elif which == 1:
            value = any_value(fdp, text_value)
            error = check_text("mode", value)
            folded = ascii_folded(value) if error is None else None
            if error is None and folded not in UNKNOWN_MODES:
                error = ValueError(f"unknown mode '{folded}'")
            call = (lambda: config.set_unknown_mode(mode=value)) if as_keywords else (
                lambda: config.set_unknown_mode(value))
            self.call(call, error, lambda _: setattr(model, "mode", folded))
        elif which == 2:
            tag, strategy = any_value(fdp, text_value), any_value(fdp, text_value)
            error = check_text("tag", tag) or check_text("strategy", strategy)
            folded = ascii_folded(strategy) if error is None else None
            if error is None and folded not in RECOVERY_STRATEGIES:
                error = ValueError(f"unknown recovery strategy '{folded}'")
            call = (lambda: config.set_recovery_strategy(strategy=strategy, tag=tag)) if as_keywords else (
                lambda: config.set_recovery_strategy(tag, strategy))
            self.call(call, error, lambda _: model.set_strategy(tag, folded))
        elif which == 3:
            name = fdp.PickValueInList(list(model.flags))
            value = any_value(fdp, text_value)
            error, flag = check_flag(value)
            setter = getattr(config, "set_" + name)
            call = (lambda: setter(val=value)) if as_keywords else (lambda: setter(value))
            self.call(call, error, lambda _: model.flags.__setitem__(name, flag))
        else:
            # Wrong call forms: always TypeError, and nothing changes.
            setter = getattr(config, fdp.PickValueInList([
                "set_recognized_tags", "set_unknown_mode", "set_recovery_strategy", "set_trim_punctuation",
                "set_case_sensitive_tags"]))
            args = [any_value(fdp, text_value) for _ in range(fdp.ConsumeIntInRange(0, 3))]
            kwargs = {fdp.PickValueInList(["tags", "mode", "tag", "strategy", "val", "x"]): "strip"}
            try:
                setter(*args, **kwargs)
            except TypeError:
                return
            except (ValueError, UnicodeEncodeError):
                return  # the form fitted after all; its argument did not
            # A form that fitted and worked: the model no longer knows the
            # record, so start again from a known one.
            self.config, self.model = ParserConfig(), Model()

    def parse(self, fdp):
        text = input_text(fdp) if fdp.ConsumeBool() else any_value(fdp, text_value)
        form = fdp.ConsumeIntInRange(0, 5)
        config = self.config if fdp.ConsumeIntInRange(0, 5) else any_value(fdp, text_value)
        expected = check_text("input", text)
        if expected is None and form >= 2 and config is not None and type(config) is not ParserConfig:
            expected = TypeError(cannot_convert("config", config, "ParserConfig"))
        calls = [
            lambda: parse(text),
            lambda: parse(input=text),
            lambda: parse(text, config),
            lambda: parse(text, config=config),
            lambda: parse(input=text, config=config),
            lambda: parse(config=config, input=text),
        ]

        def compare(result):
            read_every_repr(check_result(result), result.markers)
            if form >= 2 and config is self.config:
                if shape(result) != shape(parse(text, self.model.build())):
                    raise AssertionError(f"the object does not hold what its calls put in: {text!r}")

        self.call(calls[form], expected, compare)

    def run(self, fdp):
        for _ in range(fdp.ConsumeIntInRange(1, 12)):
            action = fdp.ConsumeIntInRange(0, 9)
            if action <= 4:
                self.setter(fdp)
            elif action <= 7:
                self.parse(fdp)
            elif action == 8:
                # Called on the class or on the object: a new object either way.
                owner = self.config if fdp.ConsumeBool() else ParserConfig
                cite = fdp.ConsumeBool()
                preset = owner.default_cite_config if cite else owner.default_llm_friendly_config
                self.config, self.model = preset(), Model(cite)
            else:
                bad = [lambda: parse(), lambda: parse("a", None, None), lambda: parse(text="x"),
                       lambda: ParserConfig(1), lambda: _tagmire_rs.Segment(), lambda: ParserConfig.default_cite_config(1)]
                try:
                    fdp.PickValueInList(bad)()
                except TypeError:
                    pass
                else:
                    raise AssertionError("a wrong call form went through")


def read_every_repr(segments, markers):
    for segment in segments:
        repr(segment)
        for annotation in segment.annotations:
            repr(annotation)
    for marker in markers:
        repr(marker)
        repr(marker.annotation)


def test_one_input(data):
    Harness().run(atheris.FuzzedDataProvider(data))


def main():
    # The module is native and not instrumented; coverage of this harness,
    # whose branches follow the outcomes the model predicts, guides the search.
    atheris.instrument_all()
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
