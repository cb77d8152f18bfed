"""The checks that guard what a release builds: tools/glibc_symbols.py finds
the glibc references a wheel for glibc 2.28 cannot have, and lets through
only those a newer build host adds; the cibuildwheel table builds exactly
the intended wheels; tools/requirements.py reads what pyproject.toml asks."""

import pathlib
import shutil
import subprocess
import sys
import sysconfig

import pytest

TOOLS = pathlib.Path(__file__).resolve().parents[2] / "tools"
sys.path.insert(0, str(TOOLS))
import glibc_symbols  # noqa: E402
import requirements  # noqa: E402


def readelf_line(reference):
    return f"    9: 0000000000000000     0 FUNC    GLOBAL DEFAULT  UND {reference} (5)"


@pytest.mark.parametrize(("reference", "refused"), [
    ("memchr@GLIBC_2.2.5", False),
    ("memrchr@GLIBC_2.2.5", False),
    ("reallocarray@GLIBC_2.26", False),
    ("memfd_create@GLIBC_2.27", False),
    ("strlcpy@GLIBC_2.38", True),  # a call of our own that 2.28 lacks
    ("arc4random@GLIBC_2.36", True),
    ("fmod@GLIBC_2.38", True),
    ("_dl_find_object@GLIBC_2.35", False),  # the build host's: dl*
    ("pthread_mutex_trylock@GLIBC_2.34", False),  # moved from libpthread in 2.34
    ("pthread_once@GLIBC_2.34", False),
    ("__libc_single_threaded@GLIBC_2.32", False),  # libstdc++'s headers
    ("single_threaded@GLIBC_2.32", True),
    ("memcpy@GLIBC_2.29", True),  # one minor version past the limit
    ("memcpy@GLIBC_2.3.4", False),  # versions compare by number, not text
])
def test_only_our_own_newer_glibc_references_are_refused(reference, refused):
    found = glibc_symbols.too_new(readelf_line(reference), "2.28")
    assert found == ([reference] if refused else [])


def test_defined_symbols_and_other_libraries_are_not_references():
    listing = "\n".join([
        "    3: 0000000000012345    10 FUNC    GLOBAL DEFAULT   12 PyInit__tagmire_rs",
        readelf_line("_ZNSt6thread4joinEv@GLIBCXX_3.4.29"),
        readelf_line("strlcpy@@GLIBC_2.38"),
    ])
    assert glibc_symbols.too_new(listing, "2.28") == ["strlcpy@GLIBC_2.38"]


@pytest.mark.skipif(not sys.platform.startswith("linux") or shutil.which("readelf") is None,
                    reason="needs a Linux build of the module and readelf")
def test_the_installed_module_needs_nothing_newer_than_glibc_2_28():
    _tagmire_rs = pytest.importorskip("_tagmire_rs", reason="the module is not installed here")
    if sysconfig.get_config_var("HOST_GNU_TYPE") and "musl" in sysconfig.get_config_var("HOST_GNU_TYPE"):
        pytest.skip("a musl build has no glibc references")
    completed = subprocess.run([sys.executable, str(TOOLS / "glibc_symbols.py"), _tagmire_rs.__file__],
                               capture_output=True, text=True, check=False)
    assert completed.returncode == 0, completed.stderr


INTENDED = {
    "linux": [f"{python}-{libc}_{arch}" for arch in ("x86_64", "aarch64") for libc in ("manylinux", "musllinux")
              for python in ("cp311", "cp312", "cp313", "cp313t")],
    "macos": [f"{python}-macosx_{arch}" for arch in ("x86_64", "arm64") for python in ("cp311", "cp312", "cp313", "cp313t")],
    "windows": [f"{python}-win_{arch}" for arch in ("amd64", "arm64") for python in ("cp311", "cp312", "cp313", "cp313t")],
}


@pytest.mark.parametrize("platform", sorted(INTENDED))
def test_cibuildwheel_builds_the_intended_wheels(platform):
    pytest.importorskip("cibuildwheel", reason="needs cibuildwheel (the dist extra)")
    completed = subprocess.run([sys.executable, "-m", "cibuildwheel", "--platform", platform,
                                "--print-build-identifiers"], capture_output=True, text=True, check=True,
                               cwd=TOOLS.parent)
    assert sorted(completed.stdout.split()) == sorted(INTENDED[platform])


def test_requirements_lists_the_build_and_extras_once_and_names_a_missing_extra():
    found = requirements.requirements(["build", "test", "arrow"])
    assert found[0].startswith("scikit-build-core")
    assert len(found) == len(set(found)) and "pytest-codeblocks==0.18.0" in found
    assert found.count("pyarrow>=16") == 1  # in both extras, listed once
    with pytest.raises(SystemExit, match="no extra 'tests'"):
        requirements.requirements(["tests"])
