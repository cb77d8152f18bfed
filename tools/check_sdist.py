"""Checks the file list of an sdist against what a build from it needs, and
against what must never ship. Run from tools/check_dist.sh.

    python tools/check_sdist.py dist/tagmire-0.1.0.tar.gz

A build needs pyproject.toml and CMakeLists.txt, the readme and license
files and package folders that pyproject.toml names, every file that
CMakeLists.txt names (its globs matched in this checkout), and every file
that those sources include with #include "...". The checkout says what the
globs match and where the includes lie, so that a file that exists here but
not in the sdist is named, with what needs it. Exits 1 on any finding.
"""

import itertools
import pathlib
import re
import shlex
import sys
import tarfile
import tomllib

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCE_DIR = "${CMAKE_CURRENT_SOURCE_DIR}/"
SOURCE_SUFFIXES = {".c", ".cc", ".cpp", ".h", ".hpp", ".inc"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)
# What builds, tests and fuzz runs leave in a tree.
NEVER_SHIPPED = re.compile(
    r"^(build|build-[^/]*|dist|wheelhouse|fuzz/corpus-work)/"
    r"|(^|/)(__pycache__|\.git|\.pytest_cache|\.hypothesis)(/|$)"
    r"|\.(so|o|a|pyc)$"
    r"|(^|/)(crash|leak|timeout|oom)-[^/]*$"
)


def cmake_words():
    """The words of CMakeLists.txt outside comments, quotes removed."""
    text = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    lexer = shlex.shlex(text.replace("(", " ").replace(")", " "), posix=True)
    lexer.whitespace_split = True
    lexer.commenters = "#"
    return list(lexer)


def cmake_paths(words):
    """Relative file paths and globs that CMakeLists.txt names in the source tree."""
    for word in words:
        if word.startswith(SOURCE_DIR):
            word = word[len(SOURCE_DIR):]
        if "$" in word or word.startswith(("/", "-")) or "/" not in word:
            continue  # a build-tree path, an absolute path or a flag
        if pathlib.PurePosixPath(word).suffix:
            yield word


def source_folders(words):
    """The source folders CMakeLists.txt names (its include directories among
    them). A path whose tail is a variable, such as the layers' roots
    `src/${folder}`, names the folder before it: includes are written
    relative to it (`#include "text/utf8.h"`)."""
    for word in words:
        if not word.startswith(SOURCE_DIR):
            continue
        parts = word[len(SOURCE_DIR):].split("/")
        fixed = list(itertools.takewhile(lambda part: "$" not in part, parts))
        if fixed:
            folder = ROOT.joinpath(*fixed)
            if folder.is_dir():
                yield folder


def needed_files():
    """{path relative to the root: what needs it} for every file a build needs."""
    needed = {"pyproject.toml": "the build backend", "CMakeLists.txt": "the build backend"}
    with open(ROOT / "pyproject.toml", "rb") as file:
        pyproject = tomllib.load(file)
    project = pyproject["project"]
    readme = project.get("readme")
    if readme:
        needed[readme if isinstance(readme, str) else readme["file"]] = "pyproject.toml's readme"
    for pattern in project.get("license-files", []):
        for path in sorted(ROOT.glob(pattern)):
            needed[path.relative_to(ROOT).as_posix()] = "pyproject.toml's license-files"
    wheel = pyproject.get("tool", {}).get("scikit-build", {}).get("wheel", {})
    for package in wheel.get("packages", []):
        for path in sorted((ROOT / package).rglob("*")):
            if path.is_file() and "__pycache__" not in path.parts:
                needed[path.relative_to(ROOT).as_posix()] = "pyproject.toml's wheel.packages"

    words = cmake_words()
    for path in cmake_paths(words):
        if any(c in path for c in "*?["):
            for match in sorted(ROOT.glob(path)):
                needed.setdefault(match.relative_to(ROOT).as_posix(), f"CMakeLists.txt's glob {path}")
        else:
            needed.setdefault(path, "CMakeLists.txt")

    # The headers those sources include, and the headers they include.
    search = list(source_folders(words))
    pending = [path for path in needed if pathlib.PurePosixPath(path).suffix in SOURCE_SUFFIXES]
    while pending:
        source = pending.pop()
        if not (ROOT / source).is_file():
            continue
        for name in INCLUDE.findall((ROOT / source).read_text(encoding="utf-8", errors="replace")):
            for folder in [(ROOT / source).parent, *search]:
                header = (folder / name).resolve()
                if header.is_file() and header.is_relative_to(ROOT):
                    relative = header.relative_to(ROOT).as_posix()
                    if relative not in needed:
                        needed[relative] = f"#include in {source}"
                        pending.append(relative)
                    break
    return needed


def sdist_members(sdist):
    """The files of the sdist, relative to its top folder."""
    with tarfile.open(sdist) as archive:
        names = [member.name for member in archive.getmembers() if member.isfile()]
    top = {name.split("/", 1)[0] for name in names}
    if len(top) != 1:
        raise SystemExit(f"{sdist}: expected one top folder, found {sorted(top)}")
    return {name.split("/", 1)[1] for name in names if "/" in name}


def findings(needed, members):
    missing = [f"the sdist lacks {path}, needed by {why}"
               for path, why in sorted(needed.items()) if path not in members]
    stray = [f"the sdist ships {path}, which a build or a test run left in the tree"
             for path in sorted(members) if NEVER_SHIPPED.search(path)]
    return missing + stray


def main():
    if len(sys.argv) != 2:
        raise SystemExit(__doc__)
    needed = needed_files()
    members = sdist_members(sys.argv[1])
    problems = findings(needed, members)
    for problem in problems:
        print(problem, file=sys.stderr)
    if problems:
        return 1
    print(f"the sdist holds the {len(needed)} files a build needs ({len(members)} files in all)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
