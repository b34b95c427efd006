#!/usr/bin/env bash
# Wine with a display, as the demo and the fish kit's preview use it: a prefix whose windows
# are drawn as a Windows with East Asian support draws them, and Xvfb where there is no
# display.
#
# usage: wine-display.sh prefix DIR           make DIR such a prefix, unless it is one already
#        wine-display.sh xvfb                 start Xvfb on a free display and print
#                                             "DISPLAY PID" (stop it with kill PID)
#        wine-display.sh wine DIR LOCALE PROGRAM [ARGS...]
#                                             run a Windows program in the prefix DIR; only it
#                                             runs in LOCALE (ja_JP.UTF-8: code page 932)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

wine_environment() {
  export WINEPREFIX=$1
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
  export WINELOADER=/usr/lib/wine/wine64 WINESERVER=/usr/lib/wine/wineserver
}

make_prefix() {
  wine_environment "$1"
  if [ -f "$WINEPREFIX/.display-ready" ] &&
     [ -f "$WINEPREFIX/drive_c/windows/Fonts/marlett.ttf" ]; then
    return 0
  fi
  echo "wine-display: creating the Wine prefix $WINEPREFIX" >&2
  rm -rf "$WINEPREFIX"
  mkdir -p "$(dirname "$WINEPREFIX")"
  DISPLAY= "$WINELOADER" wineboot -i >/dev/null 2>&1
  # This Wine never reads its own font folder (/usr/share/wine/fonts, from fonts-wine), so
  # the caption buttons' Marlett glyphs came out as letters ("r" for the close box). Fonts
  # in the prefix's Fonts folder are read.
  cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
  # Font linking, as a Windows with East Asian support has it: Japanese text in the
  # Western UI fonts takes its glyphs from IPAGothic whatever the locale.
  local face
  for face in Tahoma "Tahoma Bold" Arial "Microsoft Sans Serif" "MS Shell Dlg" "MS Shell Dlg 2"; do
    "$WINELOADER" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
      /v "$face" /t REG_MULTI_SZ /d 'ipag.ttf,IPAGothic' /f >/dev/null 2>&1
  done
  # Every window in a virtual desktop, so that frames and captions are drawn headless (a
  # program started as "explorer /desktop=NAME,WxH PROGRAM" gets a desktop of its own).
  "$WINELOADER" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
  "$WINELOADER" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 640x400 /f >/dev/null 2>&1
  "$WINESERVER" -w
  touch "$WINEPREFIX/.display-ready"
}

start_xvfb() {
  local number display
  for number in $(shuf -i 90-599 -n 20); do
    if [ -e "/tmp/.X11-unix/X$number" ] || [ -e "/tmp/.X$number-lock" ]; then continue; fi
    display=:$number
    setsid Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
    local pid=$!
    local _
    for _ in $(seq 100); do
      if DISPLAY=$display xdpyinfo >/dev/null 2>&1; then
        # Overlapping windows (Wine's desktops all open at the corner) keep their pixels.
        local log
        log=$(mktemp)
        setsid /usr/bin/python3 "$here/x-offscreen.py" "$display" </dev/null >"$log" 2>&1 &
        local holder=$!
        for _ in $(seq 50); do
          grep -q redirected "$log" && break
          kill -0 "$holder" 2>/dev/null || break
          sleep 0.1
        done
        grep -q redirected "$log" || echo "wine-display: windows not kept offscreen: $(cat "$log")" >&2
        rm -f "$log"
        echo "$display $pid"
        return 0
      fi
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill "$pid" 2>/dev/null || true
  done
  echo "wine-display: no Xvfb display could be started" >&2
  return 1
}

case "${1:-}" in
  prefix) [ $# -eq 2 ] || { echo "usage: $0 prefix DIR" >&2; exit 2; }; make_prefix "$2" ;;
  xvfb) start_xvfb ;;
  wine)
    [ $# -ge 4 ] || { echo "usage: $0 wine DIR LOCALE PROGRAM [ARGS...]" >&2; exit 2; }
    wine_environment "$2"
    LANG=$3 LC_ALL=$3 exec "$WINELOADER" "${@:4}" ;;
  *) echo "usage: $0 prefix DIR | xvfb | wine DIR LOCALE PROGRAM [ARGS...]" >&2; exit 2 ;;
esac
