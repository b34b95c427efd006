#!/bin/bash
# First and only process of the emulated machine: mounts the exchange folder, runs the
# script that tools/guest/guest.sh left there, records its output and exit status there, and
# powers the machine off. Wine's output on the serial console comes out
# mangled, so everything of interest goes to files.
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev 2>/dev/null
mkdir -p /dev/pts /dev/shm && mount -t devpts devpts /dev/pts && mount -t tmpfs shm /dev/shm
mount -t tmpfs tmp /tmp
mount -t tmpfs run /run
hostname guest

modprobe 9pnet_virtio && modprobe 9p
mkdir -p /io
if mount -t 9p -o trans=virtio,version=9p2000.L,msize=524288 io /io; then
  echo booted >/io/booted
  cd /root && timeout --kill-after=10 "$(cat /io/limit)" bash /io/command >>/io/output 2>&1
  echo $? >/io/status.tmp && mv /io/status.tmp /io/status
  sync
  umount /io
else
  echo "guest: the exchange folder could not be mounted" >/dev/console
fi
sync
echo o >/proc/sysrq-trigger
sleep 60
