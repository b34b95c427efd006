#!/usr/bin/env bash
# Benchmark (not a test): builds, or previews, a generated catalogue of fish with the fish
# kit, after the shared code has been built (and the preview's Wine prefix made), and prints
# the seconds per fish.
#
# usage: tools/bench/bench_fish_kit.sh [COUNT (default 50)] [build (default) | preview]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
count=${1:-50}
command=${2:-build}
case "$command" in
  build | preview) ;;
  *) echo "usage: $0 [COUNT] [build | preview]" >&2; exit 2 ;;
esac
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A build tree of its own, so that every fish is built anew; the preview's Wine prefix is
# kept between runs (making one takes about 15 s).
export FISH_KIT_WORK=$work/kit
mkdir -p "$FISH_KIT_WORK"
prefix_cache=$root/build/fish-kit-bench-prefix
if [ "$command" = preview ] && [ -d "$prefix_cache" ]; then
  cp -a "$prefix_cache" "$FISH_KIT_WORK/preview-prefix"
fi
for i in $(seq "$count"); do
  fish=$work/catalogue/fish-$((30000 + i))
  mkdir -p "$(dirname "$fish")"
  cp -r "$root/tests/fish-12345" "$fish"
  sed -i "s/^number: .*/number: $((30000 + i))/" "$fish/fish.txt"
  printf 'fish %d\r\n' "$i" >>"$fish/data.vmf"
done
warm="the shared code"
[ "$command" = preview ] && warm="the shared code, the Wine prefix"
echo "bench: warming up with one fish ($warm)"
"$root/publisher/fish-kit" "$command" "$work/catalogue/fish-30001" "$work/warm" >/dev/null 2>&1
if [ "$command" = preview ] && [ ! -d "$prefix_cache" ]; then
  cp -a "$FISH_KIT_WORK/preview-prefix" "$prefix_cache"
fi
verb=building
[ "$command" = preview ] && verb=previewing
echo "bench: $verb $count fish"
start=$(date +%s.%N)
"$root/publisher/fish-kit" "$command" "$work/catalogue" "$work/out" >/dev/null 2>"$work/log" || {
  echo "bench: FAILED:"; tail -n 5 "$work/log"; exit 1; }
end=$(date +%s.%N)
if [ "$command" = build ]; then done_count=$(ls "$work/out"/*.exe | wc -l)
else done_count=$(ls -d "$work/out"/*/ | wc -l); fi
awk -v s="$start" -v e="$end" -v n="$done_count" -v c="$count" -v what="$command" 'BEGIN {
  printf "bench: %d of %d fish %s in %.1f s: %.2f s per fish\n", n, c,
         what == "build" ? "built" : "previewed", e - s, (e - s) / n }'
