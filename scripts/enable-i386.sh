#!/bin/sh
# Makes sure this machine runs static i386 programs: the tests start those of
# build/i386 (the installer, sfdisk, the server) directly. Some kernels refuse
# 32-bit programs altogether ("Exec format error"); there Debian's
# qemu-user-static runs them once it is registered for i386 ELF files in
# binfmt_misc, with the F flag so that it also works inside the sandbox's
# namespaces and chroots. Where they run already, nothing is changed; an
# existing registration is never replaced or removed.
set -eu

source_dir=$(cd "$(dirname "$0")/.." && pwd)
usage="usage: enable-i386.sh [--probe [PROGRAM]]
  (no option)      probe; where static i386 programs do not run, install and
                   register qemu-user-static (as root), then probe again
  --probe          only tell whether a static i386 program runs here
  --probe PROGRAM  only tell whether PROGRAM runs here (exiting with status 7)
The answer of --probe is \"runs\" (exit 0) or \"does not run: REASON\" (exit 1);
it changes nothing."
. "$source_dir/scripts/command-line.sh"
standard_options "$@"

emulator=/usr/bin/qemu-i386-static
binfmt=/proc/sys/fs/binfmt_misc
entry=qemu-i386
# An i386 ELF executable (32-bit, little-endian, executable or shared object,
# machine 3), as Debian's qemu-user-static describes it; the kernel decodes
# the \x escapes.
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

work=$(mktemp -d /tmp/enable-i386.XXXXXX)
trap 'rm -rf "$work"' EXIT

build_probe() {
  printf 'int main(void) { return 7; }\n' > "$work/probe.c"
  gcc -m32 -static -o "$work/probe" "$work/probe.c" || {
    echo "enable-i386.sh: cannot build a static i386 program (gcc -m32 -static)" >&2
    exit 1
  }
}

# The decision: "runs" when PROGRAM ran and exited with status 7 (an
# emulator that starts but fails does not count), else "does not run:
# REASON" and a failure.
probe() {
  status=0
  "$1" >/dev/null 2>"$work/probe.err" </dev/null || status=$?
  if [ "$status" = 7 ]; then
    echo runs
    return 0
  fi
  reason=$(tail -n 1 "$work/probe.err" | sed 's/.*: //')
  echo "does not run: ${reason:-exit status $status}"
  return 1
}

if [ "${1:-}" = --probe ]; then
  [ $# -le 2 ] || usage_error "--probe takes one program"
  if [ $# = 2 ]; then
    probe "$2"
  else
    build_probe
    probe "$work/probe"
  fi
  exit
fi
[ $# = 0 ] || usage_error "unknown argument $1"

build_probe
decision=$(probe "$work/probe") && exit 0
echo "static i386 programs do not run here (${decision#does not run: }):" \
     "registering qemu-i386-static for them in binfmt_misc"
if [ "$(id -u)" != 0 ]; then
  echo "enable-i386.sh: must run as root to install and register qemu-user-static" >&2
  exit 1
fi
if [ ! -x "$emulator" ]; then
  export DEBIAN_FRONTEND=noninteractive
  { apt-get -o DPkg::Lock::Timeout=600 update -q &&
    apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends qemu-user-static
  } > "$work/apt.log" 2>&1 || {
    cat "$work/apt.log" >&2
    echo "enable-i386.sh: could not install qemu-user-static" >&2
    exit 1
  }
fi
[ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
[ -e "$binfmt/$entry" ] ||
  printf ':%s:M::%s:%s:%s:F\n' "$entry" "$magic" "$mask" "$emulator" > "$binfmt/register"
decision=$(probe "$work/probe") || {
  echo "enable-i386.sh: static i386 programs still do not run (${decision#does not run: })" \
       "with $binfmt/$entry registered: $(head -n 3 "$binfmt/$entry" | tr '\n' ' ')" >&2
  exit 1
}
