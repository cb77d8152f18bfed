#!/usr/bin/env bash
# CI: the package on a free-threaded CPython 3.13 (no global interpreter
# lock), run by .ci/run in a stage of its own. Neither PyPI nor Debian ships
# such an interpreter, so this builds one from Debian's python3.13 source
# package (fetched with `apt-get source` through a sources list of its own,
# leaving the machine's apt configuration as it is), configured with
# --disable-gil, and keeps it in the user's cache folder
# (~/.cache/tagmire-platforms/python3.13t), which a fresh clone on the same
# machine finds again. Where the interpreter cannot be had (no apt-get, no
# network, a build that fails or outlasts TAGMIRE_FREETHREADED_BUILD_BUDGET
# seconds), the stage says why and is skipped: it checks a platform, it does
# not gate on the network.
#
# A virtual environment beside the interpreter gets the build and test
# requirements that have a wheel for it (the others are left out, and the
# tests that need them skip); it is refreshed only when pyproject.toml's
# requirements change. The package is built into it (through ccache where
# there is one), and the Python tests of FREETHREADED_TESTS run without the
# slow marks, then the thread tests with them. Nothing turns the lock on: an
# import that did would warn, and the tests' warnings are errors. Tests that
# fail, or a build and tests that outlast TAGMIRE_FREETHREADED_BUDGET
# seconds (600 unless set), fail the stage.
#
# Cost on two cores, the first time: the interpreter's build (about six
# minutes), the requirements (two to six) and the package's build (three to
# five), then a minute of tests. After that, about a minute a run where
# ccache has the package's objects, and no more than five where it compiles
# them all again.
#
#   PYTHON=python3.11 bash tools/ci_freethreaded.sh
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
cache=${XDG_CACHE_HOME:-$HOME/.cache}/tagmire-platforms
interpreter=$cache/python3.13t
venv=$cache/venv-3.13t
build_budget=${TAGMIRE_FREETHREADED_BUILD_BUDGET:-1200}
budget=${TAGMIRE_FREETHREADED_BUDGET:-600}
started=$SECONDS
step() { echo "--- $1 ($((SECONDS - started)) s)"; }
skip() { echo "ci_freethreaded.sh: $1; the free-threaded checks are skipped"; exit 0; }

# Builds the interpreter into a folder of its own and moves it into place
# only when whole, so that a build cut short is never taken for one.
build_interpreter() {
  local work=$cache/freethreaded-build
  rm -rf "$work" && mkdir -p "$work/lists/partial" "$work/source"
  echo "deb-src http://deb.debian.org/debian trixie main" >"$work/sources.list"
  local apt=(apt-get -qq -o "Dir::Etc::SourceList=$work/sources.list" -o Dir::Etc::SourceParts=/dev/null
    -o "Dir::State::Lists=$work/lists" -o Acquire::Check-Valid-Until=false -o Acquire::Retries=2)
  "${apt[@]}" update || { echo "apt-get could not read Debian's source lists"; return 1; }
  (cd "$work/source" && "${apt[@]}" source --download-only python3.13) ||
    { echo "apt-get could not fetch python3.13's source"; return 1; }
  tar -xf "$work"/source/python3.13_*.orig.tar.xz -C "$work"
  cd "$work"/Python-3.13.*/
  ./configure -q --disable-gil --prefix="$interpreter" >"$work/configure.log" 2>&1 ||
    { tail -n 30 "$work/configure.log"; return 1; }
  make -s -j "$CMAKE_BUILD_PARALLEL_LEVEL" >"$work/make.log" 2>&1 || { tail -n 30 "$work/make.log"; return 1; }
  make -s install DESTDIR="$work/staged" >"$work/install.log" 2>&1 || { tail -n 30 "$work/install.log"; return 1; }
  rm -rf "$interpreter" "$venv"
  mv "$work/staged$interpreter" "$interpreter"
  cd / && rm -rf "$work"
}

if [ ! -x "$interpreter/bin/python3.13t" ]; then
  step "CPython 3.13 built with --disable-gil from Debian's source package"
  command -v apt-get >/dev/null || skip "no apt-get here to fetch CPython's source"
  bash tools/apt_install.sh build-essential xz-utils libffi-dev zlib1g-dev libssl-dev libbz2-dev liblzma-dev ||
    skip "the packages CPython's build needs could not be installed"
  mkdir -p "$cache"
  export -f build_interpreter
  export cache interpreter venv
  built=0
  timeout "$build_budget" bash -euo pipefail -c build_interpreter || built=$?
  if ((built != 0)); then
    rm -rf "$cache/freethreaded-build"
    ((built != 124)) || skip "the interpreter's build outlasted its $build_budget s"
    skip "the interpreter could not be had (see above)"
  fi
fi
"$interpreter/bin/python3.13t" -c 'import sys, sysconfig
assert sysconfig.get_config_var("Py_GIL_DISABLED") and not sys._is_gil_enabled(), "not a free-threaded interpreter"
print(sys.version)'

step "requirements that have a wheel for the free-threaded interpreter"
mapfile -t requirements < <("$PYTHON" tools/requirements.py build test)
stamp=$venv/tagmire-requirements.txt
if ! [ -x "$venv/bin/python" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$(printf '%s\n' "${requirements[@]}")" ]; then
  [ -x "$venv/bin/python" ] || "$interpreter/bin/python3.13t" -m venv "$venv"
  missing=()
  for requirement in "${requirements[@]}"; do
    "$venv/bin/python" -m pip install -q --only-binary=:all: "$requirement" >/dev/null 2>&1 || missing+=("$requirement")
  done
  printf '%s\n' "${missing[@]}" >"$venv/tagmire-left-out.txt"
  # Written only when the requirements that the stage cannot do without
  # came, so that a run without the network tries again the next time.
  "$venv/bin/python" -c "import pytest, scikit_build_core" 2>/dev/null && printf '%s\n' "${requirements[@]}" >"$stamp"
fi
left_out=$(xargs <"$venv/tagmire-left-out.txt" 2>/dev/null || true)
[ -z "$left_out" ] || echo "no wheel for this interpreter, left out: $left_out"
"$venv/bin/python" -c "import pytest, scikit_build_core" 2>/dev/null || skip "pytest or scikit-build-core could not be installed for it"

# The tests that share objects between threads, and those of the code that
# the lock no longer guards (module state, configurations, results,
# streams, batches); the whole suite runs on the free-threaded wheels that
# cibuildwheel builds. About a minute on two cores.
FREETHREADED_TESTS=(test_threads.py test_stream.py test_module_surface.py test_parser_config.py
  test_parse_function.py test_result_classes.py test_records.py test_batch_matches_parse.py)
budget_from=$SECONDS
left() {  # the seconds left of the budget, for `timeout`
  local seconds=$((budget - (SECONDS - budget_from)))
  ((seconds > 0)) || { echo "ci_freethreaded.sh: its budget of $budget s has run out" >&2; exit 1; }
  echo "$seconds"
}
# A step that outlasts the budget fails the stage, saying so: a thread that
# waits forever is one of the faults these tests look for.
within_budget() {
  local status=0
  timeout "$(left)" "$@" || status=$?
  ((status != 124)) || echo "ci_freethreaded.sh: the budget of $budget s ran out during: $*" >&2
  return "$status"
}
step "the package, built for the free-threaded interpreter"
export CMAKE_ARGS=${CMAKE_ARGS:--DTAGMIRE_WERROR=ON}
command -v ccache >/dev/null && CMAKE_ARGS+=" -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
within_budget "$venv/bin/python" -m pip install -q --no-deps --no-build-isolation .

step "Python tests, without the global interpreter lock"
within_budget "$venv/bin/python" -m pytest -q -p no:cacheprovider -m "not slow" "${FREETHREADED_TESTS[@]/#/tests/python/}"
within_budget "$venv/bin/python" -m pytest -q -p no:cacheprovider -m slow tests/python/test_threads.py
step "free-threaded checks done"
