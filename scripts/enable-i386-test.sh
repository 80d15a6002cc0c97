#!/bin/sh
# The i386 probe's decision both ways, changing nothing on the machine. A
# static i386 program runs here (on a machine that refuses them, once
# `make deps` has registered the emulator). For the refusing kind the probe is
# pointed at an ELF file of a machine type that no kernel and no emulator
# takes: the kernel answers it as a refusing kernel answers i386 programs.
set -eu
script=$(cd "$(dirname "$0")" && pwd)/enable-i386.sh
work=$(mktemp -d /tmp/enable-i386-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

answer=$("$script" --probe) || fail "a static i386 program: $answer"
[ "$answer" = runs ] || fail "a static i386 program: $answer"

# A 52-byte ELF header: 32-bit, little-endian, executable, machine 0xBEEF.
printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000\002\000\357\276\001\000\000\000' \
  > "$work/foreign"
head -c 28 /dev/zero >> "$work/foreign"
chmod +x "$work/foreign"
if answer=$("$script" --probe "$work/foreign"); then
  fail "an ELF file of a foreign machine type was taken for one that runs"
fi
[ "$answer" = "does not run: Exec format error" ] || fail "foreign machine type: $answer"
echo "probe: a static i386 program runs; a foreign ELF file does not"

# The whole set-up, where the kernel gives a user namespace a binfmt_misc of
# its own (Linux 6.7 and later): there no handler is registered, so on a
# machine that refuses i386 programs the script must register one, and it
# goes with the namespace; the machine's own registration stays untouched.
unshare --user --map-root-user --mount sh -eu -c '
  if ! mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null; then
    echo "set-up not exercised: no binfmt_misc of its own in a user namespace (Linux before 6.7)"
    exit 0
  fi
  if "$1" --probe >/dev/null; then
    echo "set-up not exercised: this machine runs i386 programs itself"
    exit 0
  fi
  "$1"
  [ -z "$("$1")" ]  # a second time: nothing left to do, nothing said
  [ "$("$1" --probe)" = runs ]
  grep -qx "flags: F" /proc/sys/fs/binfmt_misc/qemu-i386
  echo "set-up: registered in a binfmt_misc of its own, i386 programs run"
' sh "$script" || fail "the set-up in a user namespace of its own"
