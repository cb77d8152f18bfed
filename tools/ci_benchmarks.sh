#!/usr/bin/env bash
# CI: every benchmark at tiny sizes, so that none of them rots. Timing never
# fails this script (the machine is shared and noisy); a crash or an error
# does. The real figures come from `python bench/run_all.py --write-docs`,
# which rewrites BENCHMARKS.md and its plot; the quick run here writes its
# report and plot under build/ only, which checks the writer and the plot.
#
#   PYTHON=python3.12 bash tools/ci_benchmarks.sh
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python}

# Google Benchmark comes from Debian's libbenchmark-dev.
[ -f /usr/include/benchmark/benchmark.h ] || bash tools/apt_install.sh libbenchmark-dev

# The peers of the bench extra, without reinstalling the module itself.
mapfile -t peers < <("$PYTHON" tools/requirements.py bench)
"$PYTHON" -m pip install -q "${peers[@]}"
"$PYTHON" -c 'import _tagmire_rs' 2>/dev/null || "$PYTHON" -m pip install -q .

build=build/bench
"$PYTHON" -m cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DTAGMIRE_BUILD_BENCHMARKS=ON -DTAGMIRE_WERROR=ON >/dev/null
"$PYTHON" -m cmake --build "$build" -j 2
"$build/tagmire_scaling" 4096 16384 >/dev/null

"$PYTHON" bench/run_all.py --quick --out build/bench-results-quick
for written in BENCHMARKS.md docs/images/throughput.svg; do
  [ -s "build/bench-results-quick/$written" ] || { echo "the quick run wrote no $written" >&2; exit 1; }
done
# The batch parser and the command line (pyarrow comes with the test extra).
"$PYTHON" bench/batch.py --quick
"$PYTHON" bench/stream.py --quick
# The command line's memory on one long answer, at a tiny size.
"$PYTHON" bench/json_lines_memory.py --mb 2
