#!/usr/bin/env bash
# The Debian packages, built once and checked the way an administrator meets them.
#
#   debian_packages.sh build SOURCE_DIR PACKAGE_DIR
#       Copies the source tree (without its build trees) into PACKAGE_DIR and builds
#       the binary packages there with dpkg-buildpackage -us -uc -b; the .deb files
#       land in PACKAGE_DIR. Without app/ in the tree, the printer application's
#       package is left out (build profile pkg.quenmark.noapp).
#   debian_packages.sh lintian PACKAGE_DIR
#       lintian on the packages built: no error and no warning.
#   debian_packages.sh install PACKAGE_DIR DOCUMENT PAGES
#       As root: installs the packages with dpkg -i; a private scheduler with the
#       system's filters and models lists the PPD in lpinfo -m, and a queue made with
#       lpadmin -m prints DOCUMENT (PAGES pages) through the installed filter. DOCUMENT
#       "registration" is the registration sheet that QUENMARK_REGISTRATION_CHECK writes,
#       printed on A4 and measured: every side the whole sheet, the marks in place. The
#       printer application starts from its installed unit and answers IPP. Then
#       dpkg --purge removes both, and nothing of theirs is left. The packages are
#       purged on every way out.
#
# Exit 0 on success, 1 on failure, 77 (skipped) where the tools or the rights are
# missing. install writes to the system's directories: it refuses to run where either
# package, or any of their files, is already there.
set -uo pipefail
export LC_ALL=C

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/private_cupsd.sh
source "$here/private_cupsd.sh"

DRIVER_PACKAGE=printer-driver-quenmark
APP_PACKAGE=quenmark-printer-app
APP_UNIT=quenmark-printer-app.service

skip() {
  echo "SKIP: $*"
  exit 77
}

finish() {  # finish NAME: the verdict of the checks so far
  if ((failures > 0)); then
    echo "$1: $failures check(s) failed" >&2
    exit 1
  fi
  echo "$1: all checks passed"
  exit 0
}

# package_file DIR NAME: the .deb of package NAME in DIR, if it was built.
package_file() {
  local file
  for file in "$1/$2"_*.deb; do
    [[ -f $file ]] && echo "$file" && return
  done
}

# --- build ---------------------------------------------------------------------------

build_packages() {
  local source=$1 packages=$2
  command -v dpkg-buildpackage >/dev/null ||
    skip "dpkg-buildpackage is not installed (scripts/setup.sh installs dpkg-dev and debhelper)"
  source=$(cd "$source" && pwd) || exit 1
  local version
  version=$(cd "$source" && dpkg-parsechangelog -S Version) || exit 1

  rm -rf "$packages"
  mkdir -p "$packages"
  packages=$(cd "$packages" && pwd)
  local tree=$packages/quenmark-$version
  # The build trees stay behind, the package build's own included when it lies in
  # the source tree.
  local excludes=(--exclude=./.git --exclude='./build*' --exclude=./out)
  [[ $packages == "$source"/* ]] && excludes+=("--exclude=./${packages#"$source"/}")
  mkdir -p "$tree"
  tar -C "$source" "${excludes[@]}" -cf - . | tar -C "$tree" -xf - || exit 1

  local options=(-us -uc -b "-J$(nproc 2>/dev/null || echo 2)")
  if [[ ! -f $source/app/CMakeLists.txt ]]; then
    echo "NOTE: no app/ in the source tree: the package $APP_PACKAGE is not built"
    options+=(-Ppkg.quenmark.noapp)
  fi
  echo "dpkg-buildpackage ${options[*]} (log: $packages/build.log)"
  local start=$SECONDS
  if ! (cd "$tree" && dpkg-buildpackage "${options[@]}") >"$packages/build.log" 2>&1; then
    tail -n 60 "$packages/build.log" >&2
    echo "FAIL: dpkg-buildpackage failed" >&2
    exit 1
  fi
  echo "built in $((SECONDS - start)) s:"
  (cd "$packages" && ls -1 ./*.deb)
  # The tree holds the whole build; the packages are what the other checks need.
  rm -rf "$tree"
  [[ -n $(package_file "$packages" "$DRIVER_PACKAGE") ]] || fail "no $DRIVER_PACKAGE package"
  if [[ -f $source/app/CMakeLists.txt && -z $(package_file "$packages" "$APP_PACKAGE") ]]; then
    fail "no $APP_PACKAGE package"
  fi
  finish debian_package_build
}

# --- lintian -------------------------------------------------------------------------

lintian_packages() {
  local packages=$1 changes=""
  command -v lintian >/dev/null || skip "lintian is not installed (scripts/setup.sh installs it)"
  for changes in "$packages"/*.changes; do break; done
  [[ -f $changes ]] || { echo "FAIL: no .changes file in $packages: build the packages first" >&2; exit 1; }
  # Every tag is shown, the informational ones too; errors and warnings fail. A tag
  # that is suppressed is justified beside its override in debian/.
  lintian --info --display-info --show-overrides "$changes" >"$packages/lintian.txt" 2>&1
  local status=$?
  echo "lintian --info --display-info --show-overrides $(basename "$changes"):"
  # lintian's remark that it runs as root is no finding about the packages.
  local report
  report=$(grep -vxF 'running with root privileges is not recommended!' "$packages/lintian.txt")
  if [[ -n $report ]]; then echo "$report"; else echo "(no tags)"; fi
  # Exit status 1 is for the tags themselves, counted below.
  ((status <= 1)) || fail "lintian could not check the packages (exit $status)"
  if grep -qE '^[EW]: ' <<<"$report"; then
    fail "lintian reports errors or warnings: $(grep -cE '^[EW]: ' <<<"$report") tag(s)"
  fi
  finish debian_package_lintian
}

# --- install -------------------------------------------------------------------------

work=""
installed=()
app_pid=""
app_watchdog=""

# is_installed PACKAGE: dpkg knows the package, installed or with its configuration left.
is_installed() {
  local status
  status=$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null) || return 1
  [[ $status != *not-installed* ]]
}

stop_app() {
  [[ -n $app_pid ]] || return 0
  local pid=$app_pid
  app_pid=""
  stop_server "$pid" "$app_watchdog"
  app_watchdog=""
}

# The machine as it was: whatever happened, the packages this test installed go.
cleanup_install() {
  stop_app
  private_cupsd_stop
  if ((${#installed[@]} > 0)); then
    local package
    for package in "${installed[@]}"; do
      if is_installed "$package"; then
        echo "cleanup: dpkg --purge $package"
        dpkg --purge "$package" >/dev/null 2>&1
      fi
    done
  fi
  if [[ -n $work ]]; then
    if [[ -n ${QUENMARK_KEEP_TEST_DIR:-} ]]; then
      echo "test directory kept: $work"
    else
      rm -rf "$work"
    fi
  fi
}

# free_port: a TCP port on the loopback interface that nothing listens on.
free_port() {
  local port tries
  for ((tries = 0; tries < 100; ++tries)); do
    port=$((20000 + RANDOM % 40000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      echo "$port"
      return 0
    fi
  done
  return 1
}

# ipp_system_answers URI: the server at URI answers Get-System-Attributes.
ipp_system_answers() {
  ipptool -T 5 -t "$1" "$work/get-system-attributes.test" >"$work/ipptool.txt" 2>&1
}

# check_app UNIT_FILE: the printer application's service, started from its unit by
# systemd, or where the machine does not run systemd, by running the unit's command
# here; either way it must answer IPP.
check_app() {
  local unit_file=$1 port
  cat >"$work/get-system-attributes.test" <<'EOF'
{
  NAME "Get-System-Attributes"
  OPERATION Get-System-Attributes
  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language en
  ATTR uri system-uri $uri
  STATUS successful-ok
  EXPECT system-state
}
EOF
  local state_dir=/var/lib/$APP_PACKAGE spool_dir=/var/spool/$APP_PACKAGE
  local dir
  for dir in "$state_dir" "$spool_dir"; do
    if [[ -d $dir ]]; then
      check_eq "mode of $dir" 700 "$(stat -c %a "$dir")"
    else
      fail "the package made no directory $dir"
    fi
  done
  # Enabled is the link from the target that the unit's WantedBy= names, which the
  # package's postinst makes with or without a running systemd.
  local wanted_by link
  wanted_by=$(sed -n 's/^WantedBy=//p' "$unit_file" | head -n 1)
  link=/etc/systemd/system/$wanted_by.wants/$APP_UNIT
  if [[ -n $wanted_by && $(readlink "$link") == */systemd/system/$APP_UNIT ]]; then
    echo "ok: the package enabled $APP_UNIT: $link"
  else
    fail "$APP_UNIT is not enabled: no link $link"
  fi
  # What the server writes, to be found gone after the purge.
  touch "$work/app-start"

  if [[ -d /run/systemd/system ]]; then
    echo "systemd runs this machine: starting $APP_UNIT with systemctl"
    check_eq "systemctl is-enabled" enabled "$(systemctl is-enabled "$APP_UNIT" 2>&1)"
    systemctl restart "$APP_UNIT" || fail "systemctl restart $APP_UNIT failed"
    local pid tries
    for ((tries = 0; tries < 50; ++tries)); do
      pid=$(systemctl show -p MainPID --value "$APP_UNIT")
      [[ -n $pid && $pid != 0 ]] && port=$(ss -Hltnp 2>/dev/null |
        sed -n "s/.*:\([0-9]*\) .*pid=$pid,.*/\1/p" | head -n 1)
      [[ -n $port ]] && ipp_system_answers "ipp://localhost:$port/ipp/system" && break
      sleep 0.2
    done
    if [[ -n $port ]] && ipp_system_answers "ipp://localhost:$port/ipp/system"; then
      echo "ok: the service answers Get-System-Attributes on port $port"
    else
      cat "$work/ipptool.txt" >&2
      journalctl -u "$APP_UNIT" -n 40 --no-pager >&2
      fail "the service does not answer IPP"
    fi
    systemctl stop "$APP_UNIT" || fail "systemctl stop $APP_UNIT failed"
  else
    echo "NOTE: this machine does not run systemd: the unit's command is started directly"
    local command
    command=$(sed -n 's/^ExecStart=//p' "$unit_file" | head -n 1)
    [[ -n $command ]] || { fail "no ExecStart in $unit_file"; return; }
    port=$(free_port) || { fail "no free port"; return; }
    local -a argv
    read -r -a argv <<<"$command"
    # The test's server listens on this machine only, on a port of its own; the
    # unit's log on standard error goes into the test's directory.
    argv+=(-o "server-port=$port" -o listen-hostname=localhost)
    echo "starting: ${argv[*]}"
    "${argv[@]}" >"$work/app.log" 2>&1 &
    app_pid=$!
    start_watchdog "$app_pid"
    app_watchdog=$WATCHDOG_PID
    local tries answered=0
    for ((tries = 0; tries < 150; ++tries)); do
      kill -0 "$app_pid" 2>/dev/null || break
      if ipp_system_answers "ipp://localhost:$port/ipp/system"; then
        answered=1
        break
      fi
      sleep 0.2
    done
    if ((answered)); then
      echo "ok: the server answers Get-System-Attributes on port $port"
      # A printer, for the server to keep in its state and the purge to remove.
      if "${argv[0]}" add -d qpackage -m quenmark -v socket://127.0.0.1:9 >>"$work/app.log" 2>&1 &&
        "${argv[0]}" printers 2>>"$work/app.log" | grep -qx qpackage; then
        echo "ok: a printer added over the domain socket: qpackage"
      else
        cat "$work/app.log" >&2
        fail "the server does not add a printer"
      fi
    else
      cat "$work/ipptool.txt" "$work/app.log" >&2
      fail "the server started from the unit's command does not answer IPP"
    fi
    # The unit's way of stopping the server.
    local stop
    stop=$(sed -n 's/^ExecStop=//p' "$unit_file" | head -n 1)
    if [[ -n $stop ]]; then
      read -r -a argv <<<"$stop"
      "${argv[@]}" >>"$work/app.log" 2>&1 || fail "the unit's ExecStop failed: $stop"
      # With a printer, PAPPL's main loop takes up to ten seconds to see the request.
      for ((tries = 0; tries < 150; ++tries)); do
        kill -0 "$app_pid" 2>/dev/null || break
        sleep 0.2
      done
      kill -0 "$app_pid" 2>/dev/null && fail "the server did not stop on: $stop"
    fi
    stop_app
  fi
  find /var/lib /var/spool -newer "$work/app-start" -path "*$APP_PACKAGE*" \
    >"$work/app-files.txt" 2>/dev/null
  echo "the server left: $(paste -sd' ' "$work/app-files.txt")"
  # Like the server's files, the link goes with the purge, and so does the state file
  # of a server run as root without state-file.
  printf '%s\n' "$link" "/var/lib/$APP_PACKAGE.state" >>"$work/app-files.txt"
}

install_packages() {
  local packages=$1 document=$2 pages=$3
  [[ $(id -u) -eq 0 ]] || skip "not root: installing packages needs root"
  command -v dpkg-buildpackage >/dev/null || skip "dpkg-buildpackage is not installed"
  [[ -n $(private_cupsd_find) ]] || skip "cupsd is not installed (scripts/setup.sh installs it)"
  local driver_deb app_deb
  driver_deb=$(package_file "$packages" "$DRIVER_PACKAGE")
  app_deb=$(package_file "$packages" "$APP_PACKAGE")
  [[ -n $driver_deb ]] || { echo "FAIL: no $DRIVER_PACKAGE package in $packages" >&2; exit 1; }
  local debs=("$driver_deb")
  local names=("$DRIVER_PACKAGE")
  if [[ -n $app_deb ]]; then
    debs+=("$app_deb")
    names+=("$APP_PACKAGE")
    command -v ipptool >/dev/null || skip "ipptool is not installed (cups-ipp-utils)"
  else
    echo "NOTE: no $APP_PACKAGE package was built (no app/ in the tree): the driver alone is checked"
  fi

  # Nothing of a package may be there before: the purge at the end would take it.
  local name deb
  for name in "${names[@]}"; do
    is_installed "$name" && skip "$name is installed on this machine; the test would replace and purge it"
  done
  work=$(mktemp -d "${TMPDIR:-/tmp}/quenmark-packages.XXXXXX") || exit 1
  chmod 755 "$work"
  trap cleanup_install EXIT
  trap 'exit 1' INT TERM
  local path
  for deb in "${debs[@]}"; do
    dpkg-deb --fsys-tarfile "$deb" | tar -tf - | sed 's|^\./|/|; s|/$||' | grep -v '^/\?$'
  done >"$work/contents.txt"
  : >"$work/existing.txt"
  while read -r path; do
    if [[ -e $path || -L $path ]]; then
      # A directory, or a link to one (/lib on a merged /usr), is shared, unless it is
      # one of ours.
      if [[ -d $path && $path != *quenmark* ]]; then
        echo "$path" >>"$work/existing.txt"
      else
        skip "$path is already there (an install from the build tree, a server's state?); the test would remove it"
      fi
    fi
  done <"$work/contents.txt"
  path=/var/lib/$APP_PACKAGE.state
  [[ -e $path ]] && skip "$path is already there (a server's state); the purge would remove it"

  # --- dpkg -i
  echo "dpkg -i ${debs[*]##*/}"
  installed=("${names[@]}")
  if ! dpkg -i "${debs[@]}" >"$work/dpkg-install.txt" 2>&1; then
    cat "$work/dpkg-install.txt"
    echo "dpkg -i left dependencies open: apt-get install -f"
    apt-get install -y -q -f --no-install-recommends >"$work/apt.txt" 2>&1 || cat "$work/apt.txt" >&2
  else
    grep -E '^(Selecting|Unpacking|Setting up)' "$work/dpkg-install.txt"
  fi
  for name in "${names[@]}"; do
    check_eq "dpkg status of $name" "install ok installed" \
      "$(dpkg-query -W -f='${Status}' "$name" 2>/dev/null)"
  done
  ((failures == 0)) || finish debian_package_install
  for name in "${names[@]}"; do
    # dpkg lists the root as "/.", which is no file of the package.
    dpkg -L "$name" | grep -vxF /. >"$work/$name.list"
    echo "dpkg -L $name: $(grep -cvxFf "$work/existing.txt" "$work/$name.list") paths of its own"
  done

  # --- The driver's files, where CUPS and the shell look.
  local filter=/usr/lib/cups/filter/tavrel_quenbrisk
  local ppd=/usr/share/cups/model/quenmark/quenmark.ppd
  for path in $filter /usr/bin/quenmark_convert /usr/bin/quenmark_inspect /usr/bin/quenmark_mkraster; do
    grep -qxF "$path" "$work/$DRIVER_PACKAGE.list" || fail "$DRIVER_PACKAGE does not list $path"
    check_eq "mode of $path" 755 "$(stat -c %a "$path" 2>&1)"
  done
  for path in $ppd /usr/share/man/man1/quenmark_{convert,inspect,mkraster}.1.gz; do
    grep -qxF "$path" "$work/$DRIVER_PACKAGE.list" || fail "$DRIVER_PACKAGE does not list $path"
    check_eq "mode of $path" 644 "$(stat -c %a "$path" 2>&1)"
  done
  for path in /usr/bin/quenmark_convert /usr/bin/quenmark_inspect /usr/bin/quenmark_mkraster; do
    "$path" --help >/dev/null 2>&1 || fail "$path --help fails"
  done

  # --- A scheduler with the system's filters and models: the installed PPD in
  # lpinfo -m, a queue from it, and the document through the installed filter.
  rm -rf /tmp/quenmark /tmp/quenmark.lock
  mkdir -p "$work/cupsd" "$work/out"
  if private_cupsd_start "$work/cupsd" ""; then
    check_eq "the scheduler's filter" "$filter" "$(readlink "$work/cupsd/bin/filter/tavrel_quenbrisk")"
    local model
    model=$(lpinfo -m 2>"$work/lpinfo.err" | grep '^quenmark/quenmark.ppd ')
    if [[ -n $model ]]; then
      echo "ok: lpinfo -m lists: $model"
    else
      cat "$work/lpinfo.err" >&2
      fail "lpinfo -m does not list quenmark/quenmark.ppd"
    fi
    if lpadmin -p qpackage -E -v "file://$work/out/qpackage.prn" -m quenmark/quenmark.ppd \
      -o printer-error-policy=abort-job 2>"$work/lpadmin.err"; then
      if cmp -s "$work/cupsd/root/ppd/qpackage.ppd" "$ppd"; then
        echo "ok: lpadmin -m made a queue with the installed PPD"
      else
        fail "the queue's PPD is not the installed one"
      fi
      local out job registration=""
      if [[ $document == registration ]]; then
        registration=${QUENMARK_REGISTRATION_CHECK:-}
        document=$work/registration.ps
        "$registration" document "$pages" "$document" || fail "no registration document"
      fi
      out=$(lp -d qpackage -o media=A4 "$document" 2>&1) || fail "lp: $out"
      job=$(sed -n 's/^request id is qpackage-\([0-9][0-9]*\) .*/\1/p' <<<"$out")
      echo "job $job: lp -d qpackage $(basename "$document")"
      if [[ -n $job ]] && private_cupsd_wait_job qpackage "$job"; then
        if /usr/bin/quenmark_inspect --out-dir "$work/pages" "$work/out/qpackage.prn" \
          >"$work/inspect.txt" 2>&1; then
          check_eq "job $job: the stream" "Stream OK: $pages page records" \
            "$(sed -n 's/^\(Stream OK: [0-9]* page records\).*/\1/p' "$work/inspect.txt")"
          if [[ -n $registration ]]; then
            if "$registration" sides A4 600 none "$work/pages"/page-*.pbm >"$work/registration.txt" 2>&1; then
              echo "ok: job $job: every side is the whole A4 sheet with the marks in place"
            else
              cat "$work/registration.txt" >&2
              fail "job $job: the sides are not the A4 sheet with the marks in place"
            fi
          fi
        else
          cat "$work/inspect.txt" >&2
          fail "job $job: the installed inspector rejects the stream"
        fi
      fi
    else
      cat "$work/lpadmin.err" >&2
      fail "lpadmin -m quenmark/quenmark.ppd failed"
    fi
  else
    fail "the private scheduler did not start"
  fi
  private_cupsd_stop
  rm -rf /tmp/quenmark /tmp/quenmark.lock

  # --- The printer application.
  local unit=""
  if [[ -n $app_deb ]]; then
    unit=$(grep -E "/systemd/system/$APP_UNIT\$" "$work/$APP_PACKAGE.list" | head -n 1)
    grep -qxF "/usr/sbin/$APP_PACKAGE" "$work/$APP_PACKAGE.list" ||
      fail "$APP_PACKAGE does not list /usr/sbin/$APP_PACKAGE"
    grep -qxF "/usr/share/man/man8/$APP_PACKAGE.8.gz" "$work/$APP_PACKAGE.list" ||
      fail "$APP_PACKAGE does not list its manual page"
    if [[ -n $unit ]]; then
      echo "unit: $unit"
      check_app "$unit"
    else
      fail "$APP_PACKAGE has no systemd unit $APP_UNIT"
    fi
  fi

  # --- dpkg --purge: nothing of the packages is left.
  echo "dpkg --purge ${names[*]}"
  if dpkg --purge "${names[@]}" >"$work/dpkg-purge.txt" 2>&1; then
    grep -E '^(Removing|Purging)' "$work/dpkg-purge.txt"
  else
    cat "$work/dpkg-purge.txt" >&2
    fail "dpkg --purge failed"
  fi
  for name in "${names[@]}"; do
    is_installed "$name" && fail "$name is still known to dpkg after the purge"
  done
  local left=0
  while read -r path; do
    if [[ -e $path || -L $path ]]; then
      fail "left after the purge: $path"
      left=$((left + 1))
    fi
  done < <(cat "$work"/*.list "$work/app-files.txt" 2>/dev/null | sort -u | grep -vxFf "$work/existing.txt")
  ((left == 0)) && echo "ok: nothing of ${names[*]} is left after the purge"
  installed=()
  finish debian_package_install
}

case ${1:-} in
  build)
    [[ $# -eq 3 ]] || { echo "usage: $0 build SOURCE_DIR PACKAGE_DIR" >&2; exit 2; }
    build_packages "$2" "$3"
    ;;
  lintian)
    [[ $# -eq 2 ]] || { echo "usage: $0 lintian PACKAGE_DIR" >&2; exit 2; }
    lintian_packages "$2"
    ;;
  install)
    [[ $# -eq 4 ]] || { echo "usage: $0 install PACKAGE_DIR DOCUMENT PAGES" >&2; exit 2; }
    install_packages "$2" "$3" "$4"
    ;;
  *)
    echo "usage: $0 build|lintian|install ..." >&2
    exit 2
    ;;
esac
