#!/usr/bin/env bash
# Runs the whole test suite: the C++ core tests (GoogleTest, through CTest),
# the Python tests (pytest) and the examples of the Markdown pages against
# the module built from this checkout, which it installs first (quick: the
# build folder is kept between runs), so that an edit is never tested
# against an older build. Arguments go to the Python tests' pytest.
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

build=build/cpp-tests
"$PYTHON" -m cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTAGMIRE_BUILD_TESTS=ON -DTAGMIRE_WERROR=ON >/dev/null
"$PYTHON" -m cmake --build "$build" -j 2
"$build/tagmire_tests" --gtest_brief=1
"$build/tagmire_batch_tests" --gtest_brief=1

"$PYTHON" -m pip install -q --no-deps .
"$PYTHON" -m pytest "$@"

# Every Python and shell example of the Markdown pages (README.md and the
# documentation site's), run by pytest-codeblocks against the installed
# package; conftest.py says how they run.
"$PYTHON" -m pytest --codeblocks ./*.md docs
