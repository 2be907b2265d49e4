# shellcheck shell=bash
# Sourced by the printer application's shell tests: a quenmark-printer-app server in a
# directory of its own.
#
#   app_start DIR APP [OPTION...]
#       Starts APP's server on a free loopback port with its spool directory, state file,
#       log (DIR/server.log) and domain socket in DIR, and OPTIONs as further -o values.
#       Sets APP_PORT, APP_PID and APP_SOCKET_URI (the administrator's door, for the
#       sub-commands' -u). Returns 1 when the server does not come up.
#   app_stop
#       Stops that server by its process id. Safe to call twice; callers run it from their
#       EXIT trap. A watchdog stops it too should the test be killed.
#   app_add_printer NAME DEVICE-URI
#       Adds a printer with the quenmark driver over the domain socket (with ipptool: the
#       application's own client sub-commands would start a server of their own when they
#       find none at the system's socket).

APP_PID=""
APP_WATCHDOG=""
APP_TESTS_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/app
# shellcheck source=tests/server_process.sh
source "$(dirname "${BASH_SOURCE[0]}")/server_process.sh"

app_start() {
  local dir=$1 app=$2
  shift 2
  local extra=() option tries attempt
  for option in "$@"; do extra+=(-o "$option"); done
  # The domain socket of a root server lies in SNAP_COMMON when that is set: a private
  # one, out of the way of an installed service and of other tests.
  APP_SOCKET=$dir/quenmark-printer-app.sock
  APP_SOCKET_URI="ipp://${APP_SOCKET//\//%2F}/ipp/system"
  for ((attempt = 0; attempt < 5; ++attempt)); do
    APP_PORT=$((20000 + (RANDOM * 7 + attempt * 97) % 40000))
    rm -f "$APP_SOCKET"
    SNAP_COMMON=$dir "$app" server -o server-port="$APP_PORT" -o listen-hostname=localhost \
      -o spool-directory="$dir/spool" -o state-file="$dir/state" -o log-file="$dir/server.log" \
      -o log-level=debug "${extra[@]}" >>"$dir/server.out" 2>&1 </dev/null &
    APP_PID=$!
    start_watchdog "$APP_PID"
    APP_WATCHDOG=$WATCHDOG_PID
    for ((tries = 0; tries < 100; ++tries)); do
      kill -0 "$APP_PID" 2>/dev/null || break
      if [[ -S $APP_SOCKET ]] && (exec 3<>"/dev/tcp/127.0.0.1/$APP_PORT") 2>/dev/null; then
        return 0
      fi
      sleep 0.1
    done
    # Most likely the port was taken: another one.
    app_stop
  done
  echo "app_start: the server did not come up" >&2
  tail -n 20 "$dir/server.out" "$dir/server.log" >&2 2>/dev/null
  return 1
}

app_stop() {
  [[ -n $APP_PID ]] || return 0
  local pid=$APP_PID
  APP_PID=""
  stop_server "$pid" "$APP_WATCHDOG"
  APP_WATCHDOG=""
  return 0
}

app_add_printer() {
  ipptool -q -d name="$1" -d device="$2" "$APP_SOCKET_URI" "$APP_TESTS_DIR/create-printer.test"
}
