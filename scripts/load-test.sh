#!/usr/bin/env bash
# The printer application under load, the long run (the test suite runs a short one):
# a real server on loopback with a socket: printer (a slow reader of the test's own) and
# a file: printer, 8 clients sending 3000 jobs of PDF, PWG raster and Apple raster with
# Print-Job and with Create-Job + Send-Document, busy answers retried, uploads dropped
# halfway, jobs cancelled while they print, and pollers asking for the jobs and the web
# pages meanwhile. It fails on a request not answered within the bound (the server's
# threads shown with gdb), a crash, a job that does not end as its client made it end,
# a printed job whose pages are not in the printer's stream, or a server that grows by
# more than 16 MiB from the first quarter of the jobs to the last. Prints the figures: jobs,
# clients, minutes, jobs per minute, the server's memory, failures.
#
#   scripts/load-test.sh [--jobs N] [--clients N] [--bound SECONDS] [--max-growth-kib N]
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

jobs=$(nproc 2>/dev/null || echo 2)
if ! cmake -S . -B build >build.configure.log 2>&1; then
  cat build.configure.log >&2
  exit 1
fi
cmake --build build -j "$jobs" --target app_load
exec build/tests/app_load --jobs 3000 --clients 8 --bound 60 --max-growth-kib 16384 "$@"
