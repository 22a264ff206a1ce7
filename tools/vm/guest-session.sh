#!/bin/bash
# Runs in the guest, in the host's tree, after the initramfs: gives the
# system what programs expect of it, runs the job that run-vm.sh left in the
# work folder, keeps its output and status there, and powers the guest off.
work=$1
# /tmp stays the overlay's, writable already: a tree checked out under the
# host's /tmp must stay in sight.
mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /dev/shm 2>/dev/null || { mkdir -p /dev/shm && mount -t tmpfs tmpfs /dev/shm; }
mkdir -p /dev/pts && mount -t devpts devpts /dev/pts
mount -t configfs configfs /sys/kernel/config
ln -sf /proc/self/fd /dev/fd
# The work folder last: it may lie under one of the folders above.
mkdir -p "$work"
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 work "$work" || { echo o >/proc/sysrq-trigger; sleep 60; }
hostname korvane-vm
# KORVANE_VM_GUEST: run-vm.sh, asked from in here, runs its command in place.
export HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 KORVANE_VM_GUEST=1

echo "guest up after $(cut -d' ' -f1 /proc/uptime) s" >"$work/job/output"
status=0
bash "$work/job/command" </dev/null >>"$work/job/output" 2>&1 || status=$?
echo "$status" >"$work/job/status"
sync
echo o >/proc/sysrq-trigger
sleep 60
