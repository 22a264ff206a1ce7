#!/usr/bin/env bash
# Installs what building and testing the updater needs on Debian 12 (as root).
# Quick when everything is there already.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config            # native build
  libgtest-dev libgmock-dev libbenchmark-dev  # tests and benchmarks
  faketime                                    # speeds up the 600-second hold in tests
  g++-mingw-w64-i686-posix                    # 32-bit Windows cross build
  googletest                                  # GoogleTest sources, cross-built for the Windows tests
  wine wine32                                 # runs the Windows tests
  libfuse3-dev fuse3                          # the simulated bootloader
  clang libclang-rt-14-dev                    # fuzzing (libFuzzer)
  clang-tidy cppcheck shellcheck              # static checks
  valgrind                                    # memory checks of a whole run
  dpkg-dev osslsigncode                       # release packages: dependencies, Authenticode
  strip-nondeterminism gnupg                  # release: reproducible zip, signed checksums
  lintian openssl python3                     # release test: package checks, test certificates, zip
  diffoscope-minimal                          # release test: what differs between two releases
  g++-aarch64-linux-gnu g++-arm-linux-gnueabihf  # ARM Linux cross builds
  qemu-user-static                               # runs their tests under user-mode emulation
  # The ARM programs' run-time libraries and faketime, as Debian's own
  # packages for those CPUs (multiarch).
  libstdc++6:arm64 libstdc++6:armhf libfaketime:arm64 libfaketime:armhf
)

for architecture in i386 arm64 armhf; do
  if ! dpkg --print-foreign-architectures | grep -qx "$architecture"; then
    dpkg --add-architecture "$architecture"
  fi
done

# Installs those of the packages that are missing, with the given apt options.
install_missing() {
  local options=() missing=() package status
  while [ $# -gt 0 ] && [ "$1" != -- ]; do
    options+=("$1")
    shift
  done
  shift
  for package in "$@"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
    [ "$status" = installed ] || missing+=("$package")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    # A mirror caught in the middle of a sync refuses an index or two; what
    # is needed may still come from the others, and the install says if not.
    apt-get update -q || echo "setup-debian.sh: some package indexes could not be fetched; trying without them" >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${options[@]}" "${missing[@]}"
  fi
}

install_missing -- "${packages[@]}"
# The tests in a throw-away virtual machine (tools/vm): the emulator without
# its graphical extras, the guest's initramfs shell, and the tools that lay
# out the guest kernel's modules and pack the initramfs.
install_missing --no-install-recommends -- qemu-system-x86 busybox-static kmod cpio
