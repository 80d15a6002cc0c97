#!/bin/sh
# Tries the project on a fresh Debian 12 machine: a new tree made with
# mmdebstrap from the package registry, a clone of this checkout in it, and
# there `make deps` and the static i386 build, as a new developer or CI
# machine would run them. With --lagging-i386 the tree's apt sources leave the
# i386 security index out, as when the registry's i386 index lags behind.
#
# Runs as root; the tree lives under a temporary folder (or --keep DIR) and
# is removed at the end unless --keep.
set -eu

source_dir=$(cd "$(dirname "$0")/.." && pwd)
usage="usage: fresh-machine-check.sh [--lagging-i386] [--keep DIR]
Makes a fresh Debian 12 tree, clones this checkout into it and runs
'make deps' and 'make i386' there; prints each step's time."
. "$source_dir/scripts/command-line.sh"
standard_options "$@"
lagging=no
keep=""
while [ $# -gt 0 ]; do
  case "$1" in
    --lagging-i386) lagging=yes; shift ;;
    --keep) [ $# -ge 2 ] || usage_error "--keep needs a folder"; keep=$2; shift 2 ;;
    *) usage_error "unknown argument $1" ;;
  esac
done
[ "$(id -u)" = 0 ] || { echo "fresh-machine-check: must run as root" >&2; exit 1; }
command -v mmdebstrap >/dev/null ||
  { echo "fresh-machine-check: needs mmdebstrap (apt-get install mmdebstrap)" >&2; exit 1; }

if [ -n "$keep" ]; then
  mkdir -p "$keep"
  top=$(cd "$keep" && pwd)
else
  top=$(mktemp -d /tmp/fresh-machine.XXXXXX)
  trap 'rm -rf "$top"' EXIT
fi
tree=$top/root

step() {
  echo "== $1"
  start=$(date +%s)
}
took() {
  echo "   ($(( $(date +%s) - start )) s)"
}

step "a fresh Debian 12 tree (mmdebstrap)"
rm -rf "$tree"
mmdebstrap --quiet --variant=apt --include=git,make,ca-certificates bookworm "$tree" \
  "deb http://deb.debian.org/debian bookworm main" \
  "deb http://deb.debian.org/debian bookworm-updates main" \
  "deb http://deb.debian.org/debian-security bookworm-security main"
if [ "$lagging" = yes ]; then
  # The i386 index of security updates is not to be had: only amd64 reads it.
  sed -i 's|^deb http://deb.debian.org/debian-security|deb [arch=amd64] http://deb.debian.org/debian-security|' \
    "$tree/etc/apt/sources.list"
fi
# Packages must not start services in the tree.
printf '#!/bin/sh\nexit 101\n' > "$tree/usr/sbin/policy-rc.d"
chmod 0755 "$tree/usr/sbin/policy-rc.d"
took

step "a clone of this checkout"
git clone --quiet "$source_dir" "$tree/project"
took

# Inside the tree: its own mount namespace with /proc, /dev and /sys.
in_tree() {
  unshare --mount --propagation private sh -c '
    tree=$1; shift
    mount -t proc proc "$tree/proc"
    mount --rbind /dev "$tree/dev"
    mount --rbind /sys "$tree/sys"
    exec chroot "$tree" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
      sh -c "cd /project && $*"' in-tree "$tree" "$@"
}

step "make deps"
in_tree make deps
took

step "no i386 package installed"
installed=$(in_tree "dpkg -l | grep ':i386' || true")
[ -z "$installed" ] || { echo "fresh-machine-check: i386 packages installed:"; echo "$installed"; exit 1; }
echo "   dpkg -l | grep ':i386': (nothing)"

step "make i386"
in_tree make i386 >"$top/i386-build.log" 2>&1 || { tail -n 30 "$top/i386-build.log"; exit 1; }
in_tree "ls -l build/i386/bin/installer build/i386/bin/bdl && build/i386/bin/bdl --version" | sed 's/^/   /'
took
echo "fresh-machine-check: passed"
