#!/usr/bin/env bash
# Installs, idempotently, every Debian package the build, the tests and the demo need,
# generates the two locales the tests run under, and unpacks Debian 12's own osslsigncode
# (2.5) beside the machine's, for the signing tests. apt-get update runs only when something
# is missing.
set -euo pipefail

packages=(
  cmake ninja-build
  g++-mingw-w64-i686-posix g++-mingw-w64-i686-win32
  g++-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-win32
  wine64 googletest locales clang libclang-rt-14-dev
  xvfb x11-utils imagemagick fonts-ipafont-gothic fonts-wine python3 python3-pil
  python3-pefile python3-xlib osslsigncode openssl
  softhsm2 libengine-pkcs11-openssl opensc python3-pykcs11 python3-asn1crypto
  python3-cryptography faketime strace chromium chromium-driver python3-selenium
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

# Debian 12's own osslsigncode, unpacked (not installed) where the signing tests look for it,
# so that they run with it and with the machine's newer one. Fetched into a scratch folder
# and moved into place only when it runs: nothing half-made is kept.
old_signer=${PELAGIO_OSSLSIGNCODE_2_5_ROOT:-/var/cache/pelagio-tools/osslsigncode-2.5}
if [ ! -x "$old_signer/usr/bin/osslsigncode" ]; then
  version=$(apt-cache madison osslsigncode | awk '$3 ~ /^2\.5-/ { print $3; exit }')
  if [ -z "$version" ]; then
    echo "setup: Debian 12's osslsigncode 2.5 is not in this machine's package index" >&2
    exit 1
  fi
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
  fetched=0
  for pause in 10 30 60 last; do
    if (cd "$scratch" && apt-get download -qq "osslsigncode=$version" 2>"$scratch/log"); then
      fetched=1
      break
    fi
    [ "$pause" = last ] && break
    echo "setup: fetching osslsigncode $version failed; trying again in $pause s" >&2
    sleep "$pause"
  done
  if [ $fetched -ne 1 ]; then
    echo "setup: could not fetch osslsigncode $version: $(tail -n 1 "$scratch/log")" >&2
    exit 1
  fi
  dpkg-deb -x "$scratch"/osslsigncode_*.deb "$scratch/root"
  if ! "$scratch/root/usr/bin/osslsigncode" --version | grep -q '^osslsigncode 2\.5'; then
    echo "setup: the unpacked osslsigncode $version does not run" >&2
    exit 1
  fi
  "${sudo_cmd[@]}" mkdir -p "$(dirname "$old_signer")"
  "${sudo_cmd[@]}" rm -rf "$old_signer.new"
  "${sudo_cmd[@]}" mv "$scratch/root" "$old_signer.new"
  "${sudo_cmd[@]}" mv -T "$old_signer.new" "$old_signer"
fi
