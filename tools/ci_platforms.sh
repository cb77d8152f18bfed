#!/usr/bin/env bash
# CI: the platforms that users build or install on, checked from this one
# Linux x86-64 machine, run by .ci/run in a stage of its own:
#   1. the C++ tests cross-built for aarch64 (with -Werror) and big-endian
#      s390x, and run under qemu-user;
#   2. the C++ tests built with MinGW (posix threads), run under wine;
#   3. every core file compiled for aarch64-macos and x86_64-macos by zig
#      (from PyPI), against the libc++ it ships;
#   4. the C++ tests built with clang against libc++, and run;
#   5. the extension built for aarch64 against Debian's arm64 CPython, its
#      glibc references checked, and Python tests run with that interpreter
#      under qemu (the files of ARM64_TESTS: those that need no Arrow peers
#      and fit the time).
# Every build goes through ccache and is kept under build/platforms/; zig's
# cache, the wine prefix and the arm64 interpreter are kept in the user's
# cache folder (~/.cache/tagmire-platforms), which a fresh clone on the same
# machine finds again, so a second run redoes only what changed. The wine
# prefix must stay out of the checkout: its drive Z: is a link to /, and
# whatever walks the tree (an sdist's build) would walk the whole disk. Each step is skipped, saying why, where its
# tools cannot be had (no apt-get, no network).
#
#   PYTHON=python3.11 bash tools/ci_platforms.sh [step...]   (steps: aarch64 s390x mingw zig libcxx arm64-python)
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
root=$PWD/build/platforms
cache=${XDG_CACHE_HOME:-$HOME/.cache}/tagmire-platforms
mkdir -p "$root" "$cache"
started=$SECONDS
step() { echo "--- $1 ($((SECONDS - started)) s)"; }
steps=("$@")
[ ${#steps[@]} -gt 0 ] || steps=(aarch64 s390x mingw zig libcxx arm64-python)
wanted() { [[ " ${steps[*]} " == *" $1 "* ]]; }

bash tools/apt_install.sh ccache ninja-build libgtest-dev qemu-user g++-aarch64-linux-gnu g++-s390x-linux-gnu \
  g++-mingw-w64-x86-64-posix wine64 clang libc++-dev libc++abi-dev binutils-aarch64-linux-gnu file
export CCACHE_DIR=${CCACHE_DIR:-$HOME/.cache/ccache}
cmake_common=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DTAGMIRE_BUILD_TESTS=ON -DTAGMIRE_WERROR=ON
  -DTAGMIRE_GTEST_SOURCE=/usr/src/googletest -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
configure() {  # build folder, then CMake arguments
  local build=$1
  shift
  "$PYTHON" -m cmake -S . -B "$build" "${cmake_common[@]}" "$@" >"$build.configure.log" 2>&1 ||
    { tail -n 30 "$build.configure.log"; return 1; }
}
build_tests() { "$PYTHON" -m cmake --build "$1" --target tagmire_tests tagmire_batch_tests; }

# A cross-built test binary under qemu-user, with the target's libraries
# from the cross toolchain's folder.
cross_tests() {  # architecture (aarch64, s390x)
  local arch=$1 build=$root/$1
  step "C++ tests for $arch (cross-built, under qemu-$arch)"
  configure "$build" -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR="$arch" \
    -DCMAKE_CXX_COMPILER="$arch-linux-gnu-g++" -DCMAKE_C_COMPILER="$arch-linux-gnu-gcc"
  build_tests "$build"
  for binary in tagmire_tests tagmire_batch_tests; do
    QEMU_LD_PREFIX=/usr/$arch-linux-gnu "qemu-$arch" "$build/$binary" --gtest_brief=1
  done
  # The level the environment forces is the one the first use takes.
  TAGMIRE_SIMD=plain QEMU_LD_PREFIX=/usr/$arch-linux-gnu "qemu-$arch" "$build/tagmire_tests" --gtest_brief=1 \
    --gtest_filter='TextRuns.*'
}
wanted aarch64 && cross_tests aarch64
wanted s390x && cross_tests s390x

if wanted mingw; then
  step "C++ tests built with MinGW (posix threads), under wine"
  build=$root/mingw
  # Linked statically: wine then needs no MinGW runtime DLL beside the tests.
  configure "$build" -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_CXX_COMPILER=x86_64-w64-mingw32-g++-posix \
    -DCMAKE_C_COMPILER=x86_64-w64-mingw32-gcc-posix -DCMAKE_EXE_LINKER_FLAGS=-static -Dgtest_disable_pthreads=ON
  build_tests "$build"
  export WINEPREFIX=$cache/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  for binary in tagmire_tests tagmire_batch_tests; do
    # wine may end with status 0 after a crash it caught: the run counts
    # only if GoogleTest's summary says every test passed.
    log=$build/$binary.log
    /usr/lib/wine/wine64 "$build/$binary.exe" --gtest_brief=1 >"$log" 2>&1 || true
    tr -d '\r' <"$log" | grep -v "^Running main" | head -n 80
    tr -d '\r' <"$log" | grep -q '^\[  PASSED  \] [0-9]* tests\?\.$' && ! grep -q "Unhandled" "$log" ||
      { echo "$binary failed under wine" >&2; exit 1; }
  done
  /usr/lib/wine/wineserver64 -k 2>/dev/null || true
fi

if wanted zig; then
  step "every core file compiled for macOS (aarch64 and x86_64) by zig"
  venv=$cache/venv-zig
  [ -x "$venv/bin/python" ] || "$PYTHON" -m venv "$venv"
  mapfile -t requirements < <("$PYTHON" tools/requirements.py platforms)
  "$venv/bin/python" -m pip install -q "${requirements[@]}"
  export ZIG_GLOBAL_CACHE_DIR=$cache/zig ZIG_LOCAL_CACHE_DIR=$cache/zig
  # The layers' include roots, as a configured build folder has them.
  layers=$root/aarch64/layers
  [ -d "$layers" ] || configure "$root/aarch64" -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64 \
    -DCMAKE_CXX_COMPILER=aarch64-linux-gnu-g++ -DCMAKE_C_COMPILER=aarch64-linux-gnu-gcc
  includes=()
  for layer in "$layers"/*; do includes+=(-I "$layer"); done
  mkdir -p "$root/zig-objects"
  # macOS 11, the wheels' deployment target.
  for target in aarch64-macos.11.0 x86_64-macos.11.0; do
    count=0
    for source in src/text/*.cpp src/types/*.cpp src/parser/*.cpp src/batch/*.cpp; do
      flags=()
      [ "$target" = x86_64-macos.11.0 ] && [ "$(basename "$source")" = text_runs_avx2.cpp ] && flags=(-mavx2 -mpopcnt)
      "$venv/bin/python" -m ziglang c++ -target "$target" -std=c++20 -O2 -Wall -Wextra -Wpedantic -Werror \
        "${flags[@]}" "${includes[@]}" -c "$source" -o "$root/zig-objects/$target-$(basename "$source").o"
      count=$((count + 1))
    done
    echo "$target: $count files compiled"
  done
fi

if wanted libcxx; then
  step "C++ tests built with clang against libc++"
  build=$root/libcxx
  configure "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_FLAGS=-stdlib=libc++ \
    -DCMAKE_EXE_LINKER_FLAGS="-stdlib=libc++ -lc++abi"
  build_tests "$build"
  "$build/tagmire_tests" --gtest_brief=1
  "$build/tagmire_batch_tests" --gtest_brief=1
fi

# The Python tests that run under qemu within the time (about five minutes):
# neither the Arrow peers (not installed for this interpreter), the command
# line, the leak checks nor the property tests' long runs; and not the tests
# that start a new interpreter (qemu-user runs no child process of another
# architecture without binfmt) or read the stub an install puts beside the
# module (this build is not installed).
ARM64_TESTS=(tests/python/test_parse_function.py tests/python/test_parser_config.py tests/python/test_config.py
  tests/python/test_module_surface.py tests/python/test_str_forms.py tests/python/test_records.py
  tests/python/test_result_classes.py tests/python/test_stream.py tests/python/test_hostile_inputs.py)

if wanted arm64-python; then
  step "the extension for aarch64, against Debian's arm64 CPython, tested under qemu"
  sysroot=$cache/arm64-root
  if [ ! -x "$sysroot/usr/bin/python3.11" ]; then
    # The interpreter and what it loads, unpacked into a folder of its own:
    # installed as arm64 packages, they would replace the machine's own
    # python3.11.
    dpkg --print-foreign-architectures | grep -qx arm64 || { dpkg --add-architecture arm64 && apt-get update -qq; }
    debs=$cache/arm64-debs
    mkdir -p "$debs"
    (cd "$debs" && apt-get download -qq python3.11-minimal:arm64 libpython3.11-minimal:arm64 \
      libpython3.11-stdlib:arm64 libpython3.11-dev:arm64 libpython3.11:arm64 libc6:arm64 libexpat1:arm64 \
      zlib1g:arm64 libffi8:arm64 libssl3:arm64 libbz2-1.0:arm64 liblzma5:arm64 libsqlite3-0:arm64 libuuid1:arm64 \
      libdb5.3:arm64 libncursesw6:arm64 libtinfo6:arm64 libreadline8:arm64 libcrypt1:arm64 libnsl2:arm64 \
      libtirpc3:arm64 libgcc-s1:arm64 libstdc++6:arm64 libgssapi-krb5-2:arm64 libkrb5-3:arm64 \
      libk5crypto3:arm64 libkrb5support0:arm64 libcom-err2:arm64 libkeyutils1:arm64)
    for deb in "$debs"/*.deb; do dpkg-deb -x "$deb" "$sysroot"; done
  fi
  build=$root/arm64-module
  "$PYTHON" -m cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAGMIRE_BUILD_MODULE=ON -DTAGMIRE_WERROR=ON \
    -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64 -DCMAKE_CXX_COMPILER=aarch64-linux-gnu-g++ \
    -DCMAKE_C_COMPILER=aarch64-linux-gnu-gcc -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
    -DPython_EXECUTABLE="$(command -v python3.11 || echo "$PYTHON")" -DPython_SOABI=cpython-311-aarch64-linux-gnu \
    -DPython_INCLUDE_DIR="$sysroot/usr/include/python3.11" \
    "-DCMAKE_CXX_FLAGS=-isystem $sysroot/usr/include" >"$build.configure.log" 2>&1 ||
    { tail -n 30 "$build.configure.log"; exit 1; }
  "$PYTHON" -m cmake --build "$build" --target _tagmire_rs
  # Named _tagmire_rs.so where FindPython, cross-compiling, leaves the ABI
  # tag out: CPython imports that name too.
  module=$(ls "$build"/_tagmire_rs*.so)
  file -b "$module" | grep -q "ARM aarch64" || { echo "$module is not an aarch64 object" >&2; exit 1; }
  "$PYTHON" tools/glibc_symbols.py --newest 2.28 "$module"
  # The host's pip installs pytest and hypothesis for the arm64 interpreter,
  # into a folder on its path: their wheels for aarch64, since hypothesis
  # has a native part.
  site=$cache/arm64-site
  [ -d "$site/pytest" ] || "$PYTHON" -m pip install -q --target "$site" --only-binary=:all: --implementation cp \
    --python-version 3.11 --abi cp311 --platform manylinux_2_17_aarch64 "pytest>=8" "hypothesis>=6.100"
  export QEMU_LD_PREFIX=$sysroot
  PYTHONPATH="$build:$PWD/src:$PWD:$site" qemu-aarch64 "$sysroot/usr/bin/python3.11" -c \
    'import _tagmire_rs, platform; print("imported", _tagmire_rs.__file__, "on", platform.machine())'
  PYTHONPATH="$build:$PWD/src:$PWD:$site" qemu-aarch64 "$sysroot/usr/bin/python3.11" -m pytest -q \
    -p no:cacheprovider -k "not subinterpreter and not stub" "${ARM64_TESTS[@]}"
  unset QEMU_LD_PREFIX
fi

step "platforms checked"
