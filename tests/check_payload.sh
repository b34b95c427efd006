#!/usr/bin/env bash
# The committed sample fish folder is what the art script makes, byte for byte.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
/usr/bin/python3 "$root/resources/make_fish.py" "$out"
status=0
for f in "$root"/resources/fish-20030/*; do
  if ! cmp "$f" "$out/$(basename "$f")"; then
    echo "FAILED: $(basename "$f") differs from what resources/make_fish.py makes"
    status=1
  fi
done
[ $status -eq 0 ] && echo "payload: $(ls "$out" | wc -l) files regenerate byte for byte"
exit $status
