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
# DEMO_LOCALE (ja_JP.UTF-8 by default) and DEMO_DPI (96 by default) set the system's.
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

echo "demo: setting up the machine (packages, locales)"
bash tools/setup.sh
echo "demo: building the shipped 32-bit exe"
cmake --preset i686 >/dev/null && cmake --build --preset i686
echo "demo: building the 64-bit twin that runs here, the stand-in host and the demo driver"
cmake --preset x86_64 >/dev/null && cmake --build --preset x86_64
bin=$root/build/x86_64/bin
out=$root/build/demo
mkdir -p "$out"

prefix=$root/build/x86_64/demo-prefix
display_tool=$root/tools/wine/wine-display.sh
bash "$display_tool" prefix "$prefix"
export WINEPREFIX=$prefix WINESERVER=/usr/lib/wine/wineserver
# Only the Windows programs run in the demo's locale (Japanese: code page 932); this
# script's own messages stay in the caller's.
locale=${DEMO_LOCALE:-ja_JP.UTF-8}
wine() { bash "$display_tool" wine "$prefix" "$locale" "$@"; }

# The demo host installation: C:\Pelagio 2\Pelagio2.scr (the stand-in host) and its Fish folder.
host="$WINEPREFIX/drive_c/Pelagio 2"
mkdir -p "$host/Fish"
cp "$bin/StandInHost.exe" "$host/Pelagio2.scr"
rm -f "$host/host.log"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\App Paths\Pelagio2.scr'
if [ -n "$registered" ]; then
  wine reg add "$key" /ve /d 'C:\Pelagio 2\Pelagio2.scr' /f >/dev/null 2>&1
  echo "demo: host registered at C:\\Pelagio 2\\Pelagio2.scr"
else
  wine reg delete "$key" /f >/dev/null 2>&1 || true
  echo "demo: host not registered"
fi
# The screen's DPI (DEMO_DPI=120 or 144 shows the dialog as a Windows at 125 % or 150 %
# without desktop composition does), set each run so that no earlier one's lingers.
wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "${DEMO_DPI:-96}" /f \
  >/dev/null 2>&1
# The desktop process that reg.exe started has no display: let that wineserver end first.
"$WINESERVER" -w

if [ -n "${DISPLAY:-}" ]; then
  echo "demo: starting the updater on $DISPLAY"
  wine "$bin/PelagioUpdate.exe"
  exit 0
fi

# Headless: Xvfb, a virtual desktop so the frame and caption are drawn, and the driver.
read -r display xvfb < <(bash "$display_tool" xvfb)
[ -n "${xvfb:-}" ] || { echo "demo: FAILED: Xvfb did not start"; exit 1; }
trap 'kill $xvfb 2>/dev/null || true' EXIT
export DISPLAY=$display

options=()
[ -n "$registered" ] && options+=(--install)
[ -n "$launch" ] && options+=(--launch)
# The driver talks through two named pipes that this script holds open itself (a coprocess's
# descriptors vanish as soon as it ends, possibly before its last lines are read).
pipes=$(mktemp -d)
trap 'kill $xvfb 2>/dev/null || true; rm -rf "$pipes"' EXIT
mkfifo "$pipes/to-driver" "$pipes/from-driver"
(cd "$host" && wine "$bin/demo_driver.exe" "${options[@]}" <"$pipes/to-driver" \
  >"$pipes/from-driver" 2>/dev/null) &
driver=$!
exec {to_driver}>"$pipes/to-driver" {from_driver}<"$pipes/from-driver"
while IFS= read -r line <&"$from_driver"; do
  line=${line%$'\r'}
  case "$line" in
    SHOT\ *)
      name=${line#SHOT }
      sleep 1 # let the window paint before the picture is taken
      import -display "$display" -window root -crop 640x400+0+0 +repage "$out/$name.png"
      echo "demo: screenshot $out/$name.png"
      echo ok >&"$to_driver" || true
      ;;
    *) printf 'demo: %s\n' "$line" ;;
  esac
done
driver_status=0
wait "$driver" 2>/dev/null || driver_status=$?
exec {from_driver}<&- {to_driver}>&-

if [ -n "$registered" ]; then
  echo "demo: files in C:\\Pelagio 2\\Fish:"
  ls -l "$host/Fish" | tail -n +2 | sed 's/^/  /'
fi
if [ -f "$host/host.log" ]; then
  echo "demo: the stand-in host recorded:"
  sed 's/^/  /' "$host/host.log"
fi
"$WINESERVER" -k 2>/dev/null || true
[ $driver_status -eq 0 ] || echo "demo: FAILED: the driver ended with status $driver_status"
exit $driver_status
