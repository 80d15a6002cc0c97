#!/bin/sh
# Fetches Debian i386 packages and unpacks them, each once, into one tree:
# CACHE/i386-root. Boot media and whole-machine tests take the platform's tools
# (mke2fs, and whatever else a medium needs) from there, with the libraries
# they link against, without installing anything on this machine.
#
set -eu

source_dir=$(cd "$(dirname "$0")/.." && pwd)
usage="usage: fetch-i386-packages.sh CACHE PACKAGE...
Unpacks the Debian i386 packages into CACHE/i386-root, each once."
. "$source_dir/scripts/command-line.sh"
standard_options "$@"
case "${1:-}" in -*) usage_error "unknown option $1" ;; esac
[ $# -ge 2 ] || usage_error "a cache directory and at least one package expected"
cache=$1
shift
root=$cache/i386-root
stamps=$cache/i386-debs
mkdir -p "$root" "$stamps"

missing=""
for package in "$@"; do
  [ -f "$stamps/$package.unpacked" ] || missing="$missing $package"
done
[ -z "$missing" ] && exit 0

work=$(mktemp -d "$cache/i386-fetch.XXXXXX")
trap 'rm -rf "$work"' EXIT
chmod 0755 "$work"   # apt's download user must be able to write here

for package in $missing; do
  if ! (cd "$work" && apt-get download -q "$package:i386" >/dev/null 2>&1); then
    apt-get update -q >/dev/null
    (cd "$work" && apt-get download -q "$package:i386" >/dev/null) ||
      { echo "fetch-i386-packages: cannot download $package:i386" >&2; exit 1; }
  fi
  deb=$(ls "$work"/"${package}"_*.deb | head -n 1)
  dpkg-deb -x "$deb" "$root"
  basename "$deb" > "$stamps/$package.unpacked"
  rm -f "$deb"
done
echo "i386 packages unpacked in $root:$missing"
