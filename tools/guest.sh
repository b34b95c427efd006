#!/usr/bin/env bash
# An emulated x86-64 machine with Wine's 32-bit side, for running the shipped 32-bit exe:
# this machine's kernel refuses 32-bit code, so Wine32 runs only inside a QEMU guest.
#
# usage: guest.sh image                       make the guest image if needed; print its folder
#        guest.sh run [--timeout S] SCRIPT     run bash SCRIPT inside, in the project folder
#
# The image (kernel, small initrd, ext4 root with Wine, the locales and a ready Wine prefix
# at /root/wineprefix) is made from Debian's packages and cached outside the source tree,
# under a key of its recipe: a second run reuses it, a changed recipe makes a new one.
# Every boot starts from the pristine image (snapshot). The project folder is shared, and
# copied (less .git, the 64-bit build tree and object files) to its own path on a local
# disk inside, so build trees work unchanged: Wine cannot run programs from the shared
# folder itself (they fault on start). `run` prints the script's output and
# returns its exit status; a guest that does not boot or does not finish within the time
# limit is killed and reported, never waited for.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
project=$(cd "$here/.." && pwd)
cache=${PELAGIO_GUEST_CACHE:-/var/cache/pelagio-guest}
suite=bookworm
packages=(linux-image-amd64 initramfs-tools kmod util-linux mount procps wine wine32 wine64
          locales cmake)

# Debian root of both architectures, with a quick initrd (only what mounts the root disk).
make_root() {
  local root=$1 sources=()
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -s "$f" ] && grep -qE '^(deb |Types:)' "$f" && sources+=("$f")
  done
  mmdebstrap --mode=root --variant=apt --architectures=amd64,i386 \
    --include="$(IFS=,; echo "${packages[*]}")" \
    --essential-hook='mkdir -p "$1/etc/initramfs-tools/conf.d" &&
      printf "MODULES=list\nCOMPRESS=gzip\n" >"$1/etc/initramfs-tools/conf.d/guest.conf" &&
      mkdir -p "$1/usr/share/initramfs-tools/modules.d" &&
      printf "virtio_pci\nvirtio_blk\next4\n" >"$1/usr/share/initramfs-tools/modules.d/guest"' \
    --customize-hook='printf "ja_JP.UTF-8 UTF-8\nde_DE.UTF-8 UTF-8\n" >"$1/etc/locale.gen" &&
      chroot "$1" locale-gen >/dev/null' \
    --customize-hook='rm -rf "$1"/var/cache/apt/archives/*.deb "$1"/var/lib/apt/lists/*' \
    "$suite" "$root" "${sources[@]}"
}

# The Wine prefix, made on this machine in a chroot of the guest root (inside the emulated
# machine wineboot takes minutes). Only Wine's 64-bit side can run here, so the 32-bit
# system folder is filled with Wine's i386 DLLs and the national language files by hand.
make_prefix() {
  local root=$1 prefix=/root/wineprefix
  mount --bind /proc "$root/proc"
  mount --bind /dev "$root/dev"
  local env=(env -i PATH=/usr/bin:/bin HOME=/root WINEPREFIX=$prefix WINEARCH=win64
             WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= LANG=C.UTF-8)
  local status=0
  {
    chroot "$root" "${env[@]}" /usr/lib/wine/wine64 wineboot -i
    chroot "$root" "${env[@]}" /usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\Drivers' \
      /v Graphics /d null /f
    chroot "$root" "${env[@]}" /usr/lib/wine/wineserver -w
  } >/dev/null 2>&1 || status=$?
  umount "$root/proc" "$root/dev"
  [ $status -eq 0 ] || { echo "guest: creating the Wine prefix failed ($status)" >&2; return 1; }
  local syswow64=$root$prefix/drive_c/windows/syswow64
  cp -n "$root"/usr/lib/i386-linux-gnu/wine/i386-windows/* "$syswow64/"
  cp -n "$root"/usr/share/wine/nls/*.nls "$syswow64/"
  touch "$root$prefix/.bench-ready"
}

make_image() {
  local dir=$1 work=$1.work
  rm -rf "$work" && mkdir -p "$work"
  local root=$work/root
  echo "guest: making the root with mmdebstrap (a few minutes)"
  make_root "$root"
  echo "guest: making the Wine prefix"
  make_prefix "$root"
  install -m 755 "$here/guest-init.sh" "$root/sbin/guest-init"
  local kernel=$(cd "$root/boot" && ls vmlinuz-* | sort -V | tail -n 1)
  local version=${kernel#vmlinuz-}
  chroot "$root" mkinitramfs -o /boot/guest-initrd.img "$version"
  cp "$root/boot/$kernel" "$work/vmlinuz"
  cp "$root/boot/guest-initrd.img" "$work/initrd.img"
  local size_mb=$(( $(du -sm "$root" | cut -f1) + 1024 ))
  echo "guest: writing a ${size_mb} MB ext4 root"
  mkfs.ext4 -q -F -L guest -d "$root" "$work/root.ext4" "${size_mb}M"
  rm -rf "$root"
  rm -rf "$dir" && mv "$work" "$dir"
}

# The recipe's key: the package list, the functions that make the image and the init script.
image_key() {
  { echo "$suite ${packages[*]}"; declare -f make_root make_prefix make_image;
    cat "$here/guest-init.sh"; } | sha256sum | cut -c1-16
}

ensure_image() {
  bash "$here/setup.sh" --guest >&2
  local dir=$cache/$(image_key)
  mkdir -p "$cache"
  exec 7>"$cache/.lock"
  flock 7
  if [ ! -f "$dir/root.ext4" ]; then
    [ "$(id -u)" -eq 0 ] || { echo "guest: making the image needs root (mmdebstrap, chroot, mount)" >&2; exit 1; }
    local start=$SECONDS
    # Images of earlier recipes are 4-5 GB each: only the current one is kept.
    find "$cache" -mindepth 1 -maxdepth 1 -type d ! -name "$(basename "$dir")" -exec rm -rf {} +
    make_image "$dir" >&2
    echo "guest: image ready in $((SECONDS - start)) s: $(du -sh "$dir" | cut -f1) in $dir" >&2
  fi
  exec 7>&-
  echo "$dir"
}

run_in_guest() {
  local limit=1800
  [ "${1:-}" = --timeout ] && { limit=$2; shift 2; }
  [ $# -eq 1 ] || { echo "usage: $0 run [--timeout S] SCRIPT" >&2; exit 2; }
  local dir
  dir=$(ensure_image)
  io=$(mktemp -d /tmp/guest-io.XXXXXX)
  trap 'rm -rf "$io"' EXIT
  cat >"$io/command" <<EOF
mkdir -p /mnt/project "$project"
mount -t 9p -o trans=virtio,version=9p2000.L,msize=524288 project /mnt/project
mount -t tmpfs project-copy "$project"
tar -C /mnt/project --exclude=./.git --exclude=./build/x86_64 --exclude='*.obj' \
  --exclude='*.a' -cf - . | tar -C "$project" -xf -
cd "$project"
EOF
  printf '%s\n' "$1" >>"$io/command"
  echo "$limit" >"$io/limit"
  : >"$io/output"
  local start=$SECONDS
  # The guest's own limit ends the command; this one, a little later, ends a guest that
  # hangs in booting or in shutting down.
  timeout --kill-after=10 $((limit + 120)) qemu-system-x86_64 \
    -accel tcg,thread=multi,tb-size=1024 -cpu max,smap=off -smp 2 -m 3072 \
    -nographic -no-reboot -kernel "$dir/vmlinuz" -initrd "$dir/initrd.img" \
    -append 'console=ttyS0 root=/dev/vda rw init=/sbin/guest-init panic=1 quiet' \
    -drive file="$dir/root.ext4",if=virtio,format=raw,snapshot=on \
    -virtfs local,path="$io",mount_tag=io,security_model=none \
    -virtfs local,path="$project",mount_tag=project,security_model=none \
    </dev/null >"$io/console" 2>&1 &
  local qemu=$!
  tail -n +1 -f --pid=$qemu "$io/output" &
  local qemu_status=0
  wait $qemu || qemu_status=$?
  wait 2>/dev/null || true
  if [ ! -f "$io/status" ]; then
    if [ ! -f "$io/booted" ]; then
      echo "guest: FAILED: the emulated machine did not boot (qemu status $qemu_status)"
    else
      echo "guest: FAILED: no result within $limit s (qemu status $qemu_status)"
    fi
    echo "guest: last console lines:"; tail -n 20 "$io/console" | tr -cd '\11\12\15\40-\176'
    return 1
  fi
  local status
  status=$(cat "$io/status")
  if [ "$status" = 124 ] || [ "$status" = 137 ]; then
    echo "guest: FAILED: the command did not finish within $limit s; it was stopped"
  else
    echo "guest: finished with status $status after $((SECONDS - start)) s"
  fi
  return "$status"
}

case "${1:-}" in
  image) ensure_image ;;
  run) shift; run_in_guest "$@" ;;
  *) echo "usage: $0 image | run [--timeout S] SCRIPT" >&2; exit 2 ;;
esac
