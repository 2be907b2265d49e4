#!/usr/bin/env bash
# Fuzzes one target for longer than the test suite does:
#   scripts/fuzz.sh TARGET [SECONDS]      (default 600 seconds)
# TARGET is one of job_options, doc_name, credentials, pbm_turn, printer_stream,
# raster_pipeline. Builds build-fuzz/ with clang first when needed. The corpus grows in
# build-fuzz/fuzz/scratch/TARGET/ (started from fuzz/corpus/TARGET/ and kept between
# runs); a crash leaves its input in build-fuzz/fuzz/scratch/TARGET-artifacts/. Extra
# libFuzzer flags can be given in FUZZ_FLAGS, e.g. FUZZ_FLAGS="-jobs=2 -workers=2".
set -euo pipefail
cd "$(dirname "$0")/.."

target=${1:-}
seconds=${2:-600}
if [[ -z $target || ! -f fuzz/${target}_fuzz.cpp ]]; then
  echo "usage: $0 TARGET [SECONDS]; targets:" $(cd fuzz && ls *_fuzz.cpp | sed 's/_fuzz\.cpp$//') >&2
  exit 2
fi

bash scripts/setup.sh
if [[ ! -f build-fuzz/CMakeCache.txt ]]; then
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUENMARK_FUZZ=ON \
    -DQUENMARK_TESTS=OFF -DQUENMARK_BENCH=OFF >build-fuzz.configure.log
fi
cmake --build build-fuzz -j "$(nproc 2>/dev/null || echo 2)" --target "${target}_fuzz"

corpus=build-fuzz/fuzz/scratch/$target
artifacts=build-fuzz/fuzz/scratch/$target-artifacts
mkdir -p "$corpus" "$artifacts"
cp -R -n "fuzz/corpus/$target/." "$corpus/"
dirs=("$corpus")
[[ -d fuzz/regressions/$target ]] && dirs+=("fuzz/regressions/$target")
if [[ $target == raster_pipeline ]]; then
  echo "fuzz: raster_pipeline runs the filter, which empties /tmp/quenmark for every input" >&2
fi
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
"build-fuzz/fuzz/${target}_fuzz" -max_total_time="$seconds" -close_fd_mask=3 -timeout=30 \
  -rss_limit_mb=3072 -malloc_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$artifacts/" ${FUZZ_FLAGS:-} "${dirs[@]}" || status=$?
if [[ $status -ne 0 ]]; then
  echo "fuzz: $target failed; its input is in $artifacts/ (replay: build-fuzz/fuzz/${target}_fuzz FILE)." >&2
  echo "fuzz: after the fix, keep the input in fuzz/regressions/$target/ so that the tests replay it." >&2
fi
exit $status
