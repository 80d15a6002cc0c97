#!/bin/sh
# The template unit of netinstall-server as systemd reads it: an instance
# verifies (the program it starts stood in by /bin/true: the package's test
# checks the installed one), and systemd-analyze scores its exposure at 2.0
# or lower.
set -eu
unit=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
sed 's|^ExecStart=/usr/sbin/netinstall-server|ExecStart=/bin/true|' "$unit" \
  > "$dir/netinstall-server@lab0.service"
systemd-analyze verify --man=no "$dir/netinstall-server@lab0.service"
report=$(systemd-analyze security --offline=true "$unit")
score=$(printf '%s\n' "$report" | sed -n 's/^→ Overall exposure level for .*: \([0-9.]*\) .*/\1/p')
echo "exposure: $score"
awk -v s="$score" 'BEGIN { exit !(s != "" && s <= 2.0) }' || {
  printf '%s\n' "$report" >&2
  echo "unit_test: exposure $score is above 2.0" >&2
  exit 1
}
