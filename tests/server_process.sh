# shellcheck shell=bash
# Sourced by the shell tests that start a server (cupsd, the printer application):
# a watchdog that outlives no test, and a bounded stop.
#
#   start_watchdog PID
#       Starts a watchdog that stops PID (SIGTERM) once this test shell is gone: should
#       the test be killed (a ctest timeout sends SIGKILL, and no trap runs), the server
#       would otherwise live on. Sets WATCHDOG_PID.
#   stop_server PID WATCHDOG-PID
#       Stops PID by its process id (SIGTERM, SIGKILL after 10 seconds) and waits for it
#       and its watchdog.

start_watchdog() {
  local test_shell=$$ server_pid=$1
  (
    while kill -0 "$test_shell" 2>/dev/null && kill -0 "$server_pid" 2>/dev/null; do
      sleep 1
    done
    kill -TERM "$server_pid" 2>/dev/null
  ) </dev/null >/dev/null 2>&1 &
  WATCHDOG_PID=$!
}

stop_server() {
  local pid=$1 watchdog=$2 tries
  if kill -TERM "$pid" 2>/dev/null; then
    for ((tries = 0; tries < 50; ++tries)); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.2
    done
    kill -KILL "$pid" 2>/dev/null
  fi
  wait "$pid" 2>/dev/null
  # The watchdog ends within a second of the server.
  [[ -n $watchdog ]] && wait "$watchdog" 2>/dev/null
  return 0
}
