#!/usr/bin/env bash
# Sets up the machine, builds the shipped 32-bit exe and the 64-bit twin, runs every test of
# the twin under Wine here, then the 32-bit tests against the shipped exe itself in the
# emulated x86-64 machine (tools/guest/guest.sh). Exits non-zero on any failure.
#
# usage: tools/test.sh [--no-guest]
#   --no-guest  skip the emulated machine, for a quick local run (ignored under CI)
set -euo pipefail
cd "$(dirname "$0")/.."
guest=1
[ "${1:-}" = --no-guest ] && guest=0
if [ -n "${CI:-}" ] && [ $guest -eq 0 ]; then
  echo "test: CI never skips the emulated machine"
  guest=1
fi
if [ $guest -eq 1 ]; then bash tools/setup.sh --guest; else bash tools/setup.sh; fi

stage() { echo "== $1 ($((SECONDS - start)) s so far)"; }
start=$SECONDS
stage "shipped 32-bit exe"
cmake --preset i686 >/dev/null
cmake --build --preset i686
stage "64-bit twin and its tests, here"
cmake --preset x86_64 >/dev/null
cmake --build --preset x86_64
ctest --preset x86_64 -j2
[ $guest -eq 1 ] || { stage "done; the emulated machine was skipped"; exit 0; }

stage "32-bit tests of the shipped exe, in the emulated machine"
cmake --preset i686-tests >/dev/null
cmake --build --preset i686-tests
bash tools/guest/guest.sh run --timeout 2400 'ctest --preset i686-tests -j2'
stage "done"
