#!/usr/bin/env bash
# Installs, idempotently, every Debian package the build, the tests and the demo need,
# and generates the two locales the tests run under. apt-get update runs only when
# something is missing.
set -euo pipefail

packages=(
  cmake ninja-build
  g++-mingw-w64-i686-posix g++-mingw-w64-i686-win32
  g++-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-win32
  wine64 googletest locales clang libclang-rt-14-dev
  xvfb x11-utils imagemagick fonts-ipafont-gothic fonts-wine python3 python3-pil
  python3-pefile python3-xlib osslsigncode openssl
)
[ "${1:-}" = --guest ] && packages+=(mmdebstrap qemu-system-x86 qemu-utils e2fsprogs)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Locales: ja_JP for code page 932, de_DE for the German dialog.
need_locale=0
for l in ja_JP.utf8 de_DE.utf8; do
  locale -a 2>/dev/null | grep -qx "$l" || need_locale=1
done
if [ $need_locale -eq 1 ]; then
  for l in "ja_JP.UTF-8 UTF-8" "de_DE.UTF-8 UTF-8"; do
    grep -qx "$l" /etc/locale.gen 2>/dev/null || echo "$l" | "${sudo_cmd[@]}" tee -a /etc/locale.gen >/dev/null
  done
  "${sudo_cmd[@]}" locale-gen >/dev/null
fi
