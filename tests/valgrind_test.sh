#!/usr/bin/env bash
# The filter under valgrind's memcheck on a three-page two-sided job with two uncollated
# copies (holding buffers, a blank back side, repeated pairs): no invalid read or write,
# no use of undefined values, nothing "definitely lost", and a sound stream.
#
# usage: valgrind_test.sh FILTER MKRASTER INSPECT PPD SUPPRESSIONS
# Exit 0 on success, 1 on failure, 77 (skipped) when valgrind is not installed.
set -uo pipefail
export LC_ALL=C
if [[ $# -ne 5 ]]; then
  echo "usage: $0 FILTER MKRASTER INSPECT PPD SUPPRESSIONS" >&2
  exit 2
fi
filter=$1 mkraster=$2 inspect=$3 ppd=$4 suppressions=$5
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/private_cupsd.sh
source "$here/private_cupsd.sh"

if ! command -v valgrind >/dev/null; then
  echo "SKIP: valgrind is not installed (scripts/setup.sh installs it)"
  exit 77
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/quenmark-valgrind.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT

"$mkraster" --pages 3 --size A5 --content random "$work/job.ras" || { fail "raster maker"; exit 1; }
PPD=$ppd valgrind --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite \
  --track-origins=yes --suppressions="$suppressions" --error-exitcode=99 \
  --log-file="$work/valgrind.log" \
  "$filter" 12 alice report.pdf 2 "sides=two-sided-long-edge" \
  <"$work/job.ras" >"$work/job.prn" 2>"$work/filter.log"
status=$?
sed -n '/HEAP SUMMARY/,$p' "$work/valgrind.log"
if [[ $status -ne 0 ]]; then
  cat "$work/valgrind.log" >&2
  tail -n 20 "$work/filter.log" >&2
  fail "the filter under valgrind ended with status $status"
  exit 1
fi
grep -q "ERROR SUMMARY: 0 errors" "$work/valgrind.log" || { fail "valgrind found errors"; exit 1; }
if grep -q "definitely lost: [1-9]" "$work/valgrind.log"; then
  fail "memory definitely lost"
  exit 1
fi
listing=$("$inspect" --no-decode "$work/job.prn") || { echo "$listing" >&2; fail "inspector"; exit 1; }
check_eq "verdict" "Stream OK: 8 page records" "$(grep -o 'Stream OK: [0-9]* page records' <<<"$listing")"
[[ $failures -eq 0 ]] || exit 1
echo "PASS: memcheck clean on 3 pages, two-sided, 2 uncollated copies"
