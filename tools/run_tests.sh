#!/usr/bin/env bash
# Runs the whole test suite: the C++ core tests (GoogleTest, through CTest),
# the Python tests (pytest) and the examples of the Markdown pages against
# the module built from this checkout, which it installs first with the
# test requirements, so that an edit is never tested against an older
# build. Arguments go to the Python tests' pytest. TAGMIRE_SIMD (plain,
# sse2, avx2, neon) chooses the vector code the module runs.
#
#   PYTHON=python3.12 bash tools/run_tests.sh [pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python}
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

# GoogleTest comes from Debian's libgtest-dev.
[ -f /usr/include/gtest/gtest.h ] || bash tools/apt_install.sh libgtest-dev
# The Unicode database the generated character tables are checked against.
[ -f /usr/share/unicode/UnicodeData.txt ] || bash tools/apt_install.sh unicode-data

# The build and test requirements first: CMake and Ninja come from PyPI.
mapfile -t requirements < <("$PYTHON" tools/requirements.py build test)
"$PYTHON" -m pip install -q "${requirements[@]}"

build=build/cpp-tests
"$PYTHON" -m cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTAGMIRE_BUILD_TESTS=ON -DTAGMIRE_WERROR=ON >/dev/null
"$PYTHON" -m cmake --build "$build" -j 2
"$build/tagmire_tests" --gtest_brief=1
"$build/tagmire_batch_tests" --gtest_brief=1

# The package is built in this environment, not in an isolated one of pip's:
# scikit-build-core clears a build folder kept from a build in another
# environment, and each isolated build has a new one, so everything would
# be compiled again. Here the kept folder (build/{wheel_tag}) is reused,
# and a reinstall with nothing changed compiles nothing.
"$PYTHON" -m pip install -q --no-deps --no-build-isolation .
"$PYTHON" -m pytest "$@"

# Every Python and shell example of the Markdown pages (README.md and the
# documentation site's), run by pytest-codeblocks against the installed
# package; conftest.py says how they run (a block's `pip install .` builds
# in this environment too, into the same kept folder).
"$PYTHON" -m pytest --codeblocks ./*.md docs
