"""The documentation build (mkdocs.yml, tools/mkdocs_hooks.py,
tools/griffe_public_docstrings.py): which names the docstring rule asks
for, and proof that the strict build of a copy of the repository's site
fails on a broken link or a missing docstring and publishes the pages at
their repository paths. tools/ci_docs.sh runs these in the docs
environment; elsewhere they skip."""

import importlib.util
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

griffe = pytest.importorskip("griffe", reason="needs the docs extra; tools/ci_docs.sh runs these")
pytest.importorskip("mkdocs", reason="needs the docs extra; tools/ci_docs.sh runs these")

ROOT = Path(__file__).resolve().parents[2]
spec = importlib.util.spec_from_file_location("griffe_public_docstrings", ROOT / "tools/griffe_public_docstrings.py")
public_docstrings = importlib.util.module_from_spec(spec)
spec.loader.exec_module(public_docstrings)


def write(root, files):
    for name, text in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text), encoding="utf-8")


def load(root, name):
    loader = griffe.GriffeLoader(search_paths=[str(root)], allow_inspection=False)
    return loader.load(name)


PACKAGE = {
    "pkg/__init__.py": '''
        """A package."""
        from pkg._impl import Thing, helper, bare_function
        from elsewhere import Outside
        __all__ = ["Thing", "helper", "bare_function", "Outside"]
        ''',
    "pkg/_impl.py": '''
        class Thing:
            """A thing."""
            field: int = 0
            def __init__(self): pass
            def __len__(self): return 0
            def _private(self): pass
            def bare_method(self): pass
            @property
            def bare_property(self): return 1
            @property
            def documented_property(self):
                """Documented."""
            @classmethod
            def make(cls):
                """Documented."""
        def helper():
            """Documented."""
        def bare_function(): pass
        def not_exported(): pass
        ''',
}


def test_public_names_without_docstrings_are_named_where_users_reach_them(tmp_path):
    write(tmp_path, PACKAGE)
    package = load(tmp_path, "pkg")
    # Fields, special and private methods, names left out of __all__ and a
    # name from a package that is not loaded are not asked for one.
    assert list(public_docstrings.undocumented(package)) == [
        "pkg.Thing.bare_method", "pkg.Thing.bare_property", "pkg.bare_function"]


def test_a_package_without_a_docstring_is_named(tmp_path):
    write(tmp_path, {"bare/__init__.py": "def f():\n    '''Documented.'''\n"})
    assert list(public_docstrings.undocumented(load(tmp_path, "bare"))) == ["bare"]


# What a copy of the site needs: its configuration, hooks and pages, and
# the sources its API reference reads.
SITE_FILES = ["mkdocs.yml", "tools/mkdocs_hooks.py", "tools/griffe_public_docstrings.py", "README.md",
              "BENCHMARKS.md", "CHANGELOG.md", "CONTRIBUTING.md", "docs", "src/tagmire",
              "src/module/_tagmire_rs.pyi", "src/README.md"]


@pytest.fixture(scope="module")
def site_copy(tmp_path_factory):
    root = tmp_path_factory.mktemp("site")
    for name in SITE_FILES:
        source = ROOT / name
        if source.is_dir():
            shutil.copytree(source, root / name, ignore=shutil.ignore_patterns("__pycache__", "*.so"))
        else:
            (root / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(source, root / name)
    return root


def build(root):
    return subprocess.run([sys.executable, "-m", "mkdocs", "build", "--strict"], cwd=root, capture_output=True,
                          text=True, timeout=300, check=False)


def test_the_site_publishes_the_repository_pages_at_their_own_paths(site_copy):
    completed = build(site_copy)
    assert completed.returncode == 0, completed.stderr
    site = site_copy / "build/site"
    for page in ["index.html", "BENCHMARKS/index.html", "CHANGELOG/index.html", "CONTRIBUTING/index.html",
                 "src/index.html", "docs/api/index.html", "docs/images/throughput.svg"]:
        assert (site / page).is_file(), page
    api = (site / "docs/api/index.html").read_text(encoding="utf-8")
    assert 'id="_tagmire_rs.parse"' in api and 'id="tagmire.StreamParser"' in api


@pytest.mark.parametrize(
    ("path", "old", "new", "complaint"),
    [
        ("README.md", "(CONTRIBUTING.md)", "(CONTRIBUTING.md#no-such-section)", "does not contain an anchor"),
        ("README.md", "(BENCHMARKS.md)", "(BENCHMARK.md)", "BENCHMARK.md"),
        ("src/module/_tagmire_rs.pyi", '"""Whether names match only in the same letter case."""', "...",
         "_tagmire_rs.ParserConfig.set_case_sensitive_tags has no docstring"),
        ("src/tagmire/_stream.py", '"""Adds `chunk` to the text and returns what settled and, with\n        previews, how the preview changed."""', "",
         "tagmire.StreamParser.feed has no docstring"),
    ],
)
def test_the_strict_build_fails_on_a_broken_link_or_a_missing_docstring(site_copy, path, old, new, complaint):
    file = site_copy / path
    original = file.read_text(encoding="utf-8")
    assert old in original
    try:
        file.write_text(original.replace(old, new, 1), encoding="utf-8")
        completed = build(site_copy)
    finally:
        file.write_text(original, encoding="utf-8")
    assert completed.returncode != 0
    assert complaint in completed.stderr, completed.stderr
