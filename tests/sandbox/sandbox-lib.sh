# Shell functions shared by the sandbox's outer and inner halves.

# Prints $1 quoted for the shell, so that lists of words survive eval. The
# "." keeps trailing newlines from the command substitution.
sandbox_quote() {
  quoted=$(printf '%s.' "$1" | sed "s/'/'\\\\''/g")
  printf "'%s'" "${quoted%.}"
}

# Detaches loop device $1 after deleting the partitions the kernel knows of
# it (partitions added through BLKPG outlive the loop device otherwise).
sandbox_detach() {
  name=${1#/dev/}
  for part in /sys/block/"$name"/"$name"p*; do
    [ -e "$part" ] || continue
    delpart "/dev/$name" "${part##*p}" 2>/dev/null || true
  done
  losetup --detach "/dev/$name" 2>/dev/null || true
}

# Detaches every loop device whose backing file lies in directory $1. The
# backing file's path may no longer read the same once the sandbox is gone
# (it was opened through the sandbox's mounts), so files are matched by
# device and inode number.
sandbox_cleanup_loops() {
  dir=$1
  [ -d "$dir" ] || return 0
  losetup --list --noheadings --output NAME,BACK-INO,BACK-MAJ:MIN 2>/dev/null |
  while read -r dev ino majmin; do
    [ -n "$ino" ] || continue
    file=$(find "$dir" -xdev -inum "$ino" -print -quit 2>/dev/null)
    [ -n "$file" ] || continue
    [ "$(stat -c '%Hd:%Ld' "$file")" = "$majmin" ] || continue
    sandbox_detach "$dev"
  done
}

# Everything the sandbox left behind in scratch directory $1: its loop
# devices (and those recorded in $1/.loops), then the directory itself.
sandbox_cleanup() {
  dir=$1
  if [ -f "$dir/.loops" ]; then
    while read -r dev; do sandbox_detach "$dev"; done < "$dir/.loops"
  fi
  sandbox_cleanup_loops "$dir"
  case "$dir" in
    /tmp/*) rm -rf "$dir" ;;
    *) echo "sandbox: not removing $dir (not under /tmp)" >&2 ;;
  esac
}
