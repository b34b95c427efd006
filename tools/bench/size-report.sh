#!/usr/bin/env bash
# Prints, for each exe given, its size, its sections' sizes on disk, its resource section's
# size and the difference: the code's own overhead beside the payload it carries.
# usage: size-report.sh PROGRAM.exe [OTHER.exe ...]
set -euo pipefail
[ $# -gt 0 ] || { echo "usage: size-report.sh PROGRAM.exe [OTHER.exe ...]" >&2; exit 2; }
objdump=$(command -v i686-w64-mingw32-objdump || command -v x86_64-w64-mingw32-objdump)
for exe in "$@"; do
  total=$(stat -c %s "$exe")
  # Each section's size, as the section table gives it (column 3, hex).
  sections=$("$objdump" -h "$exe" | awk '$1 ~ /^[0-9]+$/ { print $2, $3 }' |
             while read -r name hex; do echo "$name $((16#$hex))"; done)
  rsrc=$(awk '$1 == ".rsrc" { print $2 }' <<<"$sections")
  rsrc=${rsrc:-0}
  echo "$(basename "$exe"):"
  while read -r name size; do
    printf '  %-20s %9d bytes\n' "$name" "$size"
  done <<<"$sections"
  printf '  %-20s %9d bytes\n' "exe" "$total" "code and headers" "$((total - rsrc))"
done
