#!/usr/bin/env bash
# Sets up the machine, builds, installs a demo host in a private Wine prefix and runs the
# updater there.
#
# usage: tools/demo.sh [--unregistered] [--launch]
#   --unregistered  leave the host unregistered, to show the not-installed warning
#   --launch        headless only: press the launch button at the end (the stand-in host
#                   records how it was started)
#
# With $DISPLAY the updater opens there for you to use. Without it, it runs under Xvfb in a
# Wine virtual desktop: the demo presses install, and saves a PNG screenshot of each step.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

registered=1
launch=
for arg in "$@"; do
  case "$arg" in
    --unregistered) registered= ;;
    --launch) launch=--launch ;;
    *) echo "usage: $0 [--unregistered] [--launch]" >&2; exit 2 ;;
  esac
done

bash tools/setup.sh
cmake --preset i686 >/dev/null && cmake --build --preset i686 >/dev/null
cmake --preset x86_64 >/dev/null && cmake --build --preset x86_64 >/dev/null
bin=$root/build/x86_64/bin
out=$root/build/demo
mkdir -p "$out"

export WINEPREFIX=$root/build/x86_64/demo-prefix
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
export WINELOADER=/usr/lib/wine/wine64 WINESERVER=/usr/lib/wine/wineserver
export LANG=${DEMO_LOCALE:-ja_JP.UTF-8} LC_ALL=${DEMO_LOCALE:-ja_JP.UTF-8}
wine=$WINELOADER

if [ ! -f "$WINEPREFIX/.demo-ready" ]; then
  echo "demo: creating the Wine prefix $WINEPREFIX"
  rm -rf "$WINEPREFIX"
  DISPLAY= "$wine" wineboot -i >/dev/null 2>&1
  # Every window in one virtual desktop, so that frames and captions are drawn headless.
  "$wine" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
  "$wine" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 640x400 /f >/dev/null 2>&1
  "$WINESERVER" -w
  touch "$WINEPREFIX/.demo-ready"
fi

# The demo host installation: C:\Pelagio 2\Pelagio2.scr (the stand-in host) and its Fish folder.
host="$WINEPREFIX/drive_c/Pelagio 2"
mkdir -p "$host/Fish"
cp "$bin/StandInHost.exe" "$host/Pelagio2.scr"
rm -f "$host/host.log"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\App Paths\Pelagio2.scr'
if [ -n "$registered" ]; then
  "$wine" reg add "$key" /ve /d 'C:\Pelagio 2\Pelagio2.scr' /f >/dev/null 2>&1
  echo "demo: host registered at C:\\Pelagio 2\\Pelagio2.scr"
else
  "$wine" reg delete "$key" /f >/dev/null 2>&1 || true
  echo "demo: host not registered"
fi
# The desktop process that reg.exe started has no display: let that wineserver end first.
"$WINESERVER" -w

if [ -n "${DISPLAY:-}" ]; then
  echo "demo: starting the updater on $DISPLAY"
  "$wine" "$bin/PelagioUpdate.exe"
  exit 0
fi

# Headless: Xvfb, a virtual desktop so the frame and caption are drawn, and the driver.
display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null || true' EXIT
export DISPLAY=$display
for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done

options=()
[ -n "$registered" ] && options+=(--install)
[ -n "$launch" ] && options+=(--launch)
coproc DRIVER { cd "$host" && "$wine" "$bin/demo_driver.exe" "${options[@]}" 2>/dev/null; }
driver=$DRIVER_PID
while IFS= read -r line <&"${DRIVER[0]}"; do
  line=${line%$'\r'}
  case "$line" in
    SHOT\ *)
      name=${line#SHOT }
      sleep 1 # let the window paint before the picture is taken
      import -display "$display" -window root -crop 640x400+0+0 +repage "$out/$name.png"
      echo "demo: screenshot $out/$name.png"
      echo ok >&"${DRIVER[1]}"
      ;;
    *) printf 'demo: %s\n' "$line" ;;
  esac
done
wait "$driver" 2>/dev/null || true

if [ -n "$registered" ]; then
  echo "demo: files in C:\\Pelagio 2\\Fish:"
  ls -l "$host/Fish" | tail -n +2 | sed 's/^/  /'
fi
if [ -f "$host/host.log" ]; then
  echo "demo: the stand-in host recorded:"
  sed 's/^/  /' "$host/host.log"
fi
"$WINESERVER" -k 2>/dev/null || true
