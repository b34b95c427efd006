#!/usr/bin/env bash
# Builds the path buffer natively with clang's AddressSanitizer and UndefinedBehaviorSanitizer
# and runs random operations against a reference model; prints operations per second and the
# first finding, if any. CTest runs a short fixed-seed pass; run it long by hand:
#
# usage: tools/fuzz/fuzz_path_buffer.sh [OPERATIONS (default 10000000)] [SEED (default: from the clock)]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
operations=${1:-10000000}
seed=${2:-$(date +%s)}
out=$root/build/fuzz
mkdir -p "$out"
clang++ -std=c++17 -O1 -g -fsanitize=address,undefined -fno-sanitize-recover=all \
  -Wall -Wextra -I"$root/support" -include "$root/tests/fuzz/msvcrt_stand_in.h" \
  "$root/tests/fuzz/path_buffer_random.cpp" "$root/support/path_buffer.cpp" \
  "$root/support/file_kind.cpp" -o "$out/path_buffer_random"
"$out/path_buffer_random" "$operations" "$seed"
