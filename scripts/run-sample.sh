#!/usr/bin/env bash
# Prints the sample document the way CUPS would print it on a Quenmark printer, and
# shows what the printer receives.
#
#   scripts/run-sample.sh [CUPSFILTER-OPTION...]
#
# Installs what is missing (scripts/setup.sh), builds the filter, the inspector and
# the PPD into build/, makes out/sample.pdf (three pages of text and rules) from
# samples/sample.ps, and runs it through CUPS's own filter chain with cupsfilter and
# the shipped PPD: pdftopdf, the rasterizer and then our filter, as the scheduler
# chains them. The printer stream goes to out/sample.prn, the filter chain's log to
# out/sample.log, and the inspector's pictures of the sheet sides to out/page-NNN.png
# (and .pbm).
#
# Options are handed to cupsfilter, for instance
#   scripts/run-sample.sh -n 2 -o sides=two-sided-long-edge -o media=A5
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/setup.sh

jobs=$(nproc 2>/dev/null || echo 2)
if ! cmake -S . -B build >build.configure.log 2>&1; then
  cat build.configure.log >&2
  exit 1
fi
cmake --build build -j "$jobs" --target tavrel_quenbrisk quenmark_inspect quenmark_mkraster quenmark_ppd

filter=$root/build/tavrel_quenbrisk
inspect=$root/build/quenmark_inspect
ppd=$root/build/ppd/quenmark.ppd
for file in "$filter" "$inspect" "$ppd"; do
  [[ -e $file ]] || { echo "run-sample: the build made no $file" >&2; exit 1; }
done

out=$root/out
mkdir -p "$out"
rm -f "$out"/page-*.png "$out"/page-*.pbm "$out/sample.prn"
gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pdfwrite -sOutputFile="$out/sample.pdf" \
  samples/sample.ps

# cupsfilter runs the filters it finds in CUPS's ServerBin. A private one, named by a
# private cups-files.conf, holds CUPS's own programs and our filter beside them.
private=$(mktemp -d "${TMPDIR:-/tmp}/quenmark-sample.XXXXXX")
trap 'rm -rf "$private"' EXIT
bash scripts/private-serverbin.sh "$private/bin" "$filter"
echo "ServerBin $private/bin" >"$private/cups-files.conf"

cupsfilter=$(command -v cupsfilter || echo /usr/sbin/cupsfilter)
echo "== printing out/sample.pdf through: $("$cupsfilter" -c "$private/cups-files.conf" \
  -p "$ppd" -e -m printer/quenmark --list-filters "$out/sample.pdf" 2>/dev/null |
  paste -sd' ' - | sed 's/ / -> /g')"
# -e: every filter named by the PPD, so the chain ends in the printer's own format.
if ! "$cupsfilter" -c "$private/cups-files.conf" -p "$ppd" -e -m printer/quenmark \
  -t sample.pdf "$@" "$out/sample.pdf" >"$out/sample.prn" 2>"$out/sample.log"; then
  tail -n 30 "$out/sample.log" >&2
  echo "run-sample: the filter chain failed; its log is out/sample.log" >&2
  exit 1
fi
echo "== printer stream: out/sample.prn ($(stat -c %s "$out/sample.prn") bytes)," \
  "filter chain log: out/sample.log"

status=0
"$inspect" --out-dir "$out" "$out/sample.prn" || status=$?
pages=("$out"/page-*.png)
if [[ -e ${pages[0]} ]]; then
  echo "== ${#pages[@]} sheet side(s) as PNG pictures:"
  printf '   %s\n' "${pages[@]#"$root"/}"
fi
exit $status
