#!/bin/sh
# run-target.sh FUZZER SEEDS REGRESSIONS WORKDIR [libFuzzer flags...]
# Runs a fuzz target on a fresh copy of its seed corpus, so that what it finds stays in
# the build directory, plus the saved crash inputs when there are any. Any crash, leak
# or broken check makes the fuzzer, and so this script, exit non-zero.
set -eu
fuzzer=$1 seeds=$2 regressions=$3 work=$4
shift 4
rm -rf "$work"
mkdir -p "$work/corpus" "$work/artifacts"
cp -R "$seeds/." "$work/corpus/"
set -- "$@" -artifact_prefix="$work/artifacts/" "$work/corpus"
if [ -d "$regressions" ]; then
  set -- "$@" "$regressions"
fi
exec "$fuzzer" "$@"
