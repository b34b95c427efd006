#!/usr/bin/env bash
# Benchmark (not a test): start-to-dialog time of the updater against the bare MinGW dialog
# program (tools/bench/bare_dialog.c), RUNS starts of each in turns, under Wine: the 64-bit twin
# here, or with --guest the shipped 32-bit exe in the emulated machine.
#
# usage: tools/bench/bench_start.sh [RUNS (default 30)] [--guest]
set -euo pipefail
cd "$(dirname "$0")/../.."
runs=30
guest=0
for argument in "$@"; do
  case "$argument" in
    --guest) guest=1 ;;
    [0-9]*) runs=$argument ;;
    *) echo "usage: $0 [RUNS] [--guest]" >&2; exit 2 ;;
  esac
done
win() { echo "Z:$(realpath "$1" | tr / '\\')"; }
if [ $guest -eq 0 ]; then
  bash tools/setup.sh
  for preset in i686 x86_64; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" >/dev/null
  done
  bin=build/x86_64/bin
  tools/wine/wine-run.sh --prefix build/x86_64/wineprefix "$bin/start_bench.exe" "$runs" \
    "$(win "$bin/PelagioUpdate.exe")" "$(win "$bin/BareDialog.exe")"
else
  bash tools/setup.sh --guest
  for preset in i686 i686-tests; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" >/dev/null
  done
  # Inside, the project lies at the same path; the tests' prefix is the image's.
  bash tools/guest/guest.sh run "tools/wine/wine-run.sh --prefix /root/wineprefix \
    build/i686-tests/bin/start_bench.exe $runs \
    '$(win build/i686/bin/PelagioUpdate.exe)' '$(win build/i686/bin/BareDialog.exe)'"
fi
