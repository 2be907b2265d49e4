# shellcheck shell=bash
# Sourced by the shell tests: a private CUPS scheduler in a directory of its own.
#
#   private_cupsd_start DIR FILTER [DATADIR]
#       Starts cupsd with everything under DIR (an empty directory; the directories
#       above it must be open to the user lp, who runs the filters): its ServerRoot,
#       spool, temporary, cache, state and log directories, a ServerBin that holds
#       the system's filters, backends and helpers plus FILTER (our filter program,
#       copied in; with FILTER "" the system's filters alone, an installed copy of
#       ours among them) and, with DATADIR, that directory as its DataDir instead of
#       the system's. It listens only on the Unix socket DIR/cups.sock, which CUPS_SERVER
#       names for the clients (lp, lpadmin, lpstat, lpinfo) from then on. Returns 1
#       when the scheduler does not come up.
#   private_cupsd_stop
#       Stops that scheduler by its process id and waits for it. Safe to call twice;
#       the callers run it from their EXIT trap.
#   private_cupsd_wait_job QUEUE ID
#       Waits (bounded) until the scheduler has finished job ID of QUEUE, and checks
#       that it completed and that our filter exited without errors.
#
# Sets CUPSD_PID, CUPSD_ERROR_LOG, CUPSD_PAGE_LOG and CUPSD_FILTER_DIR, the scheduler's
# filter directory: it comes first on the PATH the scheduler gives its filters, so a
# program placed there (a stand-in for a tool a filter runs) is found before the system's.
# The callers run the CUPS clients in the C locale, whose messages they read.

# Checks shared by the shell tests: each failure is counted and the test goes on, so
# one run reports every difference.
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
check_eq() {  # check_eq WHAT EXPECTED ACTUAL
  if [[ $2 == "$3" ]]; then
    echo "ok: $1 = $3"
  else
    fail "$1: expected '$2', got '$3'"
  fi
}

CUPSD_PID=""
CUPSD_WATCHDOG=""
# shellcheck source=tests/server_process.sh
source "$(dirname "${BASH_SOURCE[0]}")/server_process.sh"

private_cupsd_find() {
  local cupsd
  cupsd=$(command -v cupsd 2>/dev/null || true)
  [[ -n $cupsd ]] || { [[ -x /usr/sbin/cupsd ]] && cupsd=/usr/sbin/cupsd; }
  echo "$cupsd"
}

private_cupsd_start() {
  local dir=$1 filter=$2 datadir=${3:-}
  local cupsd
  cupsd=$(private_cupsd_find)
  [[ -n $cupsd ]] || { echo "private cupsd: cupsd not found" >&2; return 1; }
  [[ -n $datadir ]] || datadir=$(cups-config --datadir 2>/dev/null || echo /usr/share/cups)

  # shellcheck disable=SC2034  # read by the tests that source this file
  CUPSD_ERROR_LOG=$dir/log/error_log CUPSD_PAGE_LOG=$dir/log/page_log
  # shellcheck disable=SC2034
  CUPSD_FILTER_DIR=$dir/bin/filter
  # Filters run as the unprivileged user lp: it must reach the ServerBin below.
  chmod 755 "$dir"
  mkdir -p "$dir"/{root/ppd,spool/tmp,log,cache,state,ssl,sbin}
  chmod 755 "$dir"/sbin

  # CUPS's own programs and a copy of our filter: the build tree may lie where lp
  # cannot go (/root). Without a filter, the installed one runs.
  bash "$(dirname "${BASH_SOURCE[0]}")/../scripts/private-serverbin.sh" --copy \
    "$dir/bin" "$filter" || return 1

  # A copy of the scheduler too: a security profile written for /usr/sbin/cupsd
  # (AppArmor on Debian) lets it run filters only from the system's filter directory.
  install -m 0755 "$cupsd" "$dir/sbin/cupsd"

  local user=lp group=lp
  getent passwd lp >/dev/null || user=$(id -un)
  getent group lp >/dev/null || group=$(id -gn)
  cat >"$dir/root/cups-files.conf" <<EOF
ServerRoot $dir/root
ServerBin $dir/bin
DataDir $datadir
RequestRoot $dir/spool
TempDir $dir/spool/tmp
CacheDir $dir/cache
StateDir $dir/state
ServerKeychain $dir/ssl
ErrorLog $dir/log/error_log
AccessLog $dir/log/access_log
PageLog $dir/log/page_log
Printcap $dir/printcap
FileDevice Yes
User $user
Group $group
SystemGroup root
LogFileGroup $(id -gn)
EOF
  # A sanitized build of the filter needs its settings inside the scheduler too.
  # Filters run as lp, which may not reach a suppressions file in the source tree:
  # the scheduler's directory gets a copy.
  local name value file
  for name in ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS; do
    value=${!name:-}
    [[ -n $value ]] || continue
    if [[ $value =~ suppressions=([^:]+) ]]; then
      file=${BASH_REMATCH[1]}
      install -m 0644 "$file" "$dir/$name.supp"
      value=${value/suppressions=$file/suppressions=$dir/$name.supp}
    fi
    echo "SetEnv $name $value" >>"$dir/root/cups-files.conf"
  done

  # Nobody but the test talks to this scheduler: no browsing, no sharing, no
  # authentication.
  {
    echo "Listen $dir/cups.sock"
    echo "LogLevel debug"
    echo "MaxLogSize 0"
    echo "PageLogFormat %p %j %P %C"
    echo "Browsing No"
    echo "BrowseLocalProtocols none"
    echo "DefaultShared No"
    echo "WebInterface No"
    cat <<'EOF'
<Location />
  Order allow,deny
  Allow all
</Location>
<Policy default>
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
EOF
  } >"$dir/root/cupsd.conf"

  "$dir/sbin/cupsd" -f -c "$dir/root/cupsd.conf" -s "$dir/root/cups-files.conf" \
    >"$dir/log/cupsd.out" 2>&1 &
  CUPSD_PID=$!
  export CUPS_SERVER=$dir/cups.sock
  start_watchdog "$CUPSD_PID"
  CUPSD_WATCHDOG=$WATCHDOG_PID

  local tries
  for ((tries = 0; tries < 150; ++tries)); do
    if ! kill -0 "$CUPSD_PID" 2>/dev/null; then
      echo "private cupsd: the scheduler exited at start-up" >&2
      cat "$dir/log/cupsd.out" "$CUPSD_ERROR_LOG" >&2 2>/dev/null
      CUPSD_PID=""
      return 1
    fi
    if [[ -S $dir/cups.sock ]] && lpstat -r 2>/dev/null | grep -q "is running"; then
      return 0
    fi
    sleep 0.2
  done
  echo "private cupsd: the scheduler did not answer within 30 seconds" >&2
  tail -n 40 "$CUPSD_ERROR_LOG" >&2 2>/dev/null
  return 1
}

private_cupsd_stop() {
  [[ -n $CUPSD_PID ]] || return 0
  local pid=$CUPSD_PID
  CUPSD_PID=""
  stop_server "$pid" "$CUPSD_WATCHDOG"
  CUPSD_WATCHDOG=""
}

private_cupsd_show_job_log() {
  echo "---- scheduler log of job $1 (last 80 lines)" >&2
  grep -F "[Job $1]" "$CUPSD_ERROR_LOG" | tail -n 80 >&2
  echo "----" >&2
}

private_cupsd_wait_job() {
  local queue=$1 id=$2 deadline=$((SECONDS + 120))
  while lpstat -o "$queue" 2>/dev/null | grep -q "^$queue-$id "; do
    # A job whose filters fail is stopped, not ended: no use waiting for it.
    if grep -qE "\[Job $id\] Job (stopped|aborted)" "$CUPSD_ERROR_LOG"; then
      fail "job $id failed in the scheduler"
      private_cupsd_show_job_log "$id"
      return 1
    fi
    if ((SECONDS >= deadline)); then
      fail "job $id did not finish within 120 seconds"
      private_cupsd_show_job_log "$id"
      return 1
    fi
    sleep 0.3
  done
  deadline=$((SECONDS + 10))
  until grep -qF "[Job $id] Job completed." "$CUPSD_ERROR_LOG"; do
    if ((SECONDS >= deadline)); then
      fail "job $id ended without completing"
      private_cupsd_show_job_log "$id"
      return 1
    fi
    sleep 0.2
  done
  if ! grep -F "[Job $id] PID" "$CUPSD_ERROR_LOG" |
    grep -q "tavrel_quenbrisk) exited with no errors"; then
    fail "job $id: the filter did not exit cleanly"
    private_cupsd_show_job_log "$id"
    return 1
  fi
}
