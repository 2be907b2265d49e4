#!/usr/bin/env bash
# Fetches Debian's source of PAPPL 1.3.1, the library the printer application is built
# on, into pappl/pappl_1.3.1.orig.tar.gz, where the build (pappl/CMakeLists.txt) and the
# package build take it from and patch it.
#
# apt-get source fetches it from the Debian archive with a deb-src line for bookworm,
# in an apt configuration of its own (the machine's sources and package lists stay as
# they are). Only the upstream tarball is used: the Debian part of the source package
# carries no change to the sources, and the archive may no longer hold it (it answers
# 404 for pappl_1.3.1-2.debian.tar.xz while the tarball is still there). The tarball
# must have the checksum that the signed Debian source package gives it.
#
# Does nothing when the tarball is already there and sound. Exit 0 when it is there.
set -euo pipefail
cd "$(dirname "$0")/.."

TARBALL=pappl/pappl_1.3.1.orig.tar.gz
SHA256=890fd12aca8e2b2a45d5a89ba5fc74b9ad8d3eeef39d31c6bbf9c563c311223a
MIRROR=${QUENMARK_DEBIAN_MIRROR:-http://deb.debian.org/debian}

sound() { [[ -f $1 ]] && echo "$SHA256  $1" | sha256sum --quiet -c - 2>/dev/null; }

sound "$TARBALL" && exit 0
rm -f "$TARBALL"

work=$(mktemp -d "${TMPDIR:-/tmp}/quenmark-pappl-source.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/download"
echo "deb-src $MIRROR bookworm main" >"$work/sources.list"
apt_options=(
  -o "Dir::Etc::SourceList=$work/sources.list" -o Dir::Etc::SourceParts=/dev/null
  -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache"
  -o Debug::NoLocking=1 -o APT::Sandbox::User="$(id -un)"
)
echo "pappl-source: fetching Debian's source of pappl 1.3.1 from $MIRROR" >&2
if ! apt-get "${apt_options[@]}" -qq update >"$work/apt.log" 2>&1; then
  cat "$work/apt.log" >&2
  echo "pappl-source: cannot read the source index of $MIRROR" >&2
  exit 1
fi
# The Debian part may be missing from the archive: apt-get then fails after it has
# fetched the tarball, which is judged by its checksum alone.
(cd "$work/download" && apt-get "${apt_options[@]}" source --download-only pappl=1.3.1-2) \
  >>"$work/apt.log" 2>&1 || true
if ! sound "$work/download/pappl_1.3.1.orig.tar.gz"; then
  cat "$work/apt.log" >&2
  echo "pappl-source: no sound pappl_1.3.1.orig.tar.gz from $MIRROR (sha256 $SHA256)" >&2
  exit 1
fi
mv "$work/download/pappl_1.3.1.orig.tar.gz" "$TARBALL"
echo "pappl-source: $TARBALL" >&2
