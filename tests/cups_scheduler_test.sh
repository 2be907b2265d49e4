#!/usr/bin/env bash
# End to end through a real CUPS scheduler: a private cupsd with its own directories
# gets a queue with the shipped PPD and a file: device, prints the sample document
# with lp the way a user would, and the printer stream that lands in the file is
# checked with the inspector: records, flags, page numbers, decoded pages, the job
# parameters, and the pages the scheduler accounted from the filter's PAGE: lines.
#
# usage: cups_scheduler_test.sh FILTER INSPECT PPD SAMPLE_PS
# Exit 0 on success, 1 on failure, 77 (skipped) when CUPS's scheduler is not installed.
#
# The filter's work directory is the fixed /tmp/quenmark; inside the scheduler the
# filter runs as the user lp, so a directory (and the lock file beside it) that a test
# run as root left there is removed first, and what the jobs leave is removed at the end.
set -uo pipefail
# The answers of lp and lpstat are read below: untranslated.
export LC_ALL=C

if [[ $# -ne 4 ]]; then
  echo "usage: $0 FILTER INSPECT PPD SAMPLE_PS" >&2
  exit 2
fi
filter=$1 inspect=$2 ppd=$3 sample_ps=$4
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/private_cupsd.sh
source "$here/private_cupsd.sh"

if [[ -z $(private_cupsd_find) ]]; then
  echo "SKIP: cupsd is not installed (scripts/setup.sh installs it)"
  exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/quenmark-cupsd.XXXXXX") || exit 1
chmod 755 "$work"
cleanup() {
  private_cupsd_stop
  rm -rf /tmp/quenmark /tmp/quenmark.lock
  if [[ -n ${QUENMARK_KEEP_TEST_DIR:-} ]]; then
    echo "test directory kept: $work"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# --- The sample document: a real three-page PDF made from the shipped PostScript.
gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pdfwrite -sOutputFile="$work/sample.pdf" \
  "$sample_ps" || { echo "FAIL: ghostscript could not make the sample PDF" >&2; exit 1; }
if command -v pdfinfo >/dev/null; then
  check_eq "pages of the sample PDF" 3 "$(pdfinfo "$work/sample.pdf" | sed -n 's/^Pages: *//p')"
fi

rm -rf /tmp/quenmark /tmp/quenmark.lock
mkdir -p "$work/cupsd" "$work/out"
private_cupsd_start "$work/cupsd" "$filter" || exit 1

# --- The queue, as an administrator adds one. With the error policy abort-job a
# failing job does not hold the queue for the job after it.
if ! lpadmin -p qtest -E -v "file://$work/out/qtest.prn" -P "$ppd" \
  -o printer-error-policy=abort-job 2>"$work/lpadmin.err"; then
  cat "$work/lpadmin.err" >&2
  fail "lpadmin could not add the queue"
  exit 1
fi
check_eq "queue state" "printer qtest is idle." \
  "$(lpstat -p qtest 2>&1 | head -n 1 | sed 's/ *enabled since.*//')"

# submit LP-ARGS...: prints the sample on qtest; sets job to the job id.
submit() {
  local out
  job=""
  out=$(lp -d qtest "$@" "$work/sample.pdf" 2>&1) || { fail "lp $*: $out"; return 1; }
  job=$(sed -n 's/^request id is qtest-\([0-9][0-9]*\) .*/\1/p' <<<"$out")
  [[ -n $job ]] || { fail "no job id in the answer of lp: $out"; return 1; }
  echo "job $job submitted: lp $*"
}

wait_job() { private_cupsd_wait_job qtest "$1"; }

# Bytes of a PBM page file that hold at least one black pixel (the inspector writes
# the two-line header "P4\nW H\n").
pbm_ink() {
  local header
  header=$(head -n 2 "$1" | wc -c)
  tail -c +$((header + 1)) "$1" | tr -d '\000' | wc -c
}

# check_job ID: inspects the stream that job ID left in the device file. Sets
# stream_dir and the record columns firstpages, lastpages, pagenos, blanks.
check_job() {
  local id=$1
  stream_dir=$work/job$id
  # The file: device is rewritten by every job: keep this job's stream.
  cp "$work/out/qtest.prn" "$work/job$id.prn" || { fail "job $id: no output file"; return 1; }
  "$inspect" --out-dir "$stream_dir" "$work/job$id.prn" >"$work/job$id.txt" 2>&1
  local status=$?
  if [[ $status -ne 0 ]]; then
    cat "$work/job$id.txt" >&2
    fail "job $id: the inspector rejected the stream (exit $status)"
    return 1
  fi
  firstpages=$(record_column "$id" firstpage)
  lastpages=$(record_column "$id" lastpage)
  pagenos=$(record_column "$id" pageno)
  blanks=$(record_column "$id" blank)
}

# record_column JOB NAME: one column of the inspector's table of page records, found
# by its heading, as a space-separated list.
record_column() {
  awk -v name="$2" '
    /^ *# +offset/ {
      for (i = 1; i <= NF; ++i) if ($i == name) column = i
      table = 1
      next
    }
    table && column && /^ *[0-9]+ / { printf "%s%s", sep, $column; sep = " "; next }
    { table = 0 }' "$work/job$1.txt"
}

param() {  # param JOB KEY: a job parameter as the inspector lists it
  sed -n "s/^  $2 = \(.*\)\$/\1/p" "$work/job$1.txt"
}

# check_pages ID MINW MAXW MINH MAXH BLANK...: every decoded page has the size of the
# paper (600 dpi, inside the printer's margins); the sides listed as BLANK are white,
# all others carry ink.
check_pages() {
  local id=$1 minw=$2 maxw=$3 minh=$4 maxh=$5
  shift 5
  local blank=" $* " n=0 file size w h ink
  for file in "$stream_dir"/page-*.pbm; do
    [[ -e $file ]] || { fail "job $id: no decoded pages"; return; }
    n=$((n + 1))
    size=$(sed -n 2p "$file")
    w=${size% *} h=${size#* }
    if ((w < minw || w > maxw || h < minh || h > maxh)); then
      fail "job $id: $(basename "$file") is ${w}x${h}, not ${minw}-${maxw} x ${minh}-${maxh}"
    fi
    ink=$(pbm_ink "$file")
    if [[ $blank == *" $n "* ]]; then
      ((ink == 0)) || fail "job $id: side $n should be blank, has $ink bytes of ink"
    else
      ((ink > 2000)) || fail "job $id: side $n is (nearly) blank: $ink bytes of ink"
    fi
  done
  echo "ok: job $id: $n decoded sides, ink where expected"
}

# check_accounting ID EXPECTED_PAGE_LINES TOTAL: the PAGE: lines the scheduler got
# from the filter and the total it wrote to its page log.
check_accounting() {
  local id=$1 expected=$2 total=$3 lines deadline=$((SECONDS + 10))
  lines=$(grep -F "[Job $id] PAGE: " "$CUPSD_ERROR_LOG" | sed 's/.*PAGE: //' | paste -sd, -)
  check_eq "job $id: PAGE lines" "$expected" "$lines"
  until grep -q "^qtest $id total " "$CUPSD_PAGE_LOG" 2>/dev/null; do
    ((SECONDS < deadline)) || break
    sleep 0.2
  done
  check_eq "job $id: page log" "qtest $id total $total" \
    "$(grep "^qtest $id total " "$CUPSD_PAGE_LOG" 2>/dev/null)"
}

hostname=$(uname -n)
user=$(id -un)

# --- Job 1: a plain job. The title is the file name, as lp sends it.
if submit && wait_job "$job" && check_job "$job"; then
  check_eq "job $job: PageSize" A4 "$(param "$job" PageSize)"
  check_eq "job $job: Duplex" None "$(param "$job" Duplex)"
  check_eq "job $job: copies" 1 "$(param "$job" copies)"
  check_eq "job $job: DocName" sample.pdf "$(param "$job" DocName)"
  check_eq "job $job: jobId" "$job" "$(param "$job" jobId)"
  check_eq "job $job: LoginName" "$user" "$(param "$job" LoginName)"
  check_eq "job $job: HostName" "$hostname" "$(param "$job" HostName)"
  check_eq "job $job: firstpage" "1 0 0" "$firstpages"
  check_eq "job $job: lastpage" "0 0 1" "$lastpages"
  check_eq "job $job: pageno" "1 2 3" "$pagenos"
  check_eq "job $job: blank" "no no no" "$blanks"
  # A4 at 600 dpi is 4961 x 7016 dots; the rasterizer leaves out the margins.
  check_pages "$job" 4500 4961 6500 7016
  check_accounting "$job" "1 1,2 1,3 1" 3
fi

# --- Job 2: two uncollated copies, two-sided long edge, A5, with a title of its own.
# Three pages two-sided make two sheets, the second with a blank back; each sheet
# goes out twice in a row. The blank back is not accounted as a printed page.
if submit -n 2 -o sides=two-sided-long-edge -o media=A5 -t "scheduler-test.pdf (A5, two-sided)" &&
  wait_job "$job" && check_job "$job"; then
  check_eq "job $job: PageSize" A5 "$(param "$job" PageSize)"
  check_eq "job $job: Duplex" DuplexNoTumble "$(param "$job" Duplex)"
  check_eq "job $job: copies" 2 "$(param "$job" copies)"
  check_eq "job $job: DocName" scheduler-test.pdf "$(param "$job" DocName)"
  check_eq "job $job: jobId" "$job" "$(param "$job" jobId)"
  check_eq "job $job: firstpage" "1 0 1 0 0 0 0 0" "$firstpages"
  check_eq "job $job: lastpage" "0 0 0 0 0 0 0 1" "$lastpages"
  check_eq "job $job: pageno" "1 2 3 4 5 6 7 8" "$pagenos"
  check_eq "job $job: blank" "no no no no no yes no yes" "$blanks"
  # A5 at 600 dpi is 3508 x 4961 dots.
  check_pages "$job" 3100 3508 4500 4961 6 8
  # The copies of a sheet are the same pictures; the two sides of a sheet differ.
  for pair in "1 3" "2 4" "5 7" "6 8"; do
    read -r first second <<<"$pair"
    a=$(printf '%s/page-%03d.pbm' "$stream_dir" "$first")
    b=$(printf '%s/page-%03d.pbm' "$stream_dir" "$second")
    cmp -s "$a" "$b" || fail "job $job: sides $first and $second should be the same copy"
  done
  cmp -s "$stream_dir/page-001.pbm" "$stream_dir/page-002.pbm" &&
    fail "job $job: front and back of the first sheet are the same picture"
  check_accounting "$job" "1 2,2 2,3 2" 6
fi

if ((failures > 0)); then
  echo "cups_scheduler_test: $failures check(s) failed; the scheduler's log:" >&2
  tail -n 60 "$CUPSD_ERROR_LOG" >&2
  exit 1
fi
echo "cups_scheduler_test: all checks passed"
exit 0
