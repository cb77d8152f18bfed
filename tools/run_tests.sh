#!/usr/bin/env bash
# Runs the whole test suite: the C++ core tests (GoogleTest, through CTest)
# and the Python tests (pytest) against the installed module.
#
#   PYTHON=python3.12 bash tools/run_tests.sh
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python}

# GoogleTest comes from Debian's libgtest-dev.
if [ ! -f /usr/include/gtest/gtest.h ]; then
  SUDO=$([ "$(id -u)" = 0 ] || echo sudo)
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq libgtest-dev
fi

build=build/cpp-tests
"$PYTHON" -m cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTAGMIRE_BUILD_TESTS=ON -DTAGMIRE_WERROR=ON >/dev/null
"$PYTHON" -m cmake --build "$build" -j 2
"$build/tagmire_tests" --gtest_brief=1
"$build/tagmire_batch_tests" --gtest_brief=1

"$PYTHON" -m pytest
