"""What `import tagmire` shows: the module's names re-exported as they are,
no pyarrow needed until the batch API is used, and typed stubs that match
the native module."""

import ast
import importlib.metadata
import pathlib
import shutil
import textwrap
import tomllib

import pytest

import _tagmire_rs
import tagmire
from conftest import run_mypy_on, run_python, run_stubtest


def test_the_package_has_records_of_its_own_and_the_module_is_untouched():
    assert tagmire.__all__ == ["parse", "ParsedText", "Segment", "Annotation", "Marker", "Config", "ConfigError",
                               "ParserConfig", "StreamParser", "StreamUpdate", "PreviewUpdate", "Window", "stream", "astream",
                               "parse_batch", "ParseColumn", "parse_frame", "ColumnClash", "InvalidTextError",
                               "OutputTooLargeError"]
    assert tagmire.ParserConfig is _tagmire_rs.ParserConfig
    for name in ["ParsedText", "Segment", "Annotation", "Marker", "StreamUpdate", "PreviewUpdate"]:
        record = getattr(tagmire, name)
        assert (record.__module__, record.__qualname__) == ("tagmire", name)
        assert record is not getattr(_tagmire_rs, name, None)
        with pytest.raises(TypeError):
            record()
    # One extension module: the package's native half is a private part of
    # _tagmire_rs, whose surface stays as it is.
    assert tagmire._native is _tagmire_rs._native
    assert _tagmire_rs.__all__ == ["ParseResult", "Segment", "Annotation", "Marker", "ParserConfig", "parse"]
    assert [name for name in vars(_tagmire_rs) if not name.startswith("_")] == _tagmire_rs.__all__


def test_version_is_the_installed_distributions_and_the_checkouts(request):
    # The distribution named tagmire is the one that installed this package,
    # and it was built from the pyproject.toml beside these tests: a renamed
    # distribution or a stale install gives a different or unknown version.
    distribution = importlib.metadata.distribution("tagmire")
    installed = {pathlib.PurePosixPath(str(path)) for path in distribution.files or []}
    assert pathlib.PurePosixPath("tagmire/__init__.py") in installed
    with open(request.config.rootpath / "pyproject.toml", "rb") as file:
        expected = tomllib.load(file)["project"]["version"]
    assert tagmire.__version__ == distribution.version == expected


WITHOUT_PYARROW = textwrap.dedent(
    """
    import sys

    class NoPyarrow:
        def find_spec(self, name, path=None, target=None):
            if name == "pyarrow" or name.startswith("pyarrow."):
                raise ImportError(f"No module named {name!r}")

    sys.meta_path.insert(0, NoPyarrow())
    import tagmire
    print(tagmire.parse("a<cite/>", tagmire.Config.cite()).markers[0].pos)
    assert not any(name.startswith("pyarrow") for name in sys.modules)
    try:
        tagmire.parse_batch(["x"])
    except ImportError as error:
        print(error)
    """
)


def test_import_and_parse_need_no_pyarrow():
    printed = run_python(WITHOUT_PYARROW, timeout=120)
    assert printed.splitlines() == ["1", 'the batch parser needs pyarrow: pip install "tagmire[arrow]"']


def test_stubs_match_the_runtime(tmp_path):
    installed = pathlib.Path(tagmire.__file__).parent
    assert (installed / "py.typed").is_file() and (installed / "_native.pyi").is_file()
    completed = run_stubtest(tmp_path, "tagmire")
    assert completed.returncode == 0, completed.stdout + completed.stderr

    # Proof that the run compares the native module with its stub.
    copy = tmp_path / "stubs"
    shutil.copytree(installed, copy / "tagmire", ignore=shutil.ignore_patterns("*.so", "__pycache__"))
    stub = copy / "tagmire" / "_native.pyi"
    broken = stub.read_text().replace("def parse_arrow(", "def parse_arrow_rows(")
    stub.write_text(broken)
    completed = run_stubtest(tmp_path, "tagmire", stubs=copy)
    assert completed.returncode != 0
    assert "parse_arrow" in completed.stdout


def test_mypy_checks_user_code_against_the_package(tmp_path):
    report = run_mypy_on(
        tmp_path,
        "import tagmire\n"
        "reveal_type(tagmire.Config.cite().recovery_strategies)\n"
        "tagmire.parse_batch(['x'], threads='2')\n"
        "update = tagmire.StreamParser().feed('a')\n"
        "reveal_type(update)\n"
        "reveal_type(update.pending.text)\n"
        "reveal_type(tagmire.StreamParser(preview=False).close())\n"
        "for step in tagmire.stream(['a'], preview=False):\n"
        "    step.pending\n"
        "reveal_type(tagmire.parse('x').segments[0].char_end)\n",
    )
    assert "tuple[tuple[str, str], ...]" in report, report
    assert 'incompatible type "str"; expected "int | None"' in report, report
    # The stream's update type follows preview=, and pending is never None.
    assert 'Revealed type is "tagmire._native.PreviewUpdate"' in report, report
    assert '6: note: Revealed type is "str"' in report, report
    assert 'Revealed type is "tagmire._native.StreamUpdate"' in report, report
    assert '"StreamUpdate" has no attribute "pending"' in report, report
    assert 'Revealed type is "int"' in report, report


def test_the_stubs_docstrings_are_the_records_own():
    # The API reference is built from the stub; its docstrings must say
    # what help() says at run time.
    stub = ast.parse((pathlib.Path(tagmire.__file__).parent / "_native.pyi").read_text())
    compared = 0
    for node in stub.body:
        if not isinstance(node, ast.ClassDef) or node.name not in tagmire.__all__:
            continue
        runtime = getattr(tagmire, node.name)
        assert " ".join(ast.get_docstring(node).split()) == " ".join(runtime.__doc__.split())
        for member in node.body:
            if isinstance(member, ast.FunctionDef) and not member.name.startswith("__"):
                documented = getattr(runtime, member.name).__doc__
                assert " ".join((ast.get_docstring(member) or "").split()) == " ".join(documented.split()), member.name
                compared += 1
    assert compared >= 30
