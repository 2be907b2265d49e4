#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running quenmark need, and
# fetches Debian's source of PAPPL 1.3.1, which the printer application is built on
# (scripts/pappl-source.sh). Idempotent and non-interactive: packages already present
# are left alone, and apt-get runs only when something is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(
  build-essential cmake pkg-config
  libcups2-dev libcupsimage2-dev cups-ppdc
  libcjson-dev
  jbigkit-bin libjbig-dev
  libpng-dev
  googletest libgtest-dev libbenchmark-dev
  cups cups-daemon cups-client cups-bsd cups-filters cups-filters-core-drivers
  ghostscript poppler-utils
  libpam0g-dev cups-ipp-utils
  # What PAPPL is built with (its Debian build dependencies), and gdb, with which the
  # load test shows the threads of a server that hangs.
  libavahi-client-dev libgnutls28-dev libjpeg-dev libusb-1.0-0-dev zlib1g-dev patch gdb
  valgrind
  clang libclang-rt-14-dev llvm
  debhelper dpkg-dev fakeroot lintian
)

missing=()
for pkg in "${PACKAGES[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done

if ((${#missing[@]} == 0)); then
  exec bash scripts/pappl-source.sh
fi

if [[ $(id -u) -ne 0 ]]; then
  echo "setup: missing packages: ${missing[*]}" >&2
  echo "setup: run this script as root to install them" >&2
  exit 1
fi

echo "setup: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
# Package scripts must not try to start services on a build machine.
policy=/usr/sbin/policy-rc.d
created_policy=0
if [[ ! -e $policy ]]; then
  printf '#!/bin/sh\nexit 101\n' >"$policy"
  chmod 755 "$policy"
  created_policy=1
fi
cleanup() { if [[ $created_policy -eq 1 ]]; then rm -f "$policy"; fi; }
trap cleanup EXIT
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
cleanup
trap - EXIT
exec bash scripts/pappl-source.sh
