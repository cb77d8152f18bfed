"""What `import _tagmire_rs` shows: names, order, docstrings, signatures."""

import ast
import importlib
import importlib.util
import inspect
import pathlib
import sys
import sysconfig
import textwrap

import pytest

import _tagmire_rs
from conftest import run_mypy_on, run_python, run_stubtest

EXPORTS = ["ParseResult", "Segment", "Annotation", "Marker", "ParserConfig", "parse"]


def test_module_holds_exports_in_order_and_lists_them_in_all():
    public = [name for name in vars(_tagmire_rs) if not name.startswith("_")]
    assert public == EXPORTS
    assert _tagmire_rs.__all__ == EXPORTS
    assert _tagmire_rs.__doc__ == ""


def test_parse_function_surface():
    parse = _tagmire_rs.parse
    assert parse.__name__ == "parse"
    assert parse.__module__ == "_tagmire_rs"
    assert parse.__text_signature__ == "(text, config=None)"
    assert parse.__doc__ == (
        "Parse Tagmire text using the default config (case-insensitive tags, cite retro, others forward)."
    )


@pytest.mark.parametrize(
    ("name", "doc"),
    [
        ("ParseResult", "ParseResult(text: str, segments: list[Segment], markers: list[Marker])."),
        ("Segment", "Segment(text: str, annotations: list[Annotation])."),
        ("Annotation", "Annotation(tag: str, attrs: dict[str, bool | str]) -> annotation attached to a span."),
        ("Marker", "Marker(pos: int, annotation: Annotation) from self-closing tags."),
        ("ParserConfig", "ParserConfig() -> mutable parser configuration."),
    ],
)
def test_class_identity_and_docstring(name, doc):
    cls = getattr(_tagmire_rs, name)
    assert cls.__doc__ == doc
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (name, name, "builtins")
    assert repr(cls) == f"<class '{name}'>"


@pytest.mark.parametrize("name", ["ParseResult", "Segment", "Annotation", "Marker", "ParserConfig"])
@pytest.mark.parametrize("attribute", ["text", "__repr__", "set_trim_punctuation", "extra"])
def test_classes_cannot_be_changed_for_the_whole_process(name, attribute):
    # As for the standard library's own types: no code can replace a
    # property or method of every instance at once.
    cls = getattr(_tagmire_rs, name)
    before = cls.__dict__.get(attribute)
    with pytest.raises(TypeError, match=f"cannot set '{attribute}' attribute of immutable type '{name}'"):
        setattr(cls, attribute, None)
    with pytest.raises(TypeError):
        delattr(cls, attribute)
    assert cls.__dict__.get(attribute) is before


def test_parser_config_constructor_signature():
    assert _tagmire_rs.ParserConfig.__text_signature__ == "()"


@pytest.mark.parametrize(
    ("method", "signature", "doc"),
    [
        ("default_llm_friendly_config", "($cls)", None),
        ("default_cite_config", "($cls)", None),
        ("set_recognized_tags", "($self, tags)", "Replace the recognized tag set."),
        (
            "set_unknown_mode",
            "($self, mode)",
            'Set the unknown tag handling mode: "strip", "passthrough", or "treat_as_text".',
        ),
        (
            "set_recovery_strategy",
            "($self, tag, strategy)",
            'Set recovery strategy for a specific tag: "retro_line", "forward_until_tag", '
            '"forward_until_newline", "forward_next_token", or "noop".',
        ),
        ("set_trim_punctuation", "($self, val)", "Toggle punctuation trimming for retro spans."),
        ("set_autoclose_on_any_tag", "($self, val)", "Toggle auto-close behavior when encountering any new tag."),
        ("set_autoclose_on_same_tag", "($self, val)", "Toggle auto-close behavior when seeing the same tag again."),
        ("set_case_sensitive_tags", "($self, val)", "Toggle case-sensitive tag matching."),
    ],
)
def test_parser_config_method_docs(method, signature, doc):
    descriptor = vars(_tagmire_rs.ParserConfig)[method]
    assert descriptor.__text_signature__ == signature
    assert descriptor.__doc__ == doc


def test_parser_config_declares_methods_in_order():
    declared = [name for name in vars(_tagmire_rs.ParserConfig) if not name.startswith("__")]
    assert declared == [
        "default_llm_friendly_config",
        "default_cite_config",
        "set_recognized_tags",
        "set_unknown_mode",
        "set_recovery_strategy",
        "set_trim_punctuation",
        "set_autoclose_on_any_tag",
        "set_autoclose_on_same_tag",
        "set_case_sensitive_tags",
    ]


def test_reimport_returns_the_same_module_unchanged():
    original = sys.modules.pop("_tagmire_rs")
    try:
        again = importlib.import_module("_tagmire_rs")
        assert again is original
        assert again.__all__ == EXPORTS
        assert again.parse("x").text == "x"
    finally:
        sys.modules["_tagmire_rs"] = original


SUBINTERPRETER_SCRIPT = textwrap.dedent(
    """
    import sys
    import _tagmire_rs
    try:
        import _interpreters as interpreters
    except ImportError:
        import _xxsubinterpreters as interpreters

    def load_in(*config, **options):
        interpreter = interpreters.create(*config, **options)
        try:
            outcome = interpreters.run_string(interpreter, "import _tagmire_rs")
        except Exception as error:  # 3.11 and 3.12 raise RunFailedError
            outcome = str(error)
        finally:
            interpreters.destroy(interpreter)
        print("outcome:", getattr(outcome, "formatted", outcome))

    load_in()
    # A legacy sub-interpreter lets the interpreter run our init, which must
    # refuse; a free-threaded interpreter refuses it first, as an isolated one.
    if sys.version_info >= (3, 13):
        load_in("legacy")
    elif sys.version_info >= (3, 12):
        load_in(isolated=False)
    print("main still works:", _tagmire_rs.parse("<cite>x</cite>").text)
    """
)


def test_subinterpreter_import_is_refused():
    if not any(importlib.util.find_spec(name) for name in ("_interpreters", "_xxsubinterpreters")):
        pytest.skip("no sub-interpreter module in this interpreter")
    printed = run_python(SUBINTERPRETER_SCRIPT, timeout=120)
    outcomes = [line for line in printed.splitlines() if line.startswith("outcome:")]
    assert outcomes
    assert all("ImportError" in line for line in outcomes), printed
    legacy_runs_our_init = len(outcomes) > 1 and not sysconfig.get_config_var("Py_GIL_DISABLED")
    if sys.version_info < (3, 12) or legacy_runs_our_init:
        assert "sub-interpreters are not supported" in outcomes[-1]
    assert "main still works: x" in printed


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="an interpreter with a global lock")
def test_a_free_threaded_interpreter_runs_on_without_a_lock_after_the_import():
    printed = run_python("import sys, warnings\nwarnings.simplefilter('error')\nimport _tagmire_rs, tagmire\n"
                         "print(sys._is_gil_enabled())", timeout=60)
    assert printed == "False\n"


STUBTEST_ALLOWLIST = pathlib.Path(__file__).with_name("stubtest_allowlist.txt")


def stubtest_with(stub_text, tmp_path):
    """stubtest's run of the module against `stub_text`, given to mypy as a
    copy of its own."""
    stubs = tmp_path / "stubs"
    stubs.mkdir(exist_ok=True)
    (stubs / "_tagmire_rs.pyi").write_text(stub_text, encoding="utf-8")
    return run_stubtest(tmp_path, "_tagmire_rs", "--allowlist", str(STUBTEST_ALLOWLIST), stubs=stubs)


def test_installed_stub_matches_runtime(tmp_path):
    stub = pathlib.Path(_tagmire_rs.__file__).with_name("_tagmire_rs.pyi")
    assert stub.is_file(), "the stub is installed next to the module"
    stub_text = stub.read_text(encoding="utf-8")

    completed = stubtest_with(stub_text, tmp_path)
    assert completed.returncode == 0, completed.stdout + completed.stderr

    # Proof that the run above really compared something.
    broken = stub_text.replace("def set_unknown_mode(self, mode: str)", "def set_unknown_mode(self, kind: str)")
    assert broken != stub_text
    completed = stubtest_with(broken, tmp_path)
    assert completed.returncode != 0
    assert "set_unknown_mode" in completed.stdout



def stub_parameters(stub_text, function):
    """[(name, kind, has a default)] of a top-level function of a stub."""
    tree = ast.parse(stub_text)
    node = next(n for n in tree.body if isinstance(n, ast.FunctionDef) and n.name == function)
    arguments = node.args
    positional = arguments.posonlyargs + arguments.args
    defaults = [False] * (len(positional) - len(arguments.defaults)) + [True] * len(arguments.defaults)
    kinds = ["POSITIONAL_ONLY"] * len(arguments.posonlyargs) + ["POSITIONAL_OR_KEYWORD"] * len(arguments.args)
    found = [(a.arg, kind, default) for a, kind, default in zip(positional, kinds, defaults)]
    found += [(a.arg, "KEYWORD_ONLY", d is not None) for a, d in zip(arguments.kwonlyargs, arguments.kw_defaults)]
    return found


def test_stub_of_parse_differs_from_the_advertised_signature_by_the_first_name_only():
    # stubtest's allowlist excuses every difference in parse, so the rest
    # of its signature is compared here.
    stub = pathlib.Path(_tagmire_rs.__file__).with_name("_tagmire_rs.pyi").read_text(encoding="utf-8")
    advertised = [(p.name, p.kind.name, p.default is not p.empty)
                  for p in inspect.signature(_tagmire_rs.parse).parameters.values()]
    assert advertised[0][0] == "text"
    assert stub_parameters(stub, "parse") == [("input", *advertised[0][1:]), *advertised[1:]]


def test_mypy_finds_the_installed_stub_without_help(tmp_path):
    report = run_mypy_on(
        tmp_path,
        "import _tagmire_rs\n"
        "reveal_type(_tagmire_rs.parse('x').segments[0].annotations)\n"
        "_tagmire_rs.ParserConfig().set_trim_punctuation('yes')\n",
    )
    assert "list[_tagmire_rs.Annotation]" in report, report
    assert 'incompatible type "str"; expected "bool"' in report, report


def test_mypy_takes_parse_input_by_the_keyword_the_module_binds(tmp_path):
    # At run time parse(input=...) works and parse(text=...) raises
    # TypeError, whatever __text_signature__ says; the stub follows the
    # binding, so mypy flags the call that would fail.
    report = run_mypy_on(
        tmp_path,
        "import _tagmire_rs\n"
        "_tagmire_rs.parse(input='x')\n"
        "_tagmire_rs.parse(text='x')\n",
    )
    errors = [line for line in report.splitlines() if ": error:" in line]
    assert len(errors) == 1, report
    assert errors[0].startswith("user_code.py:3:"), report
    assert 'Unexpected keyword argument "text"' in errors[0], report
