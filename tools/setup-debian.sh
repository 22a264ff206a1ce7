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
  # The ARM programs' run-time libraries and faketime, as Debian's own
  # packages for those CPUs (multiarch).
  libstdc++6:arm64 libstdc++6:armhf libfaketime:arm64 libfaketime:armhf
)

for architecture in i386 arm64 armhf; do
  if ! dpkg --print-foreign-architectures | grep -qx "$architecture"; then
    dpkg --add-architecture "$architecture"
  fi
done

# Installs the packages with the given apt options: apt-get install OPTIONS PACKAGES.
apt_install() {
  echo "Installing: $*"
  # A mirror caught in the middle of a sync refuses an index or two; what
  # is needed may still come from the others, and the install says if not.
  apt-get update -q || echo "setup-debian.sh: some package indexes could not be fetched; trying without them" >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$@"
}

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
  [ ${#missing[@]} -eq 0 ] || apt_install "${options[@]}" "${missing[@]}"
}

install_missing -- "${packages[@]}"
# The tests in a throw-away virtual machine (tools/vm): the guest's initramfs
# shell, and the tools that lay out the guest kernel's modules and pack the
# initramfs.
install_missing --no-install-recommends -- busybox-static kmod cpio

# QEMU: the virtual machine's emulator without its graphical extras, and the
# user-mode emulation the ARM builds' tests run under. Debian 12's own QEMU
# (7.2) gives the wrong error code for a software interrupt that a program
# may not make in 64-bit mode (vector * 16 + 2, not * 8 + 2), so Wine in the
# guest takes the fast-fail interrupt for an access violation; QEMU 10 from
# Debian's bookworm-backports gives the processor's.
qemu=(qemu-system-x86 qemu-user-static)
# shellcheck source=/dev/null
. /etc/os-release
if [ "${VERSION_CODENAME:-}" = bookworm ]; then
  version=$(dpkg-query -W -f='${Version}' qemu-system-x86 2>/dev/null || true)
  if [ -z "$version" ] || dpkg --compare-versions "$version" lt 1:10; then
    grep -rqs '^[^#]*bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/ ||
      printf '%s\n' 'Types: deb' 'URIs: http://deb.debian.org/debian' 'Suites: bookworm-backports' 'Components: main' \
        'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' >/etc/apt/sources.list.d/bookworm-backports.sources
    apt_install --no-install-recommends -t bookworm-backports "${qemu[@]}"
  fi
else
  install_missing --no-install-recommends -- "${qemu[@]}"
fi
