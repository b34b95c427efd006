#!/usr/bin/env bash
# Sets up the machine, builds the shipped 32-bit exe and the 64-bit twin, and runs every
# test under Wine. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
cmake --preset i686 >/dev/null
cmake --build --preset i686
cmake --preset x86_64 >/dev/null
cmake --build --preset x86_64
ctest --preset x86_64 -j2
