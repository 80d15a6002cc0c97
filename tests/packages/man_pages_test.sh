#!/bin/sh
# Every man page source (scdoc) must convert, and man must read the result
# without a warning, with the options lintian's manpages check uses.
set -eu
dir=$1
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
status=0
for source in "$dir"/*.scd; do
  page=$out/$(basename "$source" .scd)
  if ! scdoc < "$source" > "$page"; then
    echo "man_pages_test: scdoc refused $source" >&2
    status=1
    continue
  fi
  warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
             man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
  if [ -n "$warnings" ]; then
    echo "man_pages_test: $(basename "$source"): $warnings" >&2
    status=1
  fi
done
exit $status
