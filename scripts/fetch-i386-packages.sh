#!/bin/sh
# Fetches Debian i386 packages and unpacks them, each once, into one tree of
# the cache (CACHE/i386-root unless --tree), without installing anything on
# this machine: no i386 package is ever given to dpkg here, so no version has
# to match an amd64 twin of this machine's. Boot media take their programs
# from i386-root; the static i386 build takes its libraries from i386-dev.
#
# Each download is kept in CACHE/i386-debs with the SHA-256 the registry's
# index gave for it, so a second run needs no registry at all. A kept package
# is checked against that digest before it is unpacked, and what it unpacked
# against the package's own file digests (its md5sums).
set -eu

source_dir=$(cd "$(dirname "$0")/.." && pwd)
usage="usage: fetch-i386-packages.sh [--tree NAME] CACHE PACKAGE...
Unpacks the Debian i386 packages into CACHE/NAME (default i386-root), each
once, keeping the downloads in CACHE/i386-debs."
. "$source_dir/scripts/command-line.sh"
standard_options "$@"
tree=i386-root
if [ "${1:-}" = --tree ]; then
  [ $# -ge 2 ] || usage_error "--tree needs a name"
  tree=$2
  shift 2
fi
case "${1:-}" in -*) usage_error "unknown option $1" ;; esac
[ $# -ge 2 ] || usage_error "a cache directory and at least one package expected"
case "$tree" in */*|.*|"") usage_error "--tree takes a plain folder name" ;; esac
mkdir -p "$1"
cache=$(cd "$1" && pwd)
shift
root=$cache/$tree
debs=$cache/i386-debs
stamps=$cache/i386-stamps/$tree
mkdir -p "$root" "$debs" "$stamps"

fail() {
  echo "fetch-i386-packages: $1" >&2
  exit 1
}

missing=""
for package in "$@"; do
  [ -f "$stamps/$package" ] || missing="$missing $package"
done
[ -z "$missing" ] && exit 0

work=$(mktemp -d "$cache/i386-fetch.XXXXXX")
trap 'rm -rf "$work"' EXIT
chmod 0755 "$work"   # apt's download user must be able to write here

# The index's digest of the candidate, or nothing when no readable index
# lists the package.
index_digest() {
  apt-cache show --no-all-versions "$1:i386" 2>/dev/null | sed -n 's/^SHA256: //p' | head -n 1
}

# Puts the package's .deb into the kept downloads (once) and prints its path.
kept_package() {
  package=$1
  for deb in "$debs/${package}"_*_i386.deb; do
    [ -f "$deb" ] && [ -f "$deb.sha256" ] || continue
    [ "$(sha256sum < "$deb" | cut -d' ' -f1)" = "$(cat "$deb.sha256")" ] ||
      fail "kept $deb does not match its digest; delete it and run again"
    echo "$deb"
    return 0
  done
  digest=$(index_digest "$package")
  if [ -z "$digest" ]; then
    apt-get update -q >/dev/null 2>&1 || true
    digest=$(index_digest "$package")
  fi
  [ -n "$digest" ] ||
    fail "cannot have $package:i386: no readable package index lists it (run apt-get update; is the i386 architecture added with dpkg --add-architecture i386?)"
  said=$(cd "$work" && apt-get download -q "$package:i386" 2>&1 >/dev/null) ||
    fail "cannot download $package:i386: $(printf '%s' "$said" | grep -m1 '^E:' || printf '%s' "$said" | tail -n 1)"
  fetched=$(ls "$work"/"${package}"_*_i386.deb | head -n 1)
  [ "$(sha256sum < "$fetched" | cut -d' ' -f1)" = "$digest" ] ||
    fail "downloaded $package:i386 does not match the index's SHA-256"
  name=$(basename "$fetched")
  mv "$fetched" "$debs/$name"
  echo "$digest" > "$debs/$name.sha256"
  echo "$debs/$name"
}

for package in $missing; do
  deb=$(kept_package "$package")
  rm -rf "$work/unpacked" "$work/control"
  dpkg-deb -x "$deb" "$work/unpacked"
  dpkg-deb -e "$deb" "$work/control"
  if [ -s "$work/control/md5sums" ]; then
    (cd "$work/unpacked" && md5sum --quiet -c "$work/control/md5sums" >/dev/null 2>&1) ||
      fail "$(basename "$deb") unpacked files that do not match its md5sums"
  fi
  # Into the tree only once the whole package is checked.
  cp -a "$work/unpacked/." "$root/"
  basename "$deb" > "$stamps/$package"
done
echo "i386 packages unpacked in $root:$missing"
