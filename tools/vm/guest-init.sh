#!/bin/busybox sh
# shellcheck shell=dash disable=SC2154 # korvane_* come from the kernel command line
# The guest's first process, from the initramfs: loads the modules, puts a
# writable tmpfs over the host's root (shared read-only over 9p) and hands over to the session script in the host's
# tree. korvane_work and korvane_session come from the kernel command line.
/bin/busybox --install -s /bin
export PATH=/bin

stop() {
  echo "guest-init: $*"
  echo o >/proc/sysrq-trigger
  sleep 60
}

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
while read -r module; do
  insmod "/modules/$module" || stop "cannot load $module"
done </modules/order

mkdir -p /host /layers /root
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000,cache=loose,ro hostroot /host || stop "no host root"
mount -t tmpfs -o size=75% tmpfs /layers
mkdir -p /layers/upper /layers/work
mount -t overlay -o lowerdir=/host,upperdir=/layers/upper,workdir=/layers/work overlay /root || stop "no overlay"
for fs in proc sys dev; do
  mount --move "/$fs" "/root/$fs"
done
exec switch_root /root /bin/bash "$korvane_session" "$korvane_work"
