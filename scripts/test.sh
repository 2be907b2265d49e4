#!/usr/bin/env bash
# Builds the project twice, normally and under AddressSanitizer + UndefinedBehaviorSanitizer,
# and runs the whole test suite in both builds; then builds the fuzz targets with clang
# and runs each of them for a short, fixed number of inputs. Installs what it needs first.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh || exit 1
jobs=$(nproc 2>/dev/null || echo 2)
status=0

run_suite() {
  local dir=$1
  shift
  echo "== $dir: configure and build"
  cmake -S . -B "$dir" "$@" >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j "$jobs" || return 1
  echo "== $dir: tests"
  (cd "$dir" && ctest --output-on-failure -j "$jobs")
}

mkdir -p build build-asan build-fuzz
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo || status=1
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DQUENMARK_SANITIZE=ON -DQUENMARK_BENCH=OFF || status=1
# The fuzz targets need no printer application.
CC=clang CXX=clang++ run_suite build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUENMARK_FUZZ=ON \
  -DQUENMARK_TESTS=OFF -DQUENMARK_BENCH=OFF -DQUENMARK_APP=OFF || status=1

if [[ $status -eq 0 ]]; then
  echo "== all test suites passed"
else
  echo "== some tests FAILED"
fi
exit $status
