"""MkDocs hooks of the documentation site (mkdocs.yml).

The site's pages are the repository's own Markdown files, read where they
lie and published at the same paths: README.md (the home page),
BENCHMARKS.md, CHANGELOG.md, CONTRIBUTING.md, src/README.md (the map of the
sources) and everything under docs/.
A relative link or image therefore resolves alike on the repository's web
page and in the site, and the strict build checks the links a reader of
either follows. MkDocs itself only reads its docs_dir (docs/), whose files
would be published one folder up from where the repository has them.

The hook also lays out the `_tagmire_rs` stub as a stub-only package under
build/, where griffe (mkdocstrings' reader) finds it: griffe does not read a
single-file stub beside an extension module, and the docs build imports
nothing.
"""

from __future__ import annotations

import os
from pathlib import Path

from mkdocs.config.defaults import MkDocsConfig
from mkdocs.plugins import event_priority
from mkdocs.structure.files import File, Files

PAGES = ("README.md", "BENCHMARKS.md", "CHANGELOG.md", "CONTRIBUTING.md", "src/README.md")
STUB = Path("src/module/_tagmire_rs.pyi")
STUB_PACKAGE = Path("build/docs-stubs/_tagmire_rs-stubs/__init__.pyi")


def root_of(config: MkDocsConfig) -> Path:
    """The repository: the folder of mkdocs.yml."""
    return Path(config.config_file_path).resolve().parent


def site_sources(root: Path, docs_dir: Path) -> list[str]:
    """The repository paths of every file the site publishes."""
    docs = sorted(path.relative_to(root).as_posix() for path in docs_dir.rglob("*")
                  if path.is_file() and not path.name.startswith("."))
    return [page for page in PAGES if (root / page).is_file()] + docs


# Before mkdocstrings' own on_config, which sets up its handlers and with
# them the folders griffe searches: the stub package must exist by then.
@event_priority(100)
def on_config(config: MkDocsConfig) -> MkDocsConfig:
    root = root_of(config)
    config.watch.extend(str(root / page) for page in PAGES)
    if (root / STUB).is_file():
        link = root / STUB_PACKAGE
        link.parent.mkdir(parents=True, exist_ok=True)
        if link.is_symlink() or link.exists():
            link.unlink()
        link.symlink_to(os.path.relpath(root / STUB, link.parent))
        config.watch.append(str(root / STUB))
    return config


def on_files(files: Files, config: MkDocsConfig) -> Files:
    root = root_of(config)
    docs_dir = Path(config.docs_dir).resolve()
    # The theme's own files stay; the pages MkDocs found in docs/ come back
    # at their repository paths.
    kept = [file for file in files if file.abs_src_path is None
            or not Path(file.abs_src_path).resolve().is_relative_to(docs_dir)]
    pages = [File(path, src_dir=str(root), dest_dir=config.site_dir, use_directory_urls=config.use_directory_urls)
             for path in site_sources(root, docs_dir)]
    return Files(kept + pages)
