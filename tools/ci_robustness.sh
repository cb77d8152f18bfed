#!/usr/bin/env bash
# Robustness checks, run by .ci/run after the normal test suite:
#   1. the C++ core tests under AddressSanitizer and UndefinedBehaviorSanitizer,
#      and the batch core's tests under ThreadSanitizer too;
#   2. the libFuzzer targets: their seed corpus replayed, then a bounded run;
#   3. the Python module built with both sanitizers and pytest run against it;
#   4. the module on Debian's debug interpreter: its assertions, and the leak
#      checks with the interpreter's total reference count;
#   5. the slow hostile-input and stress tests on the normal build;
#   6. a bounded atheris run over the Python surface, its corpus then
#      replayed against the sanitized module.
# Any finding fails the run.
#
#   PYTHON=python3.11 FUZZ_SECONDS=120 ATHERIS_SECONDS=60 bash tools/ci_robustness.sh
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python}
FUZZ_SECONDS=${FUZZ_SECONDS:-120}
ATHERIS_SECONDS=${ATHERIS_SECONDS:-60}
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore
started=$SECONDS
step() { echo "--- $1 ($((SECONDS - started)) s)"; }

# clang with libFuzzer and the sanitizer runtimes, GoogleTest, and the debug
# interpreter with its headers and venv, all from Debian.
bash tools/apt_install.sh clang libclang-rt-14-dev libgtest-dev python3-dbg python3.11-dbg libpython3.11-dbg \
  python3.11-venv

# Sanitizer reports end the process with an error; a leak report does too
# where leak checking is on (the C++ binaries, not the interpreter).
export ASAN_OPTIONS=abort_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for symbolizer in /usr/lib/llvm-14/bin/llvm-symbolizer /usr/bin/llvm-symbolizer; do
  [ -x "$symbolizer" ] && export ASAN_SYMBOLIZER_PATH=$symbolizer && break
done

step "C++ core tests, sanitized"
build=build/cpp-tests-sanitized
"$PYTHON" -m cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAGMIRE_BUILD_TESTS=ON \
  -DTAGMIRE_CHECKED=ON -DTAGMIRE_WERROR=ON >/dev/null
"$PYTHON" -m cmake --build "$build" -j 2 --target tagmire_tests tagmire_batch_tests
"$build/tagmire_tests" --gtest_brief=1
"$build/tagmire_batch_tests" --gtest_brief=1

step "batch core tests under ThreadSanitizer"
# The batch core shares rows and a configuration between native threads:
# a data race there is a real fault, whatever the tests' results say.
build=build/cpp-tests-thread
# The whole program is instrumented, the parser core included: a race inside
# an uninstrumented library would go unseen.
"$PYTHON" -m cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAGMIRE_BUILD_TESTS=ON \
  -DTAGMIRE_WERROR=ON "-DCMAKE_CXX_FLAGS=-fsanitize=thread -fno-omit-frame-pointer" \
  -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread >/dev/null
"$PYTHON" -m cmake --build "$build" -j 2 --target tagmire_batch_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 "$build/tagmire_batch_tests" --gtest_brief=1

step "fuzz targets: seed corpus replayed"
build=build/fuzz
CC=clang CXX=clang++ "$PYTHON" -m cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTAGMIRE_BUILD_FUZZERS=ON -DTAGMIRE_WERROR=ON >/dev/null
"$PYTHON" -m cmake --build "$build" -j 2
for source in fuzz/fuzz_*.cpp; do
  name=$(basename "$source" .cpp)
  "$build/${name}_replay" "fuzz/corpus/$name"
done

step "fuzz targets: ${FUZZ_SECONDS} s each"
declare -A max_len=([fuzz_reference]=2048)  # the reference parser is quadratic
pids=()
for source in fuzz/fuzz_*.cpp; do
  name=$(basename "$source" .cpp)
  work=fuzz/corpus-work/$name
  mkdir -p "$work"
  # New inputs go to the work folder; the seeds in the repository stay as they are.
  "$build/$name" "$work" "fuzz/corpus/$name" -max_total_time="$FUZZ_SECONDS" -timeout=20 -rss_limit_mb=4096 \
    -max_len="${max_len[$name]:-4096}" -print_final_stats=1 -artifact_prefix="fuzz/corpus-work/$name-" \
    >"fuzz/corpus-work/$name.log" 2>&1 &
  pids+=("$!:$name")
done
failed=0
for entry in "${pids[@]}"; do
  if wait "${entry%%:*}"; then
    name=${entry#*:}
    echo "$name: $(grep -a -E '^#[0-9]+.*DONE' "fuzz/corpus-work/$name.log" | tail -n 1)"
  else
    name=${entry#*:}
    echo "$name found a fault; its log ends:"
    tail -n 60 "fuzz/corpus-work/$name.log"
    failed=1
  fi
done
[ "$failed" = 0 ]

step "Python module, sanitized"
venv=build/venv-sanitized
[ -x "$venv/bin/python" ] || "$PYTHON" -m venv "$venv"
# pyarrow, so that parse_batch runs here with several threads too.
"$venv/bin/python" -m pip install -q pytest hypothesis numpy "pyarrow>=16"
CMAKE_ARGS="${CMAKE_ARGS:-} -DTAGMIRE_CHECKED=ON" \
  "$venv/bin/python" -m pip install -q --config-settings=build-dir="build/sanitized-{wheel_tag}" ".[fuzz]"
# The interpreter is not built with AddressSanitizer: its runtime is loaded
# first, every allocation goes through it, and the interpreter's own
# never-freed memory is not reported.
asan_runtime=$(gcc -print-file-name=libasan.so)
sanitized() {
  LD_PRELOAD="$asan_runtime" PYTHONMALLOC=malloc ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0" "$@"
}
sanitized "$venv/bin/python" -m pytest -q -p no:cacheprovider -m "slow or not slow"

step "Python module on the debug interpreter: assertions and reference leaks"
venv=build/venv-debug
[ -x "$venv/bin/python" ] || python3-dbg -m venv "$venv"
"$venv/bin/python" -m pip install -q pytest hypothesis
# Debian's python3.11d headers are links to the release ones, except
# pyconfig.h; included as system headers (-isystem), Python.h finds the
# release pyconfig.h beside its link target, and the module silently loses
# Py_DEBUG and with it the reference counting that gettotalrefcount reads.
CMAKE_ARGS="${CMAKE_ARGS:-} -DCMAKE_NO_SYSTEM_FROM_IMPORTED=ON" \
  "$venv/bin/python" -m pip install -q --config-settings=build-dir="build/debug-{wheel_tag}" .
"$venv/bin/python" - <<'CHECK'
import subprocess, sys, _tagmire_rs
assert hasattr(sys, "gettotalrefcount"), "not a debug interpreter"
symbols = subprocess.run(["nm", "-D", _tagmire_rs.__file__], capture_output=True, text=True, check=True).stdout
assert "_Py_RefTotal" in symbols, "the module was not built with the debug interpreter's pyconfig.h"
CHECK
"$venv/bin/python" -m pytest -q -p no:cacheprovider

step "slow hostile-input and stress tests"
"$PYTHON" -m pytest -q -p no:cacheprovider -m slow

step "atheris: ${ATHERIS_SECONDS} s over the Python surface"
# Coverage guides atheris only without a sanitizer runtime in front of its
# own hooks, so it fuzzes the normal build, and what it kept is then run
# once more against the sanitized one. The normal build is the one the
# interpreter under test has installed (reinstalled from this checkout, which
# ccache makes quick in CI), seen from a venv that adds atheris to it and to
# the test requirements the target also uses: building the package once
# more in a venv of its own took minutes.
"$PYTHON" -m pip install -q --no-deps .
venv=build/venv-atheris
[ -x "$venv/bin/python" ] || "$PYTHON" -m venv --system-site-packages "$venv"
"$venv/bin/python" -m pip install -q atheris
work=fuzz/corpus-work/python_api
mkdir -p "$work"
fuzz_python() {  # log file, one libFuzzer flag, then the command that runs Python
  local log=$1 flag=$2
  shift 2
  if ! "$@" fuzz/fuzz_python_api.py "$work" "$flag" -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$work-" >"$log" 2>&1; then
    echo "the Python surface fuzzer found a fault; its log ends:"
    tail -n 60 "$log"
    exit 1
  fi
  echo "python_api: $(grep -a -E '^#[0-9]+.*DONE' "$log" | tail -n 1)"
}
fuzz_python "$work.log" -max_total_time="$ATHERIS_SECONDS" "$venv/bin/python"
fuzz_python "$work-sanitized.log" -runs=0 sanitized build/venv-sanitized/bin/python

step "robustness checks passed"
