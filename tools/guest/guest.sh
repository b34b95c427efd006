#!/usr/bin/env bash
# An emulated x86-64 machine with Wine's 32-bit side, for running the shipped 32-bit exe:
# this machine's kernel refuses 32-bit code, so Wine32 runs only inside a QEMU guest.
#
# usage: guest.sh image                       make the guest image if needed; print its folder
#        guest.sh run [--timeout S] [--boot-timeout S] SCRIPT
#                                              run bash SCRIPT inside, in the project folder
#
# The image (kernel, small initrd, ext4 root with Wine, the locales and a ready Wine prefix
# at /root/wineprefix) is made from Debian's release suite with mmdebstrap and cached outside
# the source tree, under a key of its recipe: a second run reuses it, a changed recipe makes a
# new one. It is made in a scratch folder, checked, marked complete and renamed into place, so
# the cache holds whole images only; an incomplete one is removed and made again. Each step is
# checked: the first that fails ends this script with its name and its tool's last lines.
# Every boot starts from the pristine image (snapshot). The project folder is shared, and its
# sources and 32-bit build trees (less object files) are copied to its own path on a local
# disk inside, so build trees work unchanged: Wine cannot run programs from the shared
# folder itself (they fault on start). `run` prints the script's output and returns its exit
# status; a guest that does not boot or does not finish within its time limit is killed and
# reported, never waited for.
set -euo pipefail
shopt -s inherit_errexit

here=$(cd "$(dirname "$0")" && pwd)
project=$(cd "$here/../.." && pwd)
cache=${PELAGIO_GUEST_CACHE:-/var/cache/pelagio-guest}
# The release suite alone: a closed, throwaway test machine needs no security or point
# updates, and the release suite changes only at point releases.
suite=bookworm
packages=(linux-image-amd64 initramfs-tools kmod util-linux mount procps wine wine32 wine64
          locales cmake)
# A registry that serves an inconsistent index (a mirror in sync) is asked again, after these
# pauses in seconds: five attempts within about 8 minutes.
retry_pauses=(${PELAGIO_GUEST_RETRY_PAUSES:-30 60 120 240})
# Files of a whole image, its completion marker written last.
image_parts=(vmlinuz initrd.img root.ext4 complete)

say() { echo "guest: $*" >&2; }

# Ends the script: a line naming what failed, then the last lines of its log.
fail() {
  local what=$1 log=${2:-}
  say "FAILED: $what"
  if [ -n "$log" ] && [ -s "$log" ]; then
    say "its last lines:"
    tail -n 12 "$log" | tr -cd '\11\12\15\40-\176' | sed 's/^/  /' >&2
  fi
  exit 1
}

# The package mirror this machine uses for the release suite.
release_mirror() {
  local uri
  uri=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 2>/dev/null |
          awk -v s="$suite" '$2 == s && $3 == "main" { print $1; exit }')
  echo "${uri:-http://deb.debian.org/debian/}"
}

# --- The steps that make the image; each runs in a shell of its own (see run_logged) -------

# Debian root of both architectures, with a quick initrd (only what mounts the root disk).
make_root() {
  local root=$1 mirror=$2
  mmdebstrap --mode=root --variant=apt --architectures=amd64,i386 \
    --include="$(IFS=,; echo "${packages[*]}")" \
    --aptopt='Acquire::Retries "3"' \
    --essential-hook='mkdir -p "$1/etc/initramfs-tools/conf.d" &&
      printf "MODULES=list\nCOMPRESS=gzip\n" >"$1/etc/initramfs-tools/conf.d/guest.conf" &&
      mkdir -p "$1/usr/share/initramfs-tools/modules.d" &&
      printf "virtio_pci\nvirtio_blk\next4\n" >"$1/usr/share/initramfs-tools/modules.d/guest"' \
    --customize-hook='printf "ja_JP.UTF-8 UTF-8\nde_DE.UTF-8 UTF-8\n" >"$1/etc/locale.gen" &&
      chroot "$1" locale-gen >/dev/null' \
    --customize-hook='rm -rf "$1"/var/cache/apt/archives/*.deb "$1"/var/lib/apt/lists/*' \
    "$suite" "$root" \
    "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $suite main"
}

# The Wine prefix, made on this machine in a chroot of the guest root (inside the emulated
# machine wineboot takes minutes). Only Wine's 64-bit side can run here, so the 32-bit
# system folder is filled with Wine's i386 DLLs and the national language files by hand.
make_prefix() {
  local root=$1 prefix=/root/wineprefix
  mount --bind /proc "$root/proc"
  trap "umount $(printf %q "$root/proc")" EXIT
  mount --bind /dev "$root/dev"
  trap "umount $(printf %q "$root/dev") $(printf %q "$root/proc")" EXIT
  local env=(env -i PATH=/usr/bin:/bin HOME=/root WINEPREFIX=$prefix WINEARCH=win64
             WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= LANG=C.UTF-8)
  chroot "$root" "${env[@]}" /usr/lib/wine/wine64 wineboot -i
  chroot "$root" "${env[@]}" /usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\Drivers' \
    /v Graphics /d null /f
  chroot "$root" "${env[@]}" /usr/lib/wine/wineserver -w
  local syswow64=$root$prefix/drive_c/windows/syswow64
  cp -n "$root"/usr/lib/i386-linux-gnu/wine/i386-windows/* "$syswow64/"
  cp -n "$root"/usr/share/wine/nls/*.nls "$syswow64/"
  touch "$root$prefix/.bench-ready"
}

install_init() {
  install -m 755 "$here/guest-init.sh" "$1/sbin/guest-init"
}

# The newest kernel of the root, and an initrd made for it.
make_initrd() {
  local root=$1 kernel
  kernel=$(cd "$root/boot" && ls vmlinuz-* | sort -V | tail -n 1)
  chroot "$root" mkinitramfs -o /boot/guest-initrd.img "${kernel#vmlinuz-}"
  cp "$root/boot/$kernel" "$2/vmlinuz"
  cp "$root/boot/guest-initrd.img" "$2/initrd.img"
}

# What the guest cannot run without, looked for in the root before it is packed.
check_root() {
  local root=$1 missing=()
  local needed=(sbin/guest-init usr/lib/wine/wine usr/lib/wine/wine64 root/wineprefix/.bench-ready
                root/wineprefix/drive_c/windows/syswow64/kernel32.dll)
  for f in "${needed[@]}"; do
    [ -f "$root/$f" ] || missing+=("/$f")
  done
  [ ${#missing[@]} -eq 0 ] || { echo "the root lacks ${missing[*]}" >&2; return 1; }
}

make_ext4() {
  local root=$1 image=$2 size_mb
  size_mb=$(( $(du -sm "$root" | cut -f1) + 1024 ))
  echo "writing a ${size_mb} MB ext4 root"
  mkfs.ext4 -q -F -L guest -d "$root" "$image" "${size_mb}M"
  # The packed file system itself holds the init, the 32-bit loader and the ready prefix.
  local f listing
  for f in /sbin/guest-init /usr/lib/wine/wine /root/wineprefix/.bench-ready; do
    listing=$(debugfs -R "stat $f" "$image" 2>&1)
    grep -q 'Type: regular' <<<"$listing" || { echo "the ext4 image lacks $f" >&2; return 1; }
  done
}

# --- Making and keeping the image ----------------------------------------------------------

# Runs one step in a bash of its own, so that errexit holds inside it whatever the caller's
# context; its output goes to a log. Returns the step's status.
run_logged() {
  local log=$1 fn=$2
  shift 2
  local definitions
  definitions="$(declare -p here suite packages); $(declare -f "$fn")"
  bash -c "set -euo pipefail; shopt -s inherit_errexit; $definitions; $fn \"\$@\"" "$fn" "$@" \
    >"$log" 2>&1 </dev/null
}

# One step of making the image: its failure ends the script (see fail).
step() {
  local title=$1 fn=$2
  shift 2
  local status=0
  say "$title"
  run_logged "$logs/$fn.log" "$fn" "$@" || status=$?
  [ $status -eq 0 ] || fail "$title (status $status)" "$logs/$fn.log"
}

# The root, asked for again while the registry fails (an index or a package download).
make_root_step() {
  local root=$1 mirror attempt=1 status pause
  mirror=$(release_mirror)
  local log=$logs/make_root.log
  for pause in "${retry_pauses[@]}" last; do
    say "making the root with mmdebstrap from $mirror $suite (a few minutes)"
    status=0
    run_logged "$log" make_root "$root" "$mirror" || status=$?
    [ $status -eq 0 ] && return 0
    release_mounts "$root"
    rm -rf --one-file-system "$root"
    local error
    error=$(grep -m1 -E "$registry_errors" "$log" || true)
    [ -n "$error" ] && [ "$pause" != last ] || break
    say "the package registry failed (attempt $attempt of $(( ${#retry_pauses[@]} + 1 ))):" \
        "$(sed 's/^[[:space:]]*//' <<<"$error"); trying again in $pause s"
    sleep "$pause"
    attempt=$((attempt + 1))
  done
  fail "making the root with mmdebstrap (status $status)" "$log"
}
registry_errors='Failed to fetch|unexpected size|Hash Sum mismatch|Mirror sync|Temporary failure'
registry_errors+='|Could not (connect|resolve)|Connection (failed|timed out)|Unable to fetch'
registry_errors+='|index files failed'

# Unmounts whatever a step left mounted under a folder, deepest first.
release_mounts() {
  local dir
  dir=$(realpath -m "$1")
  awk -v d="$dir/" 'index($2 "/", d) == 1 { print $2 }' /proc/mounts | sort -r |
    while read -r m; do umount -l "$m" || true; done
}

# The scratch folder of an attempt, removed unless it was renamed into place.
making=
io=
cleanup() {
  if [ -n "$making" ] && [ -d "$making" ]; then
    release_mounts "$making"
    rm -rf --one-file-system "$making"
  fi
  if [ -n "$io" ]; then rm -rf "$io"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

make_image() {
  local dir=$1
  making=$cache/.making-$(basename "$dir")
  rm -rf --one-file-system "$making"
  mkdir -p "$making/logs"
  logs=$making/logs
  local root=$making/root
  make_root_step "$root"
  step "making the Wine prefix" make_prefix "$root"
  step "installing the init script" install_init "$root"
  step "making the initrd and copying the kernel" make_initrd "$root" "$making"
  step "checking the root" check_root "$root"
  step "writing the ext4 root" make_ext4 "$root" "$making/root.ext4"
  rm -rf --one-file-system "$root"
  date -u +%FT%TZ >"$making/complete"
  image_whole "$making" || fail "the finished image lacks: $missing_parts"
  mv "$making" "$dir"
  making=
}

# Whether a folder holds every part of an image; the missing ones in missing_parts.
image_whole() {
  missing_parts=
  local part
  for part in "${image_parts[@]}"; do
    [ -s "$1/$part" ] || missing_parts+="${missing_parts:+, }$part"
  done
  [ -z "$missing_parts" ]
}

# The recipe's key: the suite, the package list, the functions that make the image and the
# init script.
image_key() {
  { echo "$suite ${packages[*]}"
    declare -f make_root make_prefix install_init make_initrd check_root make_ext4
    cat "$here/guest-init.sh"; } | sha256sum | cut -c1-16
}

# Sets image_dir to a whole image, made first when the cache has none.
ensure_image() {
  bash "$here/../setup.sh" --guest >&2 || fail "installing the packages (tools/setup.sh --guest)"
  local key
  key=$(image_key)
  image_dir=$cache/$key
  mkdir -p "$cache"
  exec 7>"$cache/.lock"
  flock 7
  if [ -e "$image_dir" ] && ! image_whole "$image_dir"; then
    say "the cached image $image_dir is incomplete (missing $missing_parts): removing it and" \
        "making it again"
    rm -rf --one-file-system "$image_dir"
  fi
  if [ ! -e "$image_dir" ]; then
    [ "$(id -u)" -eq 0 ] || fail "making the image needs root (mmdebstrap, chroot, mount)"
    local start=$SECONDS
    # Images of earlier recipes are 4-5 GB each, and a scratch folder left by a killed
    # attempt is no use: only the current image is kept.
    local old
    for old in "$cache"/* "$cache"/.making-*; do
      [ -d "$old" ] || continue
      release_mounts "$old"
      rm -rf --one-file-system "$old"
    done
    make_image "$image_dir"
    say "image ready in $((SECONDS - start)) s: $(du -sh "$image_dir" | cut -f1) in $image_dir"
  fi
  exec 7>&-
}

# --- Running a command in the guest --------------------------------------------------------

run_in_guest() {
  local limit=1800 boot_limit=300
  while [ $# -gt 1 ]; do
    case "$1" in
      --timeout) limit=$2; shift 2 ;;
      --boot-timeout) boot_limit=$2; shift 2 ;;
      *) break ;;
    esac
  done
  [ $# -eq 1 ] || { echo "usage: $0 run [--timeout S] [--boot-timeout S] SCRIPT" >&2; exit 2; }
  ensure_image
  local dir=$image_dir
  io=$(mktemp -d /tmp/guest-io.XXXXXX)
  # The sources and the two 32-bit build trees only: other trees (the 64-bit one, the fish
  # kit's with its Wine prefix) would not fit the machine's memory. A bash of its own, so
  # that the first failing step ends the copy.
  cat >"$io/copy" <<EOF
set -euo pipefail
mkdir -p /mnt/project "$project"
mount -t 9p -o trans=virtio,version=9p2000.L,msize=524288 project /mnt/project
mount -t tmpfs project-copy "$project"
tar -C /mnt/project --exclude=./.git --exclude=./build -cf - . | tar -C "$project" -xf -
for tree in build/i686 build/i686-tests; do
  if [ -d "/mnt/project/\$tree" ]; then
    tar -C /mnt/project --exclude='*.obj' --exclude='*.a' -cf - "./\$tree" |
      tar -C "$project" -xf -
  fi
done
EOF
  cat >"$io/command" <<EOF
bash /io/copy || { echo "guest: FAILED: copying the project into the machine"; exit 1; }
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
  # A guest that has not reached its init within the boot limit is stopped at once.
  local boot_timed_out=0
  while [ ! -f "$io/booted" ] && kill -0 $qemu 2>/dev/null; do
    if [ $((SECONDS - start)) -ge "$boot_limit" ]; then
      boot_timed_out=1
      kill -TERM $qemu 2>/dev/null || true
      break
    fi
    sleep 1
  done
  local qemu_status=0
  wait $qemu || qemu_status=$?
  wait 2>/dev/null || true
  if [ ! -f "$io/status" ]; then
    if [ ! -f "$io/booted" ]; then
      local within=
      [ $boot_timed_out -eq 1 ] && within=" within $boot_limit s"
      echo "guest: FAILED: the emulated machine did not boot$within (qemu status $qemu_status)"
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
  image) ensure_image; echo "$image_dir" ;;
  run) shift; run_in_guest "$@" ;;
  *) echo "usage: $0 image | run [--timeout S] [--boot-timeout S] SCRIPT" >&2; exit 2 ;;
esac
