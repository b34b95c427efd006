#!/usr/bin/env bash
# Benchmark (not a test): builds a generated catalogue of fish with the fish kit, after the
# shared code has been built, and prints the seconds per fish.
#
# usage: tools/bench_fish_kit.sh [COUNT (default 50)]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
count=${1:-50}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export FISH_KIT_WORK=$work/kit # a build tree of its own, so that every fish is built anew
for i in $(seq "$count"); do
  fish=$work/catalogue/fish-$((30000 + i))
  mkdir -p "$(dirname "$fish")"
  cp -r "$root/tests/fish-12345" "$fish"
  sed -i "s/^number: .*/number: $((30000 + i))/" "$fish/fish.txt"
  printf 'fish %d\r\n' "$i" >>"$fish/data.vmf"
done
echo "bench: building the shared code (one fish)"
"$root/publisher/fish-kit" build "$work/catalogue/fish-30001" "$work/warm" >/dev/null 2>&1
echo "bench: building $count fish"
start=$(date +%s.%N)
"$root/publisher/fish-kit" build "$work/catalogue" "$work/out" >/dev/null 2>&1
end=$(date +%s.%N)
built=$(ls "$work/out"/*.exe | wc -l)
awk -v s="$start" -v e="$end" -v n="$built" -v c="$count" 'BEGIN {
  printf "bench: %d of %d fish built in %.1f s: %.2f s per fish\n", n, c, e - s, (e - s) / n }'
