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
submit() { submit_document "$work/sample.pdf" "$@"; }

# submit_document FILE LP-ARGS...: prints FILE on qtest; sets job to the job id.
submit_document() {
  local file=$1 out
  shift
  job=""
  out=$(lp -d qtest "$@" "$file" 2>&1) || { fail "lp $*: $out"; return 1; }
  job=$(sed -n 's/^request id is qtest-\([0-9][0-9]*\) .*/\1/p' <<<"$out")
  [[ -n $job ]] || { fail "no job id in the answer of lp: $out"; return 1; }
  echo "job $job submitted: lp ${*:+$* }$(basename "$file")"
}

wait_job() { private_cupsd_wait_job qtest "$1"; }
show_job_log() { private_cupsd_show_job_log "$1"; }

# Bytes of a PBM page file that hold at least one black pixel (the inspector writes
# the two-line header "P4\nW H\n").
pbm_ink() {
  local header
  header=$(head -n 2 "$1" | wc -c)
  tail -c +$((header + 1)) "$1" | tr -d '\000' | wc -c
}

# check_job ID [QUEUE]: inspects the stream that job ID left in the device file of QUEUE
# (qtest). Sets stream_dir and the record columns firstpages, lastpages, pagenos, blanks.
check_job() {
  local id=$1 queue=${2:-qtest}
  stream_dir=$work/job$id
  # The file: device is rewritten by every job: keep this job's stream.
  cp "$work/out/$queue.prn" "$work/job$id.prn" || { fail "job $id: no output file"; return 1; }
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
# whole sheet (600 dpi); the sides listed as BLANK are white, all others carry ink.
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
  # A4 (595 x 842 points) at 600 dpi is 4958 x 7017 dots, give or take CUPS's rounding.
  check_pages "$job" 4957 4959 7016 7018
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
  # A5 (420 x 595 points) at 600 dpi is 3500 x 4958 dots; a blank back side is as wide
  # as the first page rounded up to whole bytes, 3504.
  check_pages "$job" 3499 3504 4957 4959 6 8
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

# --- Registration: a document of the test's own, whose marks lie at fixed distances
# from the edges of whatever sheet it is printed on (registration_check writes it),
# printed on A4 and on A5 fed long edge first. Every side the backend received must be
# the whole sheet with each mark in its place; fed long edge first, the A5 sheet turned
# by -90 degrees. QUENMARK_REGISTRATION_CHECK names the checker of the build.
registration_check=${QUENMARK_REGISTRATION_CHECK:-}

# check_registration ID SIZE none|turned: measures the two sides of job ID.
check_registration() {
  local id=$1 size=$2 turn=$3 sides
  sides=("$stream_dir"/page-*.pbm)
  check_eq "job $id: sides" 2 "${#sides[@]}"
  if "$registration_check" sides "$size" 600 "$turn" "${sides[@]}" \
    >"$work/job$id.registration" 2>&1; then
    sed "s|^$stream_dir/|ok: job $id: |" "$work/job$id.registration"
  else
    cat "$work/job$id.registration" >&2
    fail "job $id: the sides are not the $size sheet with the marks in place"
  fi
}

if [[ ! -x $registration_check ]]; then
  fail "no registration checker (QUENMARK_REGISTRATION_CHECK='$registration_check')"
elif ! "$registration_check" document 2 "$work/registration.ps"; then
  fail "the registration checker could not write its document"
else
  if submit_document "$work/registration.ps" -o media=A4 && wait_job "$job" &&
    check_job "$job"; then
    check_eq "job $job: PageSize" A4 "$(param "$job" PageSize)"
    check_registration "$job" A4 none
  fi
  if submit_document "$work/registration.ps" -o media=A5 -o FeedEdge=1 &&
    wait_job "$job" && check_job "$job"; then
    check_eq "job $job: PageSize" A5 "$(param "$job" PageSize)"
    check_eq "job $job: FeedEdge" 1 "$(param "$job" FeedEdge)"
    check_registration "$job" A5 turned
  fi
fi

# ======================================================================================
# What the scheduler really sends: a raster printed as it is (the filter first in the
# chain, the job's file as argv[6], nothing on standard input), collation as lp asks
# for it (a bare "collate"), a password that the scheduler escapes, and the credentials
# file /tmp/auth/auth_config, planted by another user or installed by the administrator.
# ======================================================================================

# The job parameter string exactly as the printer got it (the inspector masks the
# password in its listing): the job header's length field, then that many bytes.
raw_params() {
  local length
  length=$(od -An -tu4 -j16 -N4 "$work/job$1.prn" | tr -d ' ')
  tail -c +21 "$work/job$1.prn" | head -c "$length"
}

# same_pages JOB_A JOB_B: both streams decoded to the same pictures, side by side.
same_pages() {
  local a b n=0 differ=0
  for a in "$work/job$1"/page-*.pbm; do
    [[ -e $a ]] || break
    b=$work/job$2/$(basename "$a")
    n=$((n + 1))
    cmp -s "$a" "$b" || { fail "job $2: $(basename "$a") differs from job $1's"; differ=1; }
  done
  ((n > 0)) || fail "job $1: no decoded pages to compare"
  ((n > 0 && differ == 0)) && echo "ok: job $2: the same $n pages as job $1"
}

# A CUPS raster of the sample, made by CUPS's own filters with the queue's PPD.
cupsfilter -p "$ppd" -m application/vnd.cups-raster "$work/sample.pdf" \
  >"$work/sample.ras" 2>"$work/cupsfilter.log" || {
  cat "$work/cupsfilter.log" >&2
  fail "cupsfilter could not make the sample raster"
}
chmod 644 "$work/sample.ras"

# --- A raster printed directly: only our filter runs, and it reads the spool file.
raster_job=""
if submit_document "$work/sample.ras" && wait_job "$job" && check_job "$job"; then
  raster_job=$job
  check_eq "raster job $job: firstpage" "1 0 0" "$firstpages"
  check_eq "raster job $job: lastpage" "0 0 1" "$lastpages"
  check_eq "raster job $job: pageno" "1 2 3" "$pagenos"
  check_eq "raster job $job: blank" "no no no" "$blanks"
  grep -F "[Job $job] tavrel_quenbrisk argv[6]=" "$CUPSD_ERROR_LOG" | grep -q '/spool/d' ||
    fail "raster job $job: the filter got no spool file as argv[6]"
  check_eq "raster job $job: filters started" "tavrel_quenbrisk" \
    "$(grep -F "[Job $job] Started filter " "$CUPSD_ERROR_LOG" | sed 's/.*filter\///; s/ (PID.*//' |
      paste -sd' ' -)"
  check_pages "$job" 100 100000 100 100000
  check_accounting "$job" "1 1,2 1,3 1" 3
fi

# --- Two collated copies of the three pages, as lp asks for them: the printer is told
# Collate=True and copies=2 and gets each page once; it makes the copies.
if submit -n 2 -o collate=true && wait_job "$job" && check_job "$job"; then
  grep -F "[Job $job] tavrel_quenbrisk argv[5]=" "$CUPSD_ERROR_LOG" | grep -qiw collate ||
    fail "collated job $job: the scheduler passed no collate option"
  check_eq "collated job $job: Collate" True "$(param "$job" Collate)"
  check_eq "collated job $job: copies" 2 "$(param "$job" copies)"
  check_eq "collated job $job: firstpage" "1 0 0" "$firstpages"
  check_eq "collated job $job: lastpage" "0 0 1" "$lastpages"
  check_eq "collated job $job: pageno" "1 2 3" "$pagenos"
  [[ -n $raster_job ]] && same_pages "$raster_job" "$job"
  check_accounting "$job" "1 2,2 2,3 2" 6
fi

# --- A password with a space, a quote and a backslash, as a job option. lp takes the
# option with libcups's escapes; the scheduler passes it on escaped in its own way.
password='Zq7Rt Wx9Pk"Kv3Ld\Jm5Hs'
password_parts=(Zq7Rt Wx9Pk Kv3Ld Jm5Hs)
if submit -o 'AuthPassword=Zq7Rt\ Wx9Pk\"Kv3Ld\\Jm5Hs' &&
  wait_job "$job" && check_job "$job"; then
  params=$(raw_params "$job")
  [[ $params == *", AuthPassword=$password, " ]] ||
    fail "password job $job: the printer got '${params##*AuthPassword=}', not '$password, '"
  # The scheduler itself records the options it passes a filter (its argv[5] line); no
  # other line of the log may hold any part of the password.
  grep -F "[Job $job] argv[5]=" "$CUPSD_ERROR_LOG" | grep -qF 'AuthPassword=' ||
    fail "password job $job: the scheduler passed no AuthPassword option"
  leaked=""
  for part in "${password_parts[@]}"; do
    leaked+=$(grep -F "$part" "$CUPSD_ERROR_LOG" | grep -vF "] argv[5]=\"")
  done
  [[ -z $leaked ]] || fail "password job $job: the log holds the password: $leaked"
  grep -F "[Job $job] tavrel_quenbrisk argv[5]=" "$CUPSD_ERROR_LOG" | grep -qF 'AuthPassword=********' ||
    fail "password job $job: the filter's argv[5] line does not mask the password"
  [[ -z $leaked ]] && echo "ok: password job $job: the password reached the printer and not the log"
fi

# --- The credentials file. What was at /tmp/auth is put back when the test ends.
# auth_state: absent (nothing was there), saved (moved aside), untouched (could not be
# moved: the checks are skipped), restored.
auth_state=absent
restore_credentials() {
  case $auth_state in
    absent) rm -rf /tmp/auth ;;
    saved) rm -rf /tmp/auth && mv "$work/auth.saved" /tmp/auth ;;
    *) return 0 ;;
  esac
  auth_state=restored
}
trap 'restore_credentials; cleanup' EXIT
if [[ -e /tmp/auth || -L /tmp/auth ]]; then
  if mv /tmp/auth "$work/auth.saved"; then
    auth_state=saved
  else
    auth_state=untouched
    fail "/tmp/auth could not be moved aside for the credentials checks"
  fi
fi

# credentials_job WHAT REASON ID: a job with the credentials file as it now is. With a
# REASON the file must be ignored with that reason logged, else its account is used.
credentials_job() {
  local what=$1 reason=$2 expected_id=${3:-}
  submit && wait_job "$job" && check_job "$job" || return
  if [[ -n $reason ]]; then
    check_eq "$what (job $job): AuthID" "" "$(param "$job" AuthID)"
    check_eq "$what (job $job): AuthPassword" "" "$(param "$job" AuthPassword)"
    # The scheduler files a WARNING: line under W, without its prefix.
    if grep -F "[Job $job] The credentials file /tmp/auth/auth_config is ignored: " \
      "$CUPSD_ERROR_LOG" | grep -qF "$reason"; then
      echo "ok: $what (job $job): ignored, because $reason"
    else
      fail "$what (job $job): no log line says the file is ignored because $reason"
      show_job_log "$job"
    fi
  else
    check_eq "$what (job $job): AuthID" "$expected_id" "$(param "$job" AuthID)"
    params=$(raw_params "$job")
    [[ $params == *", AuthPassword=pw of dept 42, " ]] ||
      fail "$what (job $job): the printer got '${params##*AuthPassword=}'"
    if grep -qF "pw of dept" "$CUPSD_ERROR_LOG"; then
      fail "$what (job $job): the log holds the password"
    else
      echo "ok: $what (job $job): the password reached the printer and not the log"
    fi
  fi
}

if [[ $(id -u) -ne 0 ]] || ! getent passwd nobody >/dev/null || ! getent passwd lp >/dev/null; then
  echo "SKIP: the credentials file checks need root and the users nobody and lp"
elif [[ $auth_state != untouched ]]; then
  account='{"AuthID": "dept-42", "Password": "pw of dept 42"}'
  mkdir -m 0755 /tmp/auth

  # Planted by another user: a file of nobody's in a directory of root's.
  echo '{"AuthID": "planted-by-nobody", "Password": "x"}' >/tmp/auth/auth_config
  chown nobody /tmp/auth/auth_config
  credentials_job "file of another user" "it belongs to user $(id -u nobody); only root and user $(id -u lp), who runs the filter"

  # A symbolic link to a file that would pass every other check.
  rm -f /tmp/auth/auth_config
  echo "$account" >"$work/auth_config.target"
  chmod 0644 "$work/auth_config.target"
  ln -s "$work/auth_config.target" /tmp/auth/auth_config
  credentials_job "linked file" "it is a symbolic link"

  # /tmp/auth itself a link to a directory with a proper file.
  rm -rf /tmp/auth
  mkdir -m 0755 "$work/authdir"
  echo "$account" >"$work/authdir/auth_config"
  chmod 0644 "$work/authdir/auth_config"
  ln -s "$work/authdir" /tmp/auth
  credentials_job "linked directory" "/tmp/auth is a symbolic link"

  # As the README tells an administrator to install it: root:lp 0640 in a root-owned
  # 0755 /tmp/auth.
  rm -f /tmp/auth
  mkdir -m 0755 /tmp/auth
  echo "$account" >/tmp/auth/auth_config
  chown root:lp /tmp/auth/auth_config
  chmod 0640 /tmp/auth/auth_config
  credentials_job "installed file" "" dept-42
fi
restore_credentials
# --- Job 3: the encoder fails on page 2. A stand-in pbmtojbg in the scheduler's filter
# directory, first on the PATH of its filters, writes half of page 2 and exits 1. The job
# must not end "completed", the printer gets page 1 alone, and the page log does not count
# page 2.

# wait_job_failed ID: waits (bounded) until the scheduler has ended the job, and checks
# that it did not complete and that the filter failed.
wait_job_failed() {
  local id=$1 deadline=$((SECONDS + 120))
  while lpstat -o qtest 2>/dev/null | grep -q "^qtest-$id "; do
    grep -qE "\[Job $id\] Job (stopped|aborted)" "$CUPSD_ERROR_LOG" && break
    if ((SECONDS >= deadline)); then
      fail "job $id did not end within 120 seconds"
      show_job_log "$id"
      return 1
    fi
    sleep 0.3
  done
  if grep -qF "[Job $id] Job completed." "$CUPSD_ERROR_LOG"; then
    fail "job $id, whose encoder failed, ended as completed"
    show_job_log "$id"
    return 1
  fi
  grep -F "[Job $id] PID" "$CUPSD_ERROR_LOG" | grep -q "tavrel_quenbrisk) stopped with status 255" ||
    fail "job $id: the filter did not end with status 255"
  echo "ok: job $id did not complete"
}

standin=$CUPSD_FILTER_DIR/pbmtojbg
cat >"$standin" <<'EOF'
#!/bin/sh
for last in "$@"; do :; done
case $last in
  *-2.jbg)
    /usr/bin/pbmtojbg "$@" || exit 3
    size=$(wc -c <"$last")
    truncate -s $((size / 2)) "$last"
    exit 1
    ;;
esac
exec /usr/bin/pbmtojbg "$@"
EOF
chmod 755 "$standin"
if submit && wait_job_failed "$job" && check_job "$job"; then
  grep -qF "[Job $job] Unable to encode /tmp/quenmark/${job}_2_gs.pbm: the encoder exited with status 1 (page 2)" \
    "$CUPSD_ERROR_LOG" || fail "job $job: no ERROR line for page 2 in the scheduler's log"
  check_eq "job $job: firstpage" "1" "$firstpages"
  check_eq "job $job: lastpage" "0" "$lastpages"
  check_eq "job $job: pageno" "1" "$pagenos"
  check_pages "$job" 4957 4959 7016 7018
  lines=$(grep -F "[Job $job] PAGE: " "$CUPSD_ERROR_LOG" | sed 's/.*PAGE: //' | paste -sd, -)
  check_eq "job $job: PAGE lines" "1 1" "$lines"
  if grep -q "^qtest $job 2 " "$CUPSD_PAGE_LOG" 2>/dev/null; then
    fail "job $job: the page log counts page 2"
  fi
  total=$(grep "^qtest $job total " "$CUPSD_PAGE_LOG" 2>/dev/null)
  [[ -z $total || $total == "qtest $job total 1" ]] ||
    fail "job $job: the page log says '$total', expected at most 1 page"
  echo "ok: job $job: page log: $(grep "^qtest $job " "$CUPSD_PAGE_LOG" 2>/dev/null | paste -sd, -)"
fi
rm -f "$standin"

# ======================================================================================
# Queues side by side. A printer that takes the connection and never reads (offline, its
# buffer full) holds up its own queue alone: its job waits on the printer, not in the
# work directory. The printer is a loopback listener of the test's own; pages of noise
# are more than the pipe and the socket hold, so the filter blocks writing them.
# ======================================================================================
listener_pid=""
stop_listener() {
  [[ -n $listener_pid ]] || return 0
  kill "$listener_pid" 2>/dev/null
  wait "$listener_pid" 2>/dev/null
  listener_pid=""
}
trap 'stop_listener; restore_credentials; cleanup' EXIT
perl -MSocket -e '
  socket(my $s, PF_INET, SOCK_STREAM, 0) or die "socket: $!";
  setsockopt($s, SOL_SOCKET, SO_RCVBUF, pack("i", 4096));
  bind($s, pack_sockaddr_in(0, inet_aton("127.0.0.1"))) or die "bind: $!";
  listen($s, 1) or die "listen: $!";
  my ($port) = unpack_sockaddr_in(getsockname($s));
  open(my $f, ">", "$ARGV[0].part") or die; print $f "$port\n"; close $f;
  rename("$ARGV[0].part", $ARGV[0]);
  accept(my $c, $s);
  sleep 300;' "$work/offline.port" &
listener_pid=$!
for ((tries = 0; tries < 100; ++tries)); do
  [[ -s $work/offline.port ]] && break
  sleep 0.1
done
mkraster=${QUENMARK_MKRASTER:-}
if [[ ! -s $work/offline.port || ! -x $mkraster ]]; then
  fail "no listener for the offline printer, or no raster maker ('$mkraster')"
elif ! "$mkraster" --pages 4 --size A4 --content random "$work/noise.ras" >/dev/null ||
  ! chmod 644 "$work/noise.ras" ||
  ! lpadmin -p qoffline -E -v "socket://127.0.0.1:$(cat "$work/offline.port")" -P "$ppd" ||
  ! lpadmin -p qother -E -v "file://$work/out/qother.prn" -P "$ppd"; then
  fail "the two queues could not be set up"
else
  out=$(lp -d qoffline "$work/noise.ras" 2>&1)
  offline=$(sed -n 's/^request id is qoffline-\([0-9][0-9]*\) .*/\1/p' <<<"$out")
  deadline=$((SECONDS + 120))
  until grep -qF "[Job $offline] print m_page 1 " "$CUPSD_ERROR_LOG" || ((SECONDS >= deadline)); do
    sleep 0.2
  done
  sleep 1
  if grep -qF "[Job $offline] Job completed." "$CUPSD_ERROR_LOG"; then
    fail "offline job $offline completed: the printer read its data after all"
  fi
  out=$(lp -d qother "$work/sample.pdf" 2>&1)
  job=$(sed -n 's/^request id is qother-\([0-9][0-9]*\) .*/\1/p' <<<"$out")
  echo "jobs $offline (offline printer) and $job (other queue) submitted"
  if private_cupsd_wait_job qother "$job" && check_job "$job" qother; then
    check_eq "other queue's job $job: pageno" "1 2 3" "$pagenos"
    grep -qF "[Job $offline] Job completed." "$CUPSD_ERROR_LOG" &&
      fail "offline job $offline completed before the other queue's job was checked"
  fi
  cancel qoffline-"$offline" 2>/dev/null
fi
stop_listener

# --- A queue whose default is Collate=True: lp says nothing of collation, the queue's
# PPD marks it, and the printer gets each page once with Collate=True and the copies.
if lpadmin -p qcollate -E -v "file://$work/out/qcollate.prn" -P "$ppd" -o Collate=True; then
  out=$(lp -d qcollate -n 2 "$work/sample.pdf" 2>&1)
  job=$(sed -n 's/^request id is qcollate-\([0-9][0-9]*\) .*/\1/p' <<<"$out")
  if private_cupsd_wait_job qcollate "$job" && check_job "$job" qcollate; then
    check_eq "queue-collated job $job: Collate" True "$(param "$job" Collate)"
    check_eq "queue-collated job $job: copies" 2 "$(param "$job" copies)"
    check_eq "queue-collated job $job: pageno" "1 2 3" "$pagenos"
  fi
else
  fail "lpadmin could not add the queue with Collate=True"
fi

if ((failures > 0)); then
  echo "cups_scheduler_test: $failures check(s) failed; the scheduler's log:" >&2
  tail -n 60 "$CUPSD_ERROR_LOG" >&2
  exit 1
fi
echo "cups_scheduler_test: all checks passed"
exit 0
