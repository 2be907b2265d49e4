#!/usr/bin/env bash
# The install rules, checked in a DESTDIR: the filter lands in CUPS's filter directory
# with mode 0755, the PPD in CUPS's model directory, the tools in the bin directory and
# their manual pages in the man directory, whatever the install prefix; cupstestppd
# accepts the installed PPD with the installed filter; and a CUPS scheduler whose data
# directory holds the installed model directory lists the PPD in `lpinfo -m` and adds
# a queue with `lpadmin -m`.
#
# usage: install_test.sh CMAKE BUILD_DIR
# Exit 0 on success, 1 on failure, 77 (skipped) when CUPS's scheduler is not installed.
set -uo pipefail
# The answers of lp and lpstat are read below: untranslated.
export LC_ALL=C

if [[ $# -ne 2 ]]; then
  echo "usage: $0 CMAKE BUILD_DIR" >&2
  exit 2
fi
cmake=$1 build=$2
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/private_cupsd.sh
source "$here/private_cupsd.sh"

if [[ -z $(private_cupsd_find) ]]; then
  echo "SKIP: cupsd is not installed (scripts/setup.sh installs it)"
  exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/quenmark-install.XXXXXX") || exit 1
chmod 755 "$work"
cleanup() {
  private_cupsd_stop
  if [[ -n ${QUENMARK_KEEP_TEST_DIR:-} ]]; then
    echo "test directory kept: $work"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# check_file PATH MODE ORIGINAL: an installed regular file with its mode, the same
# bytes as the file in the build tree.
check_file() {
  if [[ ! -f $1 || -L $1 ]]; then
    fail "not installed as a regular file: $1"
    return
  fi
  check_eq "mode of ${1#"$work"}" "$2" "$(stat -c %a "$1")"
  cmp -s "$1" "$3" || fail "$1 differs from $3"
}
cache_value() {  # cache_value NAME: a variable of the build's CMake cache
  sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"
}

serverbin=$(cups-config --serverbin)
datadir=$(cups-config --datadir)
filter=$build/tavrel_quenbrisk
ppd=$(cache_value QUENMARK_PPD_FILE)
[[ -n $ppd ]] || ppd=$build/ppd/quenmark.ppd

# --- Install for /usr, as a distribution package would.
dest=$work/usr-prefix
if ! DESTDIR=$dest "$cmake" --install "$build" --prefix /usr >"$work/install.log" 2>&1; then
  cat "$work/install.log" >&2
  fail "cmake --install --prefix /usr failed"
  exit 1
fi
installed_filter=$dest$serverbin/filter/tavrel_quenbrisk
installed_ppd=$dest$datadir/model/quenmark/quenmark.ppd
check_file "$installed_filter" 755 "$filter"
check_file "$installed_ppd" 644 "$ppd"
for tool in quenmark_convert quenmark_inspect quenmark_mkraster; do
  check_file "$dest/usr/bin/$tool" 755 "$build/$tool"
  check_file "$dest/usr/share/man/man1/$tool.1" 644 "$here/../man/$tool.1"
done
installed_files=8
# Where PAPPL was there to build it: the printer application, its manual page and its
# systemd unit.
if [[ -x $build/quenmark-printer-app ]]; then
  check_file "$dest/usr/sbin/quenmark-printer-app" 755 "$build/quenmark-printer-app"
  check_file "$dest/usr/share/man/man8/quenmark-printer-app.8" 644 "$here/../man/quenmark-printer-app.8"
  unit=$dest/usr/lib/systemd/system/quenmark-printer-app.service
  check_eq "mode of the systemd unit" 644 "$(stat -c %a "$unit" 2>/dev/null)"
  check_eq "the unit's server" "ExecStart=/usr/sbin/quenmark-printer-app server -o log-file=- -o log-level=info -o state-file=/var/lib/quenmark-printer-app/quenmark-printer-app.state -o spool-directory=/var/spool/quenmark-printer-app" \
    "$(grep '^ExecStart=' "$unit" 2>/dev/null)"
  installed_files=$((installed_files + 3))
fi
check_eq "files installed" "$installed_files" "$(find "$dest" -type f | wc -l)"

# --- Install with the build's own prefix (/usr/local unless configured otherwise):
# the tools follow the prefix, the filter and the PPD stay where CUPS looks.
prefix=$(cache_value CMAKE_INSTALL_PREFIX)
bindir=$(cache_value CMAKE_INSTALL_BINDIR)
[[ $bindir == /* ]] || bindir=$prefix/${bindir:-bin}
dest=$work/default-prefix
if ! DESTDIR=$dest "$cmake" --install "$build" >"$work/install-default.log" 2>&1; then
  cat "$work/install-default.log" >&2
  fail "cmake --install with the default prefix failed"
else
  check_file "$dest$serverbin/filter/tavrel_quenbrisk" 755 "$filter"
  check_file "$dest$datadir/model/quenmark/quenmark.ppd" 644 "$ppd"
  for tool in quenmark_convert quenmark_inspect quenmark_mkraster; do
    check_file "$dest$bindir/$tool" 755 "$build/$tool"
  done
fi

# --- cupstestppd on the installed PPD, with the DESTDIR as the root for its check of
# the filter the PPD names. The same check against a root without the filter must
# fail, or the first one proves nothing.
dest=$work/usr-prefix
cupstestppd -R "$dest" "$installed_ppd" >"$work/cupstestppd.txt" 2>&1
status=$?
if [[ $status -ne 0 ]] || grep -q FAIL "$work/cupstestppd.txt"; then
  cat "$work/cupstestppd.txt" >&2
  fail "cupstestppd rejects the installed PPD (exit $status)"
else
  echo "ok: cupstestppd passes the installed PPD"
fi
# Its only warnings are about the size names: the choice names are the ones the filter
# knows, and with the whole sheet imageable the checker wants ".Fullbleed" names.
others=$(grep WARN "$work/cupstestppd.txt" |
  grep -v 'WARN *Size ".*" should be the Adobe standard name')
[[ -z $others ]] || fail "cupstestppd warns: $others"
mkdir -p "$work/empty-root"
if cupstestppd -R "$work/empty-root" "$installed_ppd" >"$work/cupstestppd-empty.txt" 2>&1 ||
  ! grep -q "tavrel_quenbrisk" "$work/cupstestppd-empty.txt"; then
  cat "$work/cupstestppd-empty.txt" >&2
  fail "cupstestppd does not miss the filter in a root without it"
else
  echo "ok: cupstestppd misses the filter where it is not installed"
fi

# --- What an administrator sees: a scheduler with the installed model directory in
# its data directory (the rest of its data is the system's) lists the model, and a
# queue made from it carries the shipped PPD.
data=$work/datadir
mkdir -p "$data"
for entry in "$datadir"/*; do
  [[ $(basename "$entry") == model ]] || ln -s "$entry" "$data/"
done
ln -s "$dest$datadir/model" "$data/model"
mkdir -p "$work/cupsd"
if private_cupsd_start "$work/cupsd" "$installed_filter" "$data"; then
  models=$(lpinfo -m 2>"$work/lpinfo.err")
  model=$(grep "^quenmark/quenmark.ppd " <<<"$models")
  if [[ -z $model ]]; then
    cat "$work/lpinfo.err" >&2
    fail "lpinfo -m does not list quenmark/quenmark.ppd"
  else
    echo "ok: lpinfo -m lists: $model"
  fi
  if lpadmin -p qinstall -E -v file:///dev/null -m quenmark/quenmark.ppd 2>"$work/lpadmin.err"; then
    if cmp -s "$work/cupsd/root/ppd/qinstall.ppd" "$installed_ppd"; then
      echo "ok: lpadmin -m made a queue with the installed PPD"
    else
      fail "the queue's PPD is not the installed one"
    fi
    check_eq "queue state" "printer qinstall is idle." \
      "$(lpstat -p qinstall 2>&1 | head -n 1 | sed 's/ *enabled since.*//')"
  else
    cat "$work/lpadmin.err" >&2
    fail "lpadmin -m quenmark/quenmark.ppd failed"
  fi
else
  fail "the private scheduler did not start"
fi

if ((failures > 0)); then
  echo "install_test: $failures check(s) failed" >&2
  exit 1
fi
echo "install_test: all checks passed"
exit 0
