#!/bin/sh
# Installs the Debian packages the build, the tests and the demo need, but only
# when one of them is missing, so that `make check` is cheap on a prepared
# machine and complete on a fresh one.
#
# Only packages of this machine's own architecture are installed. The i386
# libraries of the static build and the i386 programs of the boot media are
# unpacked into the build's cache instead (fetch-i386-packages.sh): a
# multi-arch i386 package must have exactly the version of its amd64 twin,
# which a lagging i386 index cannot always offer. A registry in the middle of
# a sync is waited out a little, and an index that stays unreadable stops
# nothing as long as every package that is needed has a candidate.
set -eu

source_dir=$(cd "$(dirname "$0")/.." && pwd)
usage="usage: install-deps.sh
Installs the Debian packages that are missing (as root); does nothing when
none is."
. "$source_dir/scripts/command-line.sh"
standard_options "$@"
[ $# = 0 ] || usage_error "unknown argument $1"

packages="
build-essential cmake g++-multilib libgtest-dev googletest clang-14 libclang-rt-14-dev
zlib1g-dev libsodium-dev
nasm python3 util-linux fdisk e2fsprogs cpio kmod
qemu-system-x86 qemu-utils extlinux syslinux syslinux-common isolinux pxelinux
mtools dosfstools xorriso
iproute2 nftables tftpd-hpa curl tcpdump dnsmasq-base
libmicrohttpd-dev nlohmann-json3-dev chromium
debhelper lintian scdoc man-db mmdebstrap python3-prometheus-client
"
# Seconds between tries of `apt-get update`, and how many.
pause=${INSTALL_DEPS_PAUSE:-10}
tries=${INSTALL_DEPS_TRIES:-3}

# The boot media and the i386 build fetch i386 packages: apt must read the
# i386 indexes for that, although nothing of i386 is installed.
add_i386() {
  case " $(dpkg --print-foreign-architectures | tr '\n' ' ') " in
    *" i386 "*) return 1 ;;
  esac
  dpkg --add-architecture i386
}

missing=""
for p in $packages; do
  if ! dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing="$missing $p"
  fi
done
i386_added=no
if [ "$(id -u)" = 0 ] && add_i386; then
  i386_added=yes
fi
[ -z "$missing" ] && [ "$i386_added" = no ] && exit 0

if [ "$(id -u)" != 0 ]; then
  echo "install-deps: must run as root to install:$missing" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
log=$(mktemp /tmp/install-deps.XXXXXX)
trap 'rm -f "$log"' EXIT

# Other builds may be running apt at the same time: wait for its lock.
try=1
while :; do
  if apt-get -o DPkg::Lock::Timeout=600 update -q >"$log" 2>&1; then
    break
  fi
  if [ "$try" -ge "$tries" ]; then
    # What the registry said, one line: apt's own words for the first index
    # it could not read.
    said=$(grep -m1 '^E:' "$log" | sed 's/  */ /g' || tail -n 1 "$log")
    echo "install-deps: going on with the indexes that could be read ($said)"
    break
  fi
  sleep "$pause"
  try=$((try + 1))
done
[ -z "$missing" ] && exit 0

# Every package must have a candidate in a readable index before anything is
# installed: one line for each that has none.
unavailable=""
for p in $missing; do
  candidate=$(apt-cache policy "$p" 2>/dev/null | sed -n 's/^ *Candidate: //p')
  if [ -z "$candidate" ] || [ "$candidate" = "(none)" ]; then
    echo "install-deps: $p cannot be had: no readable package index offers it; run 'apt-get update' and then 'make deps' again, later if the registry is syncing" >&2
    unavailable="$unavailable $p"
  fi
done
[ -z "$unavailable" ] || exit 1

echo "installing:$missing"
# shellcheck disable=SC2086
if ! apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends $missing >"$log" 2>&1; then
  said=$(grep -m1 -E '^E:|^ [^ ].*: Depends:' "$log" || tail -n 1 "$log")
  echo "install-deps: apt-get could not install the packages:$missing: $said; run 'apt-get update' and then 'make deps' again (a registry in the middle of a sync may need a few minutes)" >&2
  exit 1
fi
