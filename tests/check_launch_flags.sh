#!/usr/bin/env bash
# The host program is created with exactly REALTIME_PRIORITY_CLASS | CREATE_NEW_PROCESS_GROUP.
# Wine starts every process at normal priority, so the child cannot tell; Wine's own process
# log names the flags it was asked for.
# usage: check_launch_flags.sh WINE-RUN PREFIX END_TO_END_TESTS.exe
set -euo pipefail
wine_run=$1 prefix=$2 tests=$3
log=$(mktemp)
trap 'rm -f "$log"' EXIT
WINEDEBUG=warn+process "$wine_run" --prefix "$prefix" "$tests" --gtest_filter='LaunchFlags*' >"$log" 2>&1 || {
  cat "$log"; echo "FAILED: the launch test failed"; exit 1; }
grep -a 'Pelagio2.scr' "$log" | grep -a 'flags in' || true
flags=$(grep -a 'CreateProcessInternalW' "$log" | grep -a 'Pelagio2.scr' | sed -n 's/.*ignoring some flags in \([0-9a-fA-F]*\).*/\1/p')
if [ "$flags" != "300" ]; then
  echo "FAILED: expected creation flags 300 for the host program, got '${flags}'"
  exit 1
fi
echo "creation flags of the host program: 0x$flags"
