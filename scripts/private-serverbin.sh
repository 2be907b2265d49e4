#!/usr/bin/env bash
# Makes a private CUPS ServerBin: CUPS's own filters, backends and helpers, and our
# filter beside them, so that cupsfilter or a private cupsd runs our filter inside
# CUPS's own filter chain without it being installed.
#
#   scripts/private-serverbin.sh [--copy] BIN FILTER
#
# BIN is created (its parent must exist). CUPS's programs stay where they are
# (symbolic links); only BIN/filter is a directory of its own, so that FILTER can
# join it under its own name, in place of an installed copy if there is one. With
# --copy FILTER is copied (mode 0755) rather than linked: under a scheduler the
# filters run as the user lp, who may not reach the build tree (/root). BIN and
# BIN/filter are made readable for everyone for the same reason.
#
# A cups-files.conf with the line "ServerBin BIN" points cupsfilter (-c) or cupsd
# (-s) at it.
set -euo pipefail

copy=0
if [[ ${1:-} == --copy ]]; then
  copy=1
  shift
fi
if [[ $# -ne 2 ]]; then
  echo "usage: $0 [--copy] BIN FILTER" >&2
  exit 2
fi
bin=$1 filter=$2
[[ -f $filter ]] || { echo "$0: no filter at $filter" >&2; exit 1; }
serverbin=$(cups-config --serverbin 2>/dev/null || echo /usr/lib/cups)

mkdir -p "$bin/filter"
chmod 755 "$bin" "$bin/filter"
for entry in "$serverbin"/*; do
  [[ $(basename "$entry") == filter ]] || ln -sfn "$entry" "$bin/"
done
for entry in "$serverbin"/filter/*; do
  ln -sfn "$entry" "$bin/filter/"
done
target=$bin/filter/$(basename "$filter")
rm -f "$target"
if ((copy)); then
  install -m 0755 "$filter" "$target"
else
  ln -s "$(cd "$(dirname "$filter")" && pwd)/$(basename "$filter")" "$target"
fi
