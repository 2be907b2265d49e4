#!/usr/bin/env bash
# Measures what the filter and quenmark_convert cost per page against the JBIG encoder
# alone, and their peak memory (not part of the test suite). Installs what is missing
# (scripts/setup.sh), makes an optimised build in build-bench/ and runs
# build-bench/bench/filter_bench, which prints one table and fails when an output misses a
# page.
#
#   scripts/bench.sh [--rounds N] [--a4-pages N] [--a5-pages N] [--keep] [--enforce-goals]
#   scripts/bench.sh --memory     # peak memory of A4 jobs of 10 and 40 pages
#   scripts/bench.sh --app [--rounds N] [--pages N]   # a job through the printer application
#   scripts/bench.sh --jbig [--rounds N] [--instructions]   # our JBIG coder against libjbig
#
# Other heavy work on the machine makes the wall times noisy: run it on a quiet machine.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

jobs=$(nproc 2>/dev/null || echo 2)
if ! cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQUENMARK_TESTS=OFF \
  >build-bench.configure.log 2>&1; then
  cat build-bench.configure.log >&2
  exit 1
fi
if [[ ${1:-} == --app ]]; then
  shift
  cmake --build build-bench -j "$jobs" --target app_bench
  exec build-bench/bench/app_bench "$@"
fi
if [[ ${1:-} == --jbig ]]; then
  shift
  cmake --build build-bench -j "$jobs" --target jbig_bench
  exec build-bench/bench/jbig_bench "$@"
fi
cmake --build build-bench -j "$jobs" --target filter_bench
[[ -x build-bench/bench/filter_bench ]] || {
  echo "bench: no build-bench/bench/filter_bench (is libbenchmark-dev installed?)" >&2
  exit 1
}
exec build-bench/bench/filter_bench "$@"
