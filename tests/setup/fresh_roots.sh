#!/usr/bin/env bash
# The set-up of every command, tried from fresh minimal Debian roots made by
# mmdebstrap, one per release (default: Debian 12 and 13), as root:
#
#   tests/setup/fresh_roots.sh [CODENAME...]
#
# In each release's roots:
# - the set-up of the demo, the release and the test command resolves (apt's
#   simulation) against the archive as it is, and the demo's adds no foreign
#   architecture and no Windows, ARM or emulator packages;
# - the release's and the test command's resolve again when the security
#   archive gives amd64's index alone and the other architectures' cannot be
#   fetched, as from a mirror in the middle of a sync: the set-up must say
#   that it preferred the release's own suite;
# - the demo runs for real: it installs what it needs, builds, and the
#   simulated device's memory matches the image.
# The minimal roots (remade after a week), the downloaded packages and the
# package indexes are cached in KORVANE_ROOT_CACHE (default
# ~/.cache/korvane-updater/roots). Each root is a copy of the working tree's
# files under /src; /proc, /sys and /dev are mounted into it only in a mount
# namespace of its own, and it is removed with --one-file-system.
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
cache=${KORVANE_ROOT_CACHE:-$HOME/.cache/korvane-updater/roots}
[ $# -gt 0 ] || set -- bookworm trixie
work=$(mktemp -d /var/tmp/korvane-roots.XXXXXX)
mkdir -p "$cache"

fail() {
  echo "fresh roots FAILED: $*" >&2
  exit 1
}

# A minimal root of the release as its mirror offers it today, made once a
# week: CODENAME.tar in the cache.
base_root() { # CODENAME
  local tarball="$cache/$1.tar"
  if [ -z "$(find "$tarball" -mtime -7 2>/dev/null)" ]; then
    echo "making a minimal $1 root"
    mmdebstrap --quiet --variant=minbase --format=tar "$1" "$tarball.new" "deb http://deb.debian.org/debian $1 main" ||
      fail "mmdebstrap could not make a $1 root"
    mv "$tarball.new" "$tarball"
  fi
}

# A package source in deb822 form.
apt_source() { # URI SUITES [ARCHITECTURES]
  printf '%s\n' 'Types: deb' "URIs: $1" "Suites: $2" 'Components: main' \
    'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' ${3:+"Architectures: $3"} ''
}

# A fresh root in DIR with a fresh machine's package sources: the release,
# its updates and its security archive. With "half-synced", the security
# archive gives only amd64's index; the other architectures' cannot be
# fetched, as from a mirror in the middle of a sync.
new_root() { # DIR CODENAME [half-synced]
  mkdir -p "$1"
  tar -C "$1" -xf "$cache/$2.tar"
  rm -f "$1/etc/apt/sources.list"
  {
    apt_source http://deb.debian.org/debian "$2 $2-updates"
    if [ "${3:-}" = half-synced ]; then
      apt_source http://deb.debian.org/debian-security "$2-security" amd64
      apt_source http://127.0.0.1:9/debian-security "$2-security" "i386 arm64 armhf"
    else
      apt_source http://deb.debian.org/debian-security "$2-security"
    fi
  } >"$1/etc/apt/sources.list.d/debian.sources"
  cp /etc/resolv.conf "$1/etc/resolv.conf"
  # Throw-away: dpkg need not sync every file it writes.
  echo force-unsafe-io >"$1/etc/dpkg/dpkg.cfg.d/unsafe-io"
  mkdir -p "$cache/lists-$2" "$cache/archives-$2/partial"
  cp -a "$cache/lists-$2/." "$1/var/lib/apt/lists/"
  (cd "$here" && git ls-files -co --exclude-standard -z | tar --null -T - -cf -) |
    (mkdir -p "$1/src" && tar -C "$1/src" -xf -)
}

# Runs COMMAND in the root DIR, with /proc, /sys and /dev, and the cache of
# downloaded packages, mounted in a mount namespace of its own, so that they
# are never mounted where this machine's other processes see the root; they
# are unmounted again before it ends.
in_root() { # DIR CODENAME COMMAND...
  # shellcheck disable=SC2016 # the inner shell expands them
  unshare --mount --propagation private -- bash -euc '
    root=$1 archives=$2
    shift 2
    # Its own mount point, as a machine'"'"'s root is.
    mount --bind "$root" "$root"
    mount -t proc proc "$root/proc"
    mount --rbind /sys "$root/sys"
    mount --rbind /dev "$root/dev"
    mount --bind "$archives" "$root/var/cache/apt/archives"
    status=0
    chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C.UTF-8 "$@" || status=$?
    umount -R "$root"
    exit $status' in_root "$1" "$cache/archives-$2" "${@:3}"
}

# Removes the root DIR, never while anything is mounted below it; with
# "keep-lists" its package indexes are kept for the next run.
remove_root() { # DIR CODENAME [keep-lists]
  ! findmnt -rn -o TARGET | grep -q "^$1/" || fail "$1 still has file systems mounted: not removed"
  if [ "${3:-}" = keep-lists ]; then
    rm -rf "$cache/lists-$2.new"
    cp -a "$1/var/lib/apt/lists" "$cache/lists-$2.new"
    rm -rf "$cache/lists-$2"
    mv "$cache/lists-$2.new" "$cache/lists-$2"
  fi
  rm -rf --one-file-system "$1"
}

# The demo's set-up, then the demo for real, in a fresh root.
check_demo() { # CODENAME
  local root="$work/$1-demo" log="$work/$1-demo.log" start
  new_root "$root" "$1"
  in_root "$root" "$1" /src/tools/setup-debian.sh demo --simulate >"$log" 2>&1 ||
    fail "$1: the demo's set-up did not resolve: $(tail -n 20 "$log")"
  [ -z "$(chroot "$root" dpkg --print-foreign-architectures)" ] || fail "$1: the demo's set-up added an architecture"
  ! grep -E '^Inst (wine|qemu|g\+\+-(mingw|aarch64|arm-))' "$log" || fail "$1: the demo's set-up takes the above"
  echo "$1: the demo's set-up resolves ($(grep -c '^Inst ' "$log") packages)"
  start=$SECONDS
  in_root "$root" "$1" bash -c 'cd /src && tools/demo.sh' >"$log" 2>&1 || fail "$1: the demo failed: $(tail -n 30 "$log")"
  grep -q 'memory matches image' "$log" || fail "$1: the demo did not say the memory matches: $(tail -n 30 "$log")"
  echo "$1: the demo installed, built and updated the simulated device in $((SECONDS - start)) s"
  remove_root "$root" "$1"
}

# The release's and the test command's set-ups in a fresh root, against the
# archive as it is or a half-synced one.
check_full() { # CODENAME whole|half-synced
  local root="$work/$1-$2" log purpose
  new_root "$root" "$1" "${2/whole/}"
  for purpose in release test; do
    log="$work/$1-$purpose-$2.log"
    in_root "$root" "$1" /src/tools/setup-debian.sh "$purpose" --simulate >"$log" 2>&1 ||
      fail "$1: the $purpose set-up did not resolve against the $2 archive: $(tail -n 20 "$log")"
    if [ "$2" = half-synced ]; then
      grep -q "apt-get install -t $1" "$log" || fail "$1: against the half-synced archive the $purpose set-up did not say it preferred $1"
    fi
    echo "$1: the $purpose set-up resolves against the $2 archive ($(grep -c '^Inst ' "$log") packages)"
  done
  remove_root "$root" "$1" "$([ "$2" = whole ] && echo keep-lists)"
}

# Mounts live only in the roots' own mount namespaces, gone with them; the
# check stands guard all the same.
# shellcheck disable=SC2317 # run by the trap
cleanup() {
  if findmnt -rn -o TARGET | grep -q "^$work/"; then
    echo "fresh roots: $work still has file systems mounted: left in place" >&2
  else
    rm -rf --one-file-system "$work"
  fi
}
trap cleanup EXIT

for codename in "$@"; do base_root "$codename"; done
# Side by side: most of the demos' time is their real-time updates, and the
# roots share nothing but the caches, which only the last root to go writes.
outputs=()
pids=()
for codename in "$@"; do
  check_demo "$codename" >"$work/$codename-demo.out" 2>&1 &
  pids+=($!) outputs+=("$work/$codename-demo.out")
  for archive in whole half-synced; do
    check_full "$codename" "$archive" >"$work/$codename-$archive.out" 2>&1 &
    pids+=($!) outputs+=("$work/$codename-$archive.out")
  done
done
status=0
for i in "${!pids[@]}"; do
  wait "${pids[$i]}" || status=1
  cat "${outputs[$i]}"
done
exit $status
