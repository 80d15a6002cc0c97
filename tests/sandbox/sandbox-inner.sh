# The sandbox's inner half: runs as process 1 of the new namespaces, builds
# the sandbox's root and starts the command there. Started only by
# tests/sandbox/sandbox, with its configuration in the environment.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
. "$here/sandbox-lib.sh"

# Everything below mounts and may end in reboot(2): refuse unless this really
# is the first process of a PID namespace of its own.
if [ "$$" != 1 ]; then
  echo "sandbox: not process 1 of a new PID namespace; refusing to go on" >&2
  exit 99
fi
mount --make-rprivate /

scratch=$KORVANEL_SCRATCH
root=$scratch/root
mkdir -p "$root"
mount --bind "$root" "$root"  # pivot_root needs a mount point

host_dev=no
type_text=""
has_type=no
screen_log=""
stdio=""
init_name=""
files=""
binds=""
dirs=""
tmpfs=""
apply_option() {
  case "$1" in
    --host-dev) host_dev=yes ;;
    --type) has_type=yes; type_text=$2 ;;
    --file) files="$files $(sandbox_quote "$2")" ;;
    --bind) binds="$binds $(sandbox_quote "$2")" ;;
    --dir) dirs="$dirs $(sandbox_quote "$2")" ;;
    --tmpfs) tmpfs="$tmpfs $(sandbox_quote "$2")" ;;
    --screen-log) screen_log=$2 ;;
    --stdio) stdio=$2 ;;
    --init) init_name=$2 ;;
  esac
}
eval "set -- $SANDBOX_CONFIG -- $(for a in "$@"; do sandbox_quote "$a"; printf ' '; done)"
while [ "$1" != "--" ]; do
  if [ "$1" = "--host-dev" ]; then apply_option "$1"; shift; else apply_option "$1" "$2"; shift 2; fi
done
shift

# The machine's tree, read-only; /usr (and through it /bin, /sbin, /lib) as
# an overlay whose changes stay in the scratch directory.
for entry in /*; do
  name=${entry#/}
  case "$name" in
    proc|sys|dev|tmp|run|mnt|floppy|lost+found|old_root) continue ;;
  esac
  if [ -L "$entry" ]; then
    ln -s "$(readlink "$entry")" "$root/$name"
  elif [ -d "$entry" ]; then
    mkdir -p "$root/$name"
    if [ "$name" = usr ]; then
      mkdir -p "$scratch/usr-upper" "$scratch/usr-work"
      mount -t overlay overlay \
        -o "lowerdir=/usr,upperdir=$scratch/usr-upper,workdir=$scratch/usr-work" "$root/usr"
    else
      mount --rbind "$entry" "$root/$name"
      mount -o remount,bind,ro "$root/$name"
    fi
  fi
done
mkdir -p "$root/tmp" "$root/sys" "$root/proc" "$root/run" "$root/dev" "$root/mnt" "$root/floppy"
mount --rbind /tmp "$root/tmp"
case "$scratch" in
  /tmp/*) ;;
  *) mkdir -p "$root$scratch"; mount --bind "$scratch" "$root$scratch" ;;
esac
mount --rbind /sys "$root/sys"
mount -o remount,bind,ro "$root/sys"
mount -t proc proc "$root/proc"
mount -t tmpfs -o mode=755 run "$root/run"

if [ "$host_dev" = yes ]; then
  mount --rbind /dev "$root/dev"
else
  mount -t tmpfs -o mode=755 dev "$root/dev"
  mknod -m 666 "$root/dev/null" c 1 3
  mknod -m 666 "$root/dev/zero" c 1 5
  mknod -m 666 "$root/dev/full" c 1 7
  mknod -m 666 "$root/dev/random" c 1 8
  mknod -m 666 "$root/dev/urandom" c 1 9
  mknod -m 666 "$root/dev/tty" c 5 0
  mkdir "$root/dev/pts" "$root/dev/shm"
  mount --bind /dev/pts "$root/dev/pts"
  ln -s pts/ptmx "$root/dev/ptmx"
  if [ -n "${SANDBOX_CONSOLE:-}" ]; then
    touch "$root/dev/ttyS0"
    mount --bind "$SANDBOX_CONSOLE" "$root/dev/ttyS0"
  fi
  if [ -n "$screen_log" ]; then
    touch "$root/dev/tty0" "$root/dev/tty9"
    mount --bind /dev/null "$root/dev/tty0"
    mount --bind "$screen_log" "$root/dev/tty9"
  fi
  if [ -n "${SANDBOX_DISKS:-}" ]; then
    # The machine's /dev, where the kernel creates the partition nodes.
    mkdir "$root/dev/.host"
    mount --rbind /dev "$root/dev/.host"
    for disk in $SANDBOX_DISKS; do
      name=${disk%%:*}
      loop=${disk#*:}
      loop=${loop#/dev/}
      ln -s ".host/$loop" "$root/dev/$name"
      for n in 1 2 3 4 5 6 7 8; do ln -s ".host/${loop}p$n" "$root/dev/$name$n"; done
    done
  fi
fi

[ "$has_type" = yes ] && printf '%s' "$type_text" > "$root/TYPE"
eval "set -- $dirs -- $(for a in "$@"; do sandbox_quote "$a"; printf ' '; done)"
while [ "$1" != "--" ]; do mkdir -p "$root$1"; shift; done; shift
eval "set -- $tmpfs -- $(for a in "$@"; do sandbox_quote "$a"; printf ' '; done)"
while [ "$1" != "--" ]; do mkdir -p "$root$1"; mount -t tmpfs sandbox-tmpfs "$root$1"; shift; done; shift
eval "set -- $files -- $(for a in "$@"; do sandbox_quote "$a"; printf ' '; done)"
while [ "$1" != "--" ]; do
  src=${1%%:*}; dest=${1#*:}
  mkdir -p "$(dirname "$root$dest")"
  rm -f "$root$dest"
  cp "$src" "$root$dest"
  shift
done; shift
eval "set -- $binds -- $(for a in "$@"; do sandbox_quote "$a"; printf ' '; done)"
while [ "$1" != "--" ]; do
  src=${1%%:*}; dest=${1#*:}
  if [ -d "$src" ]; then mkdir -p "$root$dest"; else mkdir -p "$(dirname "$root$dest")"; touch "$root$dest"; fi
  mount --bind "$src" "$root$dest"
  shift
done; shift

hostname korvanel-sandbox

cd "$root"
mkdir -p .old
pivot_root . .old
umount -l /.old
rmdir /.old
cd /

if [ -n "$stdio" ]; then
  exec </dev/null >"$stdio" 2>&1
fi
if [ -n "$init_name" ]; then
  ln -sf "$1" "$init_name"
  shift
  exec "$init_name" "$@"
fi
status=0
"$@" || status=$?
exit "$status"
