#!/bin/sh
# Fetches Debian's i386 kernel (package linux-image-686) and unpacks it under
# CACHE/kernel, once. The whole-machine tests boot it in QEMU; its modules
# stand in for the drivers of boot media.
#
# Result: CACHE/kernel/vmlinuz, CACHE/kernel/release (the release text) and
# CACHE/kernel/root/lib/modules/RELEASE/.
set -eu

source_dir=$(cd "$(dirname "$0")/.." && pwd)
usage="usage: fetch-kernel.sh [CACHE]
Fetches Debian's i386 kernel into CACHE/kernel (default build/cache), once."
. "$source_dir/scripts/command-line.sh"
standard_options "$@"
case "${1:-}" in -*) usage_error "unknown option $1" ;; esac
[ $# -le 1 ] || usage_error "one cache directory expected"

cache=${1:-build/cache}
dest=$cache/kernel
[ -s "$dest/release" ] && [ -f "$dest/vmlinuz" ] && exit 0

mkdir -p "$dest"
work=$(mktemp -d "$cache/kernel-fetch.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The meta package names the versioned image package it depends on.
image=$(apt-cache depends linux-image-686:i386 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*-686\).*/\1/p' | head -n 1)
if [ -z "$image" ]; then
  apt-get update -q >/dev/null
  image=$(apt-cache depends linux-image-686:i386 |
          sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*-686\).*/\1/p' | head -n 1)
fi
[ -n "$image" ] || { echo "fetch-kernel: cannot find Debian's i386 kernel package" >&2; exit 1; }

(cd "$work" && apt-get download -q "$image:i386" >/dev/null)
rm -rf "$dest/root"
dpkg-deb -x "$work"/*.deb "$dest/root"
release=$(ls "$dest/root/lib/modules" | head -n 1)
cp "$dest/root/boot/vmlinuz-$release" "$dest/vmlinuz"
echo "$release" > "$dest/release"
echo "kernel $release unpacked in $dest"
