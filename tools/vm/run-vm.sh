#!/usr/bin/env bash
# Runs a command of this machine inside a throw-away virtual machine whose
# kernel has a real USB HID stack: a USB device emulated by the kernel's dummy
# host controller and USB gadget HID function, driven by usbhid and hidraw.
#
#   tools/vm/run-vm.sh WORK_DIR COMMAND [ARGS...]
#
# The guest runs Debian's own kernel (the package linux-image-amd64 depends
# on, fetched and unpacked into WORK_DIR once and kept there) and no disk
# image: an initramfs loads the modules and mounts this machine's root
# read-only over 9p, under a tmpfs overlay, so COMMAND and everything it uses
# (Wine, python3) run unchanged, as root, in the current folder, with the
# KORVANE_* and CI variables of this environment. What COMMAND writes there
# is lost, except in WORK_DIR, which the guest shares writably. COMMAND's
# output is shown here, and its exit status is this script's; 2 when the
# guest cannot be built or booted.
set -euo pipefail

if [ $# -lt 2 ]; then
  echo "usage: $0 WORK_DIR COMMAND [ARGS...]" >&2
  exit 2
fi
work=$(realpath -m "$1")
shift
# Already inside the guest (suites run there): its kernel has the HID stack,
# so the command runs as it is, one at a time, as the guest has one USB
# device controller for the commands' devices.
if [ -n "${KORVANE_VM_GUEST:-}" ]; then
  exec flock /run/korvane-vm-device.lock "$@"
fi
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$work"
command -v "$1" >/dev/null || { echo "run-vm: no program $1 here" >&2; exit 2; }

fail() {
  echo "run-vm: $*" >&2
  exit 2
}

# The modules the guest loads, with what they need ahead of them (modprobe
# works the order out from the package's own tables).
guest_modules=(virtio_pci 9pnet_virtio 9p overlay configfs dummy_hcd usb_f_hid usbhid hid_generic)

# The kernel: the package the metapackage depends on today (older ABI
# versions leave the archive), fetched once into WORK_DIR, never installed.
kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -n 1
}
fetch_kernel() {
  echo "run-vm: fetching $kernel_package"
  rm -rf "$work/download"
  mkdir -p "$work/download"
  (cd "$work/download" && apt-get download "$kernel_package" >download.log 2>&1) &&
    mv "$work/download/"*.deb "$work/$kernel_package.deb"
}
# Package lists that are missing or out of date name no kernel, or one the
# archive no longer has: they are brought up to date once, then it must work.
kernel_package=$(kernel_package)
if [ -z "$kernel_package" ] || { [ ! -f "$work/$kernel_package.deb" ] && ! fetch_kernel; }; then
  echo "run-vm: updating the package lists"
  apt-get update -q >/dev/null 2>&1 || true
  kernel_package=$(kernel_package)
  [ -n "$kernel_package" ] || fail "cannot fetch the guest kernel: no package list names what linux-image-amd64 depends on"
  [ -f "$work/$kernel_package.deb" ] || fetch_kernel ||
    fail "cannot fetch the guest kernel package $kernel_package: $(tail -n 3 "$work/download/download.log")"
fi
rm -rf "$work/download"
kernel_version=${kernel_package#linux-image-}

# The kernel image and an initramfs of busybox, the init script and the
# modules, taken from the package whenever it or these scripts change.
kernel="$work/vmlinuz-$kernel_version"
initramfs="$work/initramfs-$kernel_version.cpio"
if [ ! -f "$initramfs" ] || [ "$work/$kernel_package.deb" -nt "$initramfs" ] || [ "$0" -nt "$initramfs" ] ||
  [ "$here/guest-init.sh" -nt "$initramfs" ]; then
  unpacked="$work/unpacked"
  tree="$work/initramfs"
  rm -rf "$unpacked" "$tree"
  dpkg-deb -x "$work/$kernel_package.deb" "$unpacked" || fail "cannot unpack $kernel_package"
  # Debian 13's kernels keep their modules under /usr/lib/modules.
  if [ ! -d "$unpacked/lib/modules" ] && [ -d "$unpacked/usr/lib/modules" ]; then
    mkdir -p "$unpacked/lib"
    mv "$unpacked/usr/lib/modules" "$unpacked/lib/modules"
  fi
  depmod -b "$unpacked" "$kernel_version"
  mkdir -p "$tree/bin" "$tree/modules" "$tree/dev" "$tree/proc" "$tree/sys"
  cp /bin/busybox "$tree/bin/busybox"
  cp "$here/guest-init.sh" "$tree/init"
  for module in "${guest_modules[@]}"; do
    modprobe -d "$unpacked" -S "$kernel_version" --show-depends "$module"
  done | awk '$1 == "insmod" && !seen[$2]++ { print $2 }' | while read -r file; do
    # Unpacked here, as the guest's busybox loads plain modules only (Debian
    # 13 compresses them).
    module=$(basename "$file")
    case $module in
    *.ko.xz) xz -dc "$file" >"$tree/modules/${module%.xz}" ;;
    *) cp "$file" "$tree/modules/" ;;
    esac
    echo "${module%.ko*}.ko" >>"$tree/modules/order"
  done
  cp "$unpacked/boot/vmlinuz-$kernel_version" "$kernel"
  (cd "$tree" && find . | cpio -o -H newc --quiet) >"$initramfs.partial"
  mv "$initramfs.partial" "$initramfs"
  rm -rf "$unpacked" "$tree"
fi

# The job the guest runs: this folder, the variables that steer the tests,
# the command. Its output and status come back through WORK_DIR.
job="$work/job"
rm -f "$job/status" "$job/output"
mkdir -p "$job"
{
  printf 'cd %q\n' "$PWD"
  export -p | grep -E '^declare -x (KORVANE_[A-Z0-9_]*|CI)=' || true
  printf 'exec'
  printf ' %q' "$@"
  printf '\n'
} >"$job/command"

# A KVM that cannot boot a stock kernel hangs in its decompressor: a short
# boot that must say hello tells whether to use it, else software emulation.
# Without SMAP, 32-bit processes (Wine) run; the stock kernel oopses on them
# under emulation with it.
# shellcheck disable=SC2054 # commas within the options
accel=(-accel tcg,thread=multi -cpu max,-smap)
if [ -w /dev/kvm ]; then
  # Without a root the kernel panics and the guest ends at once.
  said=$(timeout 8 qemu-system-x86_64 -accel kvm -cpu host -m 256 -nographic -no-reboot -nodefaults -serial stdio \
    -kernel "$kernel" -append "console=ttyS0 panic=-1" 2>/dev/null | grep -a -m 1 -o 'Linux version' || true)
  [ -z "$said" ] || accel=(-accel kvm -cpu host)
fi

console="$work/console.log"
echo "run-vm: booting $kernel_package (${accel[1]})"
# The host's root, read-only; the work folder, writable, at the same path.
# What the guest writes lives in its memory (three quarters of it): the
# Windows suite alone writes three Wine prefixes of about 600 MB each.
status=0
timeout "${KORVANE_VM_TIMEOUT:-1200}" qemu-system-x86_64 "${accel[@]}" -smp 2 -m 4096 \
  -nographic -no-reboot -nodefaults -serial "file:$console" \
  -kernel "$kernel" -initrd "$initramfs" \
  -append "console=ttyS0 quiet panic=-1 korvane_work=$work korvane_session=$here/guest-session.sh" \
  -virtfs "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap" \
  -virtfs "local,path=$work,mount_tag=work,security_model=none,multidevs=remap" || status=$?

[ -f "$job/output" ] && cat "$job/output"
if [ ! -f "$job/status" ]; then
  [ $status -ne 124 ] || echo "run-vm: the guest did not finish in time" >&2
  echo "run-vm: the guest ended without running the command; its console:" >&2
  tail -n 40 "$console" >&2
  exit 2
fi
exit "$(cat "$job/status")"
