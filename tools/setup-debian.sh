#!/usr/bin/env bash
# Installs what one of the project's commands needs, on Debian 12 or 13, as
# root. Quick when everything is there already.
#
#   tools/setup-debian.sh demo|release|test [--simulate]
#
#   demo      the Linux build and the simulated bootloader (tools/demo.sh)
#   release   every platform's build and test suites, and the packages
#             (tools/release.sh)
#   test      all that, and the checks of the test command (tools/run-tests.sh)
#   --simulate  resolves the install with apt's simulation and installs
#             nothing; architectures and package sources are still added, so
#             it is meant for a throw-away root
#
# A mirror caught in the middle of a sync may refuse the package index of an
# architecture, or hold it at the release's versions while another has the
# security archive's. Packages that exist for several architectures at once
# (zlib1g:amd64 and zlib1g:i386, say) must have one version, and apt then
# cannot resolve the install. So when an index cannot be fetched, or the
# install cannot be resolved, it is retried with the release's own suite
# preferred (apt-get install -t CODENAME), which every architecture's index
# has whole. A healthy archive is used as it is.
set -euo pipefail

usage() {
  echo "usage: $0 demo|release|test [--simulate]" >&2
  exit 2
}
if [ $# -lt 1 ] || [ $# -gt 2 ]; then usage; fi
purpose=$1
simulate=no
if [ $# = 2 ]; then
  [ "$2" = --simulate ] || usage
  simulate=yes
fi
say() { echo "setup-debian.sh: $*" >&2; }

# One list per purpose, each taking the one before it.
demo=(
  cmake ninja-build g++ pkg-config # native build
  libfuse3-dev fuse3               # the simulated bootloader
)
release=(
  "${demo[@]}"
  libgtest-dev libgmock-dev libbenchmark-dev     # tests and benchmarks
  faketime                                       # speeds up a whole run's clock and hold in tests
  g++-mingw-w64-i686-posix                       # 32-bit Windows cross build
  googletest                                     # GoogleTest sources, cross-built for the Windows tests
  wine wine32                                    # runs the Windows tests
  g++-aarch64-linux-gnu g++-arm-linux-gnueabihf  # ARM Linux cross builds
  musl-dev:amd64 musl-dev:arm64 musl-dev:armhf   # the static files' C library, for each CPU (multiarch)
  # The ARM programs' run-time library, as Debian's own packages for those
  # CPUs (multiarch).
  libstdc++6:arm64 libstdc++6:armhf
  # The throw-away virtual machine (tools/vm), where the Windows tests run
  # when Wine cannot start here: the guest's initramfs shell, the tools that
  # lay out the guest kernel's modules, unpack and pack the initramfs, its
  # set-up.
  busybox-static kmod xz-utils cpio python3
  dpkg-dev osslsigncode                          # packages: dependencies, Authenticode
  libengine-pkcs11-openssl gnutls-bin            # signing with a token's key (PKCS#11), reading its certificate
  openssl ca-certificates                        # the signer's certificate, the roots a signature is checked against
  strip-nondeterminism gnupg git                 # reproducible zip, signed checksums, the commit's date
)
test=(
  "${release[@]}"
  clang libclang-rt-dev                          # fuzzing (libFuzzer)
  clang-tidy cppcheck shellcheck                 # static checks
  valgrind                                       # memory checks of a whole run
  lintian softhsm2                               # release test: package checks, a PKCS#11 token
  mmdebstrap                                     # the set-up's checks in fresh Debian roots
)
# Without their recommendations: the release test's view of what differs
# between two releases would otherwise bring hundreds of packages (ffmpeg, R)
# that it never uses.
test_lean=(diffoscope-minimal xxd)

case $purpose in
demo) foreign=() ;;
release | test) foreign=(i386 arm64 armhf) ;;
*) usage ;;
esac

# shellcheck source=/dev/null
. /etc/os-release
codename=${VERSION_CODENAME:-}
[ -n "$codename" ] || {
  say "/etc/os-release names no release (VERSION_CODENAME): is this Debian?"
  exit 1
}

# Anyone may learn that nothing is missing; changing anything takes root.
need_root() {
  [ "$(id -u)" = 0 ] || {
    say "$1 needs root: run this as root"
    exit 1
  }
}

added=$(dpkg --print-foreign-architectures)
for architecture in "${foreign[@]}"; do
  if ! grep -qx "$architecture" <<<"$added"; then
    need_root "adding the $architecture architecture"
    dpkg --add-architecture "$architecture"
  fi
done

# apt-get update, once; "no" in indexes_whole when an index could not be
# fetched.
updated=no
indexes_whole=yes
update() {
  updated=yes
  if ! apt-get update -q; then
    indexes_whole=no
    say "some package indexes could not be fetched (above); a mirror may be in the middle of a sync"
  fi
}

# The packages of those given that are not installed yet; one asked for from
# a given suite (NAME/SUITE) always.
missing() {
  local package status
  for package in "$@"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
    [ "$status" = installed ] || echo "$package"
  done
}

# Installs those of the packages that are missing: install [APT_OPTIONS...]
# -- PACKAGES... The install is first resolved by apt's simulation, so one
# that cannot be resolved changes nothing. Once an index is missing or the
# archive as it stands cannot be resolved, the release's own suite is
# preferred, unless the caller names a suite of its own (-t).
prefer=()
install() {
  local options=() wanted log target
  while [ "$1" != -- ]; do
    options+=("$1")
    shift
  done
  shift
  mapfile -t wanted < <(missing "$@")
  [ ${#wanted[@]} -gt 0 ] || return 0
  need_root "installing ${wanted[*]}"
  [ "$updated" = yes ] || update
  if [ ${#prefer[@]} = 0 ] && [ "$indexes_whole" = no ]; then
    say "so preferring the packages of $codename itself (apt-get install -t $codename), which every architecture's index has at one version"
    prefer=(-t "$codename")
  fi
  target=("${prefer[@]}")
  [[ " ${options[*]} " != *" -t "* ]] || target=()
  log=$(mktemp)
  if ! apt-get install -s -q "${options[@]}" "${target[@]}" "${wanted[@]}" >"$log" 2>&1; then
    if [ ${#prefer[@]} = 0 ] && [[ " ${options[*]} " != *" -t "* ]]; then
      grep -E '^ |^E:' "$log" | head -n 20 >&2 || true
      say "the install cannot be resolved as the archive stands (above): a mirror may be in the middle of a sync, with one architecture's index behind another's. Retrying with the packages of $codename itself preferred (apt-get install -t $codename), so that every architecture gets the same version"
      prefer=(-t "$codename")
      target=("${prefer[@]}")
    fi
    if [ ${#target[@]} = 0 ] || ! apt-get install -s -q "${options[@]}" "${target[@]}" "${wanted[@]}" >"$log" 2>&1; then
      cat "$log" >&2
      rm -f "$log"
      say "the install cannot be resolved${target[*]:+ even with $codename preferred}, so nothing was installed. An installed package may be newer than what another architecture's index offers: try again once the mirror has synced (apt-get update without errors)."
      exit 1
    fi
  fi
  if [ "$simulate" = yes ]; then
    echo "Would install (apt-get install ${options[*]} ${target[*]}):"
    grep '^Inst ' "$log" || true
    rm -f "$log"
    return 0
  fi
  rm -f "$log"
  echo "Installing: ${wanted[*]}"
  if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${options[@]}" "${target[@]}" "${wanted[@]}"; then
    say "the install stopped part way: some packages may be unpacked but not set up (dpkg --audit lists them)."
    say "Mend the cause above and run this again; 'apt-get install -f' finishes what is half done."
    exit 1
  fi
  [ ${#target[@]} = 0 ] || say "installed with $codename preferred"
}

# QEMU, for the virtual machine and the ARM builds' user-mode emulation:
# nothing when it is there already, as version 10 or later. Debian 12's 7.2
# gives the wrong error code for a software interrupt that a program may not
# make in 64-bit mode (vector * 16 + 2, not * 8 + 2), so Wine in the guest
# takes the fast-fail interrupt for an access violation. Where the release's
# own is older, its backports'.
install_qemu() {
  local installed candidate backports=$codename-backports
  installed=$(dpkg-query -W -f='${Version}' qemu-system-x86 2>/dev/null || true)
  if [ -n "$installed" ] && dpkg --compare-versions "$installed" ge 1:10; then
    install --no-install-recommends -- qemu-user-static
    return 0
  fi
  need_root "installing QEMU"
  [ "$updated" = yes ] || update
  candidate=$(apt-cache policy qemu-system-x86 | sed -n 's/^ *Candidate: //p')
  if dpkg --compare-versions "${candidate/(none)/0}" ge 1:10; then
    install --no-install-recommends -- qemu-system-x86 qemu-user-static
    return 0
  fi
  if ! grep -rqs "^[^#]*$backports" /etc/apt/sources.list /etc/apt/sources.list.d/; then
    say "$codename's own QEMU (${candidate:-none}) is older than 10: adding $backports to the package sources for it"
    printf '%s\n' 'Types: deb' 'URIs: http://deb.debian.org/debian' "Suites: $backports" 'Components: main' \
      'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' >"/etc/apt/sources.list.d/$backports.sources"
    update
  fi
  # The older version installed is replaced too: a name given with its
  # suite is never taken for installed.
  install --no-install-recommends -t "$backports" -- qemu-system-x86/"$backports" qemu-user-static/"$backports"
}

case $purpose in
demo) install --no-install-recommends -- "${demo[@]}" ;;
release)
  install -- "${release[@]}"
  install_qemu
  ;;
test)
  install -- "${test[@]}"
  install --no-install-recommends -- "${test_lean[@]}"
  install_qemu
  ;;
esac
