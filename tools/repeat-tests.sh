#!/usr/bin/env bash
# A repeat bench for the test suites (not a test): runs the whole 64-bit suite RUNS times,
# each in fresh Wine prefixes (as on a machine that never ran it), two tests at a time as CI
# does; with --load beside two busy loops, as on a loaded CI machine; with --guest the 32-bit
# suite in the emulated machine as well. Prints a table of each test that ever failed, with
# its failure count and its first failure's message, and exits non-zero on any failure.
#
# usage: tools/repeat-tests.sh [RUNS (default 10)] [--load] [--guest]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
runs=10
load=0
guest=0
for argument in "$@"; do
  case "$argument" in
    --load) load=1 ;;
    --guest) guest=1 ;;
    [0-9]*) runs=$argument ;;
    *) echo "usage: $0 [RUNS] [--load] [--guest]" >&2; exit 2 ;;
  esac
done

logs=$(mktemp -d "${TMPDIR:-/tmp}/repeat-tests.XXXXXX")
busy=()
stop_load() {
  local pid
  for pid in "${busy[@]}"; do kill "$pid" 2>/dev/null || true; done
  busy=()
}
trap stop_load EXIT

if [ $guest -eq 1 ]; then bash tools/setup.sh --guest; else bash tools/setup.sh; fi
echo "repeat: building"
for preset in i686 x86_64 $([ $guest -eq 1 ] && echo i686-tests); do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" >"$logs/build-$preset.log" 2>&1 ||
    { tail -n 20 "$logs/build-$preset.log"; echo "repeat: the $preset build failed"; exit 1; }
done

if [ $load -eq 1 ]; then
  for _ in 1 2; do
    bash -c 'while :; do :; done' &
    busy+=($!)
  done
  echo "repeat: two busy loops beside the tests (processes ${busy[*]})"
fi

# Every Wine prefix of the 64-bit tree: the tests', the demo's and the preview's.
fresh_prefixes() {
  local prefix
  for prefix in build/x86_64/wineprefix build/x86_64/demo-prefix \
                build/x86_64/preview-kit/preview-prefix; do
    if [ -d "$prefix" ]; then
      WINEPREFIX=$root/$prefix /usr/lib/wine/wineserver -k 2>/dev/null || true
      WINEPREFIX=$root/$prefix /usr/lib/wine/wineserver -w 2>/dev/null || true
      rm -rf "$prefix" "$prefix.lock" "$prefix.session.lock"
    fi
  done
}

suites="64-bit"
[ $guest -eq 1 ] && suites="64-bit 32-bit"
start=$SECONDS
for run in $(seq "$runs"); do
  for suite in $suites; do
    log=$logs/run-$run-$suite.log
    run_start=$SECONDS
    if [ "$suite" = 64-bit ]; then
      fresh_prefixes
      status=0
      ctest --preset x86_64 -j2 >"$log" 2>&1 || status=$?
    else
      status=0
      bash tools/guest/guest.sh run --timeout 2400 'ctest --preset i686-tests -j2' >"$log" 2>&1 ||
        status=$?
    fi
    summary=$(grep -E '^[0-9]+% tests passed' "$log" || echo "no summary (status $status)")
    echo "repeat: run $run of $runs, $suite: $summary in $((SECONDS - run_start)) s"
  done
done

# Each failed test's name, then its first failure line: gtest's "Failure" and the line that
# says what was expected, or Python's FAIL/ERROR and its assertion, or CTest's own reason.
status=0
/usr/bin/python3 - "$logs" <<'EOF' || status=$?
import re, sys
from collections import OrderedDict
from pathlib import Path

result = re.compile(r"^\s*\d+/\d+ Test\s+#\d+: (\S+) \.+\**\s*(Passed|Failed|Timeout|Not Run|"
                    r"Exception|SEGFAULT|Subprocess aborted|\*\*\*)")
failures = OrderedDict()
for log in sorted(Path(sys.argv[1]).glob("run-*.log"), key=lambda p: int(p.name.split("-")[1])):
    lines = log.read_text(errors="replace").splitlines()
    suite = log.stem.split("-", 2)[2]
    for i, line in enumerate(lines):
        found = result.match(line)
        if not found or found.group(2) in ("Passed", "Not Run"):
            continue
        name = f"{found.group(1)} ({suite})"
        message = line.split("...")[-1].strip(" .*")
        for later in lines[i + 1:]:
            if result.match(later):
                break
            if re.search(r"Failure|FAIL:|ERROR:|Error|timed out|Expected|AssertionError", later):
                message = later.strip()
                break
        count, first = failures.get(name, (0, f"{log.name}: {message}"))
        failures[name] = (count + 1, first)
if not failures:
    print("repeat: no test failed")
    sys.exit(0)
print(f"{'test':40} {'failures':>8}  first failure")
for name, (count, first) in failures.items():
    print(f"{name:40} {count:>8}  {first[:200]}")
sys.exit(1)
EOF
echo "repeat: $runs runs in $((SECONDS - start)) s; logs in $logs"
exit $status
