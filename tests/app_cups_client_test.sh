#!/usr/bin/env bash
# A real client of the printer application: a private CUPS scheduler gets a driverless
# queue for the application's printer (lpadmin -m everywhere, the way CUPS sets up any
# IPP Everywhere printer), prints the sample PDF with lp, and the job must complete in
# CUPS while the stream the application wrote decodes to the document's pages.
#
# usage: app_cups_client_test.sh APP FILTER INSPECT SAMPLE_PS
# Exit 0 on success, 1 on failure, 77 (skipped) when CUPS's scheduler is not installed.
set -uo pipefail
export LC_ALL=C

if [[ $# -ne 4 ]]; then
  echo "usage: $0 APP FILTER INSPECT SAMPLE_PS" >&2
  exit 2
fi
app=$1 filter=$2 inspect=$3 sample_ps=$4
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/private_cupsd.sh
source "$here/private_cupsd.sh"
# shellcheck source=tests/app_server.sh
source "$here/app_server.sh"

if [[ -z $(private_cupsd_find) ]]; then
  echo "SKIP: cupsd is not installed (scripts/setup.sh installs it)"
  exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/quenmark-app-cups.XXXXXX") || exit 1
chmod 755 "$work"
cleanup() {
  private_cupsd_stop
  app_stop
  if [[ -n ${QUENMARK_KEEP_TEST_DIR:-} ]]; then echo "test directory kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM

gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pdfwrite -sOutputFile="$work/sample.pdf" "$sample_ps" ||
  { echo "FAIL: ghostscript could not make the sample PDF" >&2; exit 1; }

mkdir -p "$work/app/dev" "$work/cupsd"
app_start "$work/app" "$app" || exit 1
app_add_printer cups-laser "file://$work/app/dev" || { echo "FAIL: cannot add the printer" >&2; exit 1; }
private_cupsd_start "$work/cupsd" "$filter" || exit 1

# CUPS asks the printer what it can do and makes the queue's PPD from the answer.
if ! lpadmin -p appq -E -v "ipp://localhost:$APP_PORT/ipp/print/cups-laser" -m everywhere \
  2>"$work/lpadmin.err"; then
  cat "$work/lpadmin.err" >&2
  fail "lpadmin -m everywhere could not add the queue"
  exit 1
fi
echo "ok: queue appq made from the printer's IPP attributes"
out=$(lp -d appq -t report.pdf "$work/sample.pdf" 2>&1) || { fail "lp: $out"; exit 1; }
job=$(sed -n 's/^request id is appq-\([0-9][0-9]*\) .*/\1/p' <<<"$out")
[[ -n $job ]] || { fail "no job id in the answer of lp: $out"; exit 1; }
echo "job $job submitted"
# CUPS sends the PDF on as it is: the application's ghostscript path renders it.

deadline=$((SECONDS + 180))
until grep -qF "[Job $job] Job completed." "$CUPSD_ERROR_LOG"; do
  if grep -qE "\[Job $job\] Job (stopped|aborted)" "$CUPSD_ERROR_LOG" || ((SECONDS >= deadline)); then
    fail "job $job did not complete in CUPS"
    grep -F "[Job $job]" "$CUPSD_ERROR_LOG" | tail -n 40 >&2
    tail -n 40 "$work/app/server.log" >&2
    exit 1
  fi
  sleep 0.5
done
echo "ok: CUPS reports job $job completed"

# The application names the device file after the job's name, which CUPS sends.
stream=$work/app/dev/report.pdf.prn
for ((tries = 0; tries < 100; ++tries)); do
  [[ -s $stream ]] && grep -q 'Completed' <(grep -F '[Job ' "$work/app/server.log") && break
  sleep 0.2
done
if ! "$inspect" --out-dir "$work/pages" "$stream" >"$work/inspect.txt" 2>&1; then
  cat "$work/inspect.txt" >&2
  fail "the application's output is not a sound printer stream"
  exit 1
fi
pages=$(ls "$work/pages"/page-*.pbm 2>/dev/null | wc -l)
check_eq "pages in the application's output" 3 "$pages"
for file in "$work/pages"/page-*.pbm; do
  size=$(sed -n 2p "$file")
  w=${size% *} h=${size#* }
  # A4 at 600 dpi, the whole sheet as CUPS rasterizes it for IPP Everywhere.
  if ((w < 4950 || w > 4970 || h < 7005 || h > 7025)); then
    fail "$(basename "$file") is ${w}x${h}, not an A4 sheet at 600 dpi"
  fi
  header=$(head -n 2 "$file" | wc -c)
  ink=$(tail -c +$((header + 1)) "$file" | tr -d '\000' | wc -c)
  ((ink > 2000)) || fail "$(basename "$file") is (nearly) blank"
done
check_eq "DocName" report.pdf "$(sed -n 's/^  DocName = \(.*\)$/\1/p' "$work/inspect.txt")"

# The PPD CUPS made from the printer's answer (it is written a moment after lpadmin):
# the printer's sizes and its two-sided modes.
ppd=$work/cupsd/root/ppd/appq.ppd
for ((tries = 0; tries < 100; ++tries)); do
  [[ -s $ppd ]] && break
  sleep 0.2
done
grep -q '^\*PageSize A4' "$ppd" || fail "the queue's PPD has no A4"
grep -q '^\*PageSize A5' "$ppd" || fail "the queue's PPD has no A5"
grep -q 'DuplexNoTumble' "$ppd" || fail "the queue's PPD offers no two-sided printing"

if ((failures > 0)); then
  echo "app_cups_client_test: $failures check(s) failed" >&2
  exit 1
fi
echo "app_cups_client_test: all checks passed"
exit 0
