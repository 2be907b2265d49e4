#!/usr/bin/env bash
# The printer application against CUPS's own IPP conformance tests: ipptool runs
# ipp-everywhere.test (which includes the IPP/1.1 and IPP/2.0 tests) and
# get-printer-attributes.test from cups-ipp-utils against a printer on a file: device.
# The PWG raster samples that ipp-everywhere.test prints are made here by our raster
# maker, for each raster type the printer takes, at the resolutions it takes.
#
# usage: app_ipptool_test.sh APP MKRASTER
# Exit 0 on success, 1 on failure, 77 (skipped) without ipptool and its tests.
set -uo pipefail
export LC_ALL=C

if [[ $# -ne 2 ]]; then
  echo "usage: $0 APP MKRASTER" >&2
  exit 2
fi
app=$1 mkraster=$2
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/app_server.sh
source "$here/app_server.sh"

tests_dir=/usr/share/cups/ipptool
if ! command -v ipptool >/dev/null || [[ ! -f $tests_dir/ipp-everywhere.test ]]; then
  echo "SKIP: ipptool and its tests are not installed (cups-ipp-utils; scripts/setup.sh installs it)"
  exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/quenmark-ipptool.XXXXXX") || exit 1
cleanup() {
  app_stop
  if [[ -n ${QUENMARK_KEEP_TEST_DIR:-} ]]; then echo "test directory kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM

mkdir -p "$work/dev" "$work/tests"
app_start "$work" "$app" || exit 1
app_add_printer ipptool-laser "file://$work/dev" || { echo "FAIL: cannot add the printer" >&2; exit 1; }
uri="ipp://localhost:$APP_PORT/ipp/print/ipptool-laser"

# ipptool finds the files a test names beside the test file: the tests are copied, as
# they are, into a directory that also holds the samples.
cp "$tests_dir"/ipp-everywhere.test "$tests_dir"/ipp-2.0.test "$tests_dir"/ipp-1.1.test \
  "$tests_dir"/get-printer-attributes.test "$work/tests/"

# The samples: every file ipp-everywhere.test names for the types and resolutions the
# printer advertises. Photos (4x6 in) become one page, documents three.
make_sample() {  # make_sample TYPE DPI NAME
  local type=$1 dpi=$2 name=$3 size pages=1 dir
  dir=$work/tests/pwg-raster-samples-${dpi}dpi/${type//_/-}
  mkdir -p "$dir"
  case $name in
    *4x6*) size=288x432 ;;
    *a4*) size=A4 ;;
    *letter*) size=Letter ;;
  esac
  [[ $name == document-* ]] && pages=3
  "$mkraster" --pwg "$type" -r "$dpi" -n "$pages" --size "$size" \
    "$dir/$name-${type//_/-}-${dpi}dpi.pwg" || return 1
}
samples=0
for dpi in 600 1200; do
  for type in black_1 sgray_8 srgb_8; do
    for name in color.jpg-4x6 gray.jpg-4x6 document-a4 document-letter onepage-a4 onepage-letter; do
      [[ $type == srgb_8 && $name == gray.jpg-4x6 ]] && continue
      grep -q "pwg-raster-samples-${dpi}dpi/${type//_/-}/$name-${type//_/-}-${dpi}dpi.pwg" \
        "$work/tests/ipp-everywhere.test" || continue
      make_sample "$type" "$dpi" "$name" || { echo "FAIL: cannot make sample $name" >&2; exit 1; }
      samples=$((samples + 1))
    done
  done
done
echo "made $samples PWG raster samples"

# The document the IPP/1.1 tests print: a PDF of our sample.
gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pdfwrite -sOutputFile="$work/document.pdf" \
  "$here/../samples/sample.ps" || { echo "FAIL: ghostscript could not make the PDF" >&2; exit 1; }

status=0
for test in ipp-everywhere.test get-printer-attributes.test; do
  echo "== ipptool -t $test"
  (cd "$work/tests" && ipptool -T 60 -f "$work/document.pdf" -t "$uri" "$test") >"$work/$test.out" 2>&1
  result=$?
  grep -E '\[(PASS|FAIL)\]' "$work/$test.out" | sed 's/^ *//' | sort | uniq -c | sort -rn | head -n 3
  echo "$test: $(grep -c '\[PASS\]' "$work/$test.out") passed, $(grep -c '\[FAIL\]' "$work/$test.out") failed, $(grep -c '\[SKIP\]' "$work/$test.out") skipped"
  if [[ $result -ne 0 ]]; then
    echo "FAIL: ipptool $test exited $result" >&2
    grep -B2 -A20 '\[FAIL\]' "$work/$test.out" >&2
    status=1
  fi
done
# Every sample printed: each one's job left a stream in the device directory.
printed=$(find "$work/dev" -name '*.prn' -size +0 | wc -l)
echo "device files written: $printed"
if ((printed < 3)); then
  echo "FAIL: the printer wrote only $printed device files" >&2
  status=1
fi
exit $status
