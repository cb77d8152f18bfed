"""tools/check_sdist.py, on this checkout: it must name every file a build
needs that an sdist lacks, and every build or test leftover it ships."""

import io
import pathlib
import sys
import tarfile

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tools"))
import check_sdist  # noqa: E402


@pytest.fixture(scope="module")
def needed():
    return check_sdist.needed_files()


def test_needed_files_come_from_pyproject_cmake_and_includes(needed):
    assert needed["pyproject.toml"] == needed["CMakeLists.txt"] == "the build backend"
    assert needed["README.md"] == "pyproject.toml's readme"
    assert needed["LICENSE"] == "pyproject.toml's license-files"
    assert needed["src/extension/module.cpp"] == "CMakeLists.txt"
    assert needed["src/module/_tagmire_rs.pyi"] == "CMakeLists.txt"
    assert needed["fuzz/fuzz_parse.cpp"] == "CMakeLists.txt's glob fuzz/fuzz_*.cpp"
    # Headers are named nowhere in CMakeLists.txt: only the includes find them.
    headers = [path for path in needed if path.endswith(".h")]
    assert "src/parser/scanner.h" in headers
    # Found through an include directory, in a folder other than its includer's.
    assert needed["inputs/hostile_inputs.h"] in {"#include in bench/scaling.cpp", "#include in bench/core_bench.cpp"}
    assert all(needed[path].startswith("#include in ") for path in headers)
    assert all((check_sdist.ROOT / path).is_file() for path in needed)


def test_cmake_paths_skip_build_tree_paths_flags_and_folders():
    words = ["add_library", "core", "src/a.cpp", "${CMAKE_CURRENT_SOURCE_DIR}/fuzz/b_*.cpp",
             "${CMAKE_CURRENT_BINARY_DIR}/generated/c.cpp", "-fsanitize=address", "/usr/include/x.h",
             "${CMAKE_CURRENT_SOURCE_DIR}/src", "fuzz/corpus/${name}", "main.cpp"]
    assert list(check_sdist.cmake_paths(words)) == ["src/a.cpp", "fuzz/b_*.cpp"]


def sdist(tmp_path, names):
    path = tmp_path / "tagmire_rs-0.1.0.tar.gz"
    with tarfile.open(path, "w:gz") as archive:
        for name in names:
            info = tarfile.TarInfo(f"tagmire_rs-0.1.0/{name}")
            info.size = 1
            archive.addfile(info, io.BytesIO(b"x"))
    return path


def test_a_complete_sdist_passes_and_each_gap_or_leftover_is_named(tmp_path, needed):
    complete = set(needed) | {"PKG-INFO", "tests/python/support.py", ".gitignore"}
    members = check_sdist.sdist_members(sdist(tmp_path, sorted(complete)))
    assert members == complete
    assert check_sdist.findings(needed, members) == []

    leftovers = ["build/cp311-cp311-linux_x86_64/CMakeCache.txt", "fuzz/corpus-work/fuzz_parse/abc",
                 "tests/python/__pycache__/support.cpython-311.pyc", "_tagmire_rs.cpython-311-x86_64-linux-gnu.so",
                 "fuzz/crash-0123"]
    problems = check_sdist.findings(needed, members - {"src/text/utf8.h", "LICENSE"} | set(leftovers))
    assert problems[:2] == [
        "the sdist lacks LICENSE, needed by pyproject.toml's license-files",
        f"the sdist lacks src/text/utf8.h, needed by {needed['src/text/utf8.h']}",
    ]
    assert len(problems) == 2 + len(leftovers)
    assert all(any(f"ships {path}," in problem for problem in problems) for path in leftovers)
