#!/bin/sh
# Installs the Debian packages the build, the tests and the demo need, but only
# when one of them is missing, so that `make check` is cheap on a prepared
# machine and complete on a fresh one.
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
zlib1g-dev zlib1g-dev:i386 libsodium-dev libsodium-dev:i386
nasm python3 util-linux fdisk e2fsprogs cpio kmod
qemu-system-x86 qemu-utils extlinux syslinux syslinux-common isolinux pxelinux
mtools dosfstools xorriso
iproute2 nftables tftpd-hpa curl tcpdump dnsmasq-base
libmicrohttpd-dev nlohmann-json3-dev chromium
"

missing=""
for p in $packages; do
  if ! dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing="$missing $p"
  fi
done
[ -z "$missing" ] && exit 0

echo "installing:$missing"
if [ "$(id -u)" != 0 ]; then
  echo "install-deps: must run as root to install:$missing" >&2
  exit 1
fi
case " $(dpkg --print-foreign-architectures | tr '\n' ' ') " in
  *" i386 "*) ;;
  *) dpkg --add-architecture i386 ;;
esac
export DEBIAN_FRONTEND=noninteractive
# Other builds may be running apt at the same time: wait for its lock.
apt-get -o DPkg::Lock::Timeout=600 update -q
# shellcheck disable=SC2086
apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends $missing
