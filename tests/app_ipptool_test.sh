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

# The samples: ipptool reads every file a test names before it decides to skip the test,
# and gives up on the rest of the file when one is missing. Those the printer is sent
# (the raster types and resolutions it advertises) are made by our raster maker; the
# others stand there empty, for the tests that are skipped.
make_sample() {  # make_sample TYPE DPI NAME FILE
  local type=$1 dpi=$2 name=$3 file=$4 size pages=1
  case $name in
    *4x6*) size=288x432 ;;
    *a4*) size=A4 ;;
    *letter*) size=Letter ;;
  esac
  [[ $name == document-* ]] && pages=3
  "$mkraster" --pwg "$type" -r "$dpi" -n "$pages" --size "$size" "$file"
}
samples=0 placeholders=0
while read -r sample; do
  file=$work/tests/$sample
  mkdir -p "$(dirname "$file")"
  if [[ $sample =~ ^pwg-raster-samples-(600|1200)dpi/(black-1|sgray-8|srgb-8)/(.*)-[a-z0-9]+-[0-9]+-[0-9]+dpi\.pwg$ ]]; then
    type=${BASH_REMATCH[2]//-/_}
    make_sample "$type" "${BASH_REMATCH[1]}" "${BASH_REMATCH[3]}" "$file" ||
      { echo "FAIL: cannot make sample $sample" >&2; exit 1; }
    samples=$((samples + 1))
  else
    : >"$file"
    placeholders=$((placeholders + 1))
  fi
done < <(grep -h '^[[:space:]]*FILE pwg-raster-samples' "$work/tests/ipp-everywhere.test" | awk '{print $2}' | sort -u)
echo "made $samples PWG raster samples ($placeholders empty stand-ins for samples the printer is not sent)"

# The documents the IPP/1.1 and 2.0 tests print: PDF and PostScript on A4 and Letter,
# and two JPEG photos, made with ghostscript.
document_ps() {  # document_ps WIDTH HEIGHT
  printf '%%!PS\n<< /PageSize [%s %s] >> setpagedevice\n/Helvetica findfont 24 scalefont setfont\n' "$1" "$2"
  printf '1 1 3 { 72 %s 100 sub moveto (Page ) show 3 string cvs show 0.5 setgray 72 72 200 200 rectfill 0 setgray showpage } for\n' "$2"
}
document_ps 595 842 >"$work/tests/document-a4.ps"
document_ps 612 792 >"$work/tests/document-letter.ps"
for name in document-a4 document-letter; do
  gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pdfwrite -sOutputFile="$work/tests/$name.pdf" \
    "$work/tests/$name.ps" || { echo "FAIL: ghostscript could not make $name.pdf" >&2; exit 1; }
done
gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=jpeg -r72 -g432x288 -sOutputFile="$work/tests/color.jpg" \
  -c '1 0 0 setrgbcolor 0 0 216 288 rectfill 0 0 1 setrgbcolor 216 0 216 288 rectfill showpage' &&
  gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=jpeggray -r72 -g432x288 -sOutputFile="$work/tests/gray.jpg" \
    -c '0.3 setgray 0 0 216 288 rectfill showpage' ||
  { echo "FAIL: ghostscript could not make the JPEG photos" >&2; exit 1; }
cp "$work/tests/document-a4.pdf" "$work/document.pdf"

# Failures that PAPPL 1.3 itself causes and an application cannot mend, each with its
# reason; any other failure fails this test.
known_pappl_failures=(
  # PAPPL lists no job-state-reasons for a job held by job-hold-until: the reason
  # "job-hold-until-specified" lies outside the bits it writes out.
  "Print-Job with job-hold-until"
)

status=0
for test in ipp-everywhere.test get-printer-attributes.test; do
  echo "== ipptool -t $test"
  (cd "$work/tests" && ipptool -T 60 -f "$work/document.pdf" -t "$uri" "$test") >"$work/$test.out" 2>&1
  result=$?
  echo "$test: $(grep -c '\[PASS\]' "$work/$test.out") passed, $(grep -c '\[FAIL\]' "$work/$test.out") failed, $(grep -c '\[SKIP\]' "$work/$test.out") skipped"
  # ipptool gives up on a test file that names a file it cannot read, and still exits 0.
  if grep -q 'cannot be read' "$work/$test.out"; then
    grep 'cannot be read' "$work/$test.out" >&2
    result=1
  fi
  # ipptool's exit status does not count the failures of the files a test includes.
  while read -r failed; do
    known=0
    for name in "${known_pappl_failures[@]}"; do [[ $failed == "$name" ]] && known=1; done
    if ((known)); then
      echo "known PAPPL failure: $failed"
    else
      echo "FAIL: $test: $failed" >&2
      result=1
    fi
  done < <(sed -n 's/^ *\(.*[^ ]\) *\[FAIL\]$/\1/p' "$work/$test.out")
  if [[ $result -ne 0 ]]; then
    echo "FAIL: ipptool $test" >&2
    grep -B2 -A20 '\[FAIL\]' "$work/$test.out" >&2
    kill -0 "$APP_PID" 2>/dev/null || echo "the server is gone; its output and the end of its log:" >&2
    tail -n 20 "$work/server.out" >&2
    tail -n 60 "$work/server.log" >&2
    status=1
  fi
done
# The samples the printer was sent left their streams in the device directory (one file
# per job name), once the jobs, which wait their turn, have ended (a held job waits for
# ever).
printf '{ OPERATION Get-Jobs GROUP operation-attributes-tag %s %s %s %s STATUS successful-ok DISPLAY job-state }\n' \
  'ATTR charset attributes-charset utf-8' 'ATTR naturalLanguage attributes-natural-language en' \
  'ATTR uri printer-uri $uri' 'ATTR keyword requested-attributes job-state' >"$work/jobs.test"
for ((tries = 0; tries < 240; ++tries)); do
  ipptool -t -T 10 "$uri" "$work/jobs.test" >"$work/jobs.out" 2>&1 || break
  grep -Eq '= (pending|processing)$' "$work/jobs.out" || break
  sleep 0.5
done
printed=$(find "$work/dev" -name '*.prn' -size +0 | wc -l)
echo "device files written: $printed"
if ((printed < 5)); then
  echo "FAIL: the printer wrote only $printed device files" >&2
  status=1
fi
for file in "$work"/dev/*.prn; do
  [[ -s $file ]] || continue
  if [[ $(head -c 12 "$file") != kv7310_param ]]; then
    echo "FAIL: $(basename "$file") is not a printer stream" >&2
    status=1
  fi
done
exit $status
