#!/usr/bin/env bash
# Runs a Windows program of the build in the build tree's private Wine prefix.
#
# usage: wine-run.sh --prefix DIR [--file-size-limit KB] PROGRAM.exe [ARGS...]
#
# The prefix is created on first use (wineboot, null graphics driver, no Mono or Gecko);
# ~/.wine is never touched. The locale is ja_JP.UTF-8 (code page 932) unless WINE_LOCALE
# names another. --file-size-limit runs the program under `ulimit -f` with SIGXFSZ ignored,
# so that writes past the limit come back short; the wineserver is started outside the limit.
set -euo pipefail

prefix=
size_limit=
while [ $# -gt 0 ]; do
  case "$1" in
    --prefix) prefix=$2; shift 2 ;;
    --file-size-limit) size_limit=$2; shift 2 ;;
    *) break ;;
  esac
done
[ -n "$prefix" ] && [ $# -gt 0 ] || { echo "usage: $0 --prefix DIR [--file-size-limit KB] PROGRAM [ARGS...]" >&2; exit 2; }

mkdir -p "$(dirname "$prefix")"
export WINEPREFIX=$(realpath -m "$prefix")
export WINEDEBUG=${WINEDEBUG:--all}
# No debugger: a crashing test program ends at once instead of waiting in winedbg. A test's
# own overrides (WINEDLLOVERRIDES in its environment) come after these.
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
export WINELOADER=/usr/lib/wine/wine64
export WINESERVER=/usr/lib/wine/wineserver
export WINEARCH=win64
locale=${WINE_LOCALE:-ja_JP.UTF-8}
export LANG=$locale LC_ALL=$locale

# Created once, under a lock so that parallel tests wait for one another.
if [ ! -f "$WINEPREFIX/.bench-ready" ]; then
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if [ ! -f "$WINEPREFIX/.bench-ready" ]; then
    rm -rf "$WINEPREFIX"
    DISPLAY= "$WINELOADER" wineboot -i >/dev/null 2>&1 9>&-
    "$WINELOADER" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 9>&-
    "$WINESERVER" -k 9>&- || true
    "$WINESERVER" -w 9>&-
    touch "$WINEPREFIX/.bench-ready"
  fi
  exec 9>&-
fi

# A fresh wineserver and the helper processes that the first Wine program brings up
# (services, the desktop) inherit that program's output, and CTest waits for its output to
# close: bring them up detached first. The size-limited run relies on this too, so that none
# of them runs under the limit. (`wineserver -k0` signals nothing; it fails when none runs.)
if ! "$WINESERVER" -k0 2>/dev/null; then
  exec 8>"$WINEPREFIX.session.lock"
  flock 8
  if ! "$WINESERVER" -k0 2>/dev/null; then
    # The lock's descriptor stays with this script: processes that outlive it must not hold it.
    "$WINESERVER" -p5 </dev/null >/dev/null 2>&1 8>&- || true
    "$WINELOADER" wineboot </dev/null >/dev/null 2>&1 8>&- || true
  fi
  exec 8>&-
fi

if [ -n "$size_limit" ]; then
  ulimit -f "$size_limit"
  trap '' XFSZ
fi
exec "$WINELOADER" "$@"
