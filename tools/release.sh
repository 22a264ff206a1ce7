#!/usr/bin/env bash
# Makes a release of the updater with the given firmware embedded:
#
#   tools/release.sh FIRMWARE.hex [OPTIONS]
#   tools/release.sh --placeholder [OPTIONS]
#
#   --pkcs12 FILE --password-file FILE   sign the Windows exe (Authenticode)
#   --timestamp-url URL                  and time-stamp that signature (RFC 3161)
#   --gpg-key KEYID                      sign the checksum file (OpenPGP, with
#                                        the key from the user's GNUPGHOME)
#   --no-tests                           skip the test suites; only for the
#                                        release test's comparing runs
#   --builds DIR                         package the presets already built
#                                        and tested in DIR/PRESET (the test
#                                        command's), building nothing and
#                                        running no tests; for the release test
#
# Builds every platform from scratch with the firmware built in, runs their
# tests (all but the virtual-machine ones; a failing suite stops the release
# before dist/ is written), and puts the release into dist/,
# which it empties first:
#   korvane-updater-9.32-windows-x86.zip          the exe, README.txt,
#                                                 THIRD-PARTY-NOTICES.txt, SHA256SUMS
#   korvane-updater-9.32-linux-ARCH.tar.gz        the static file, its udev rule, man page,
#     (ARCH: x86_64, aarch64, armhf)              README.txt, THIRD-PARTY-NOTICES.txt
#   korvane-updater_9.32_ARCH.deb                 /usr/bin/korvane-updater, udev rule, man page
#     (ARCH: amd64, arm64, armhf)
#   korvane-updater-9.32-SHA256SUMS               the checksums of all of them
#   korvane-updater-9.32-SHA256SUMS.asc           its signature, with --gpg-key
# Without a PKCS#12 file the exe is unsigned and the release says so.
# --placeholder makes a test release of the placeholder build, whose file
# names say "placeholder"; it must never reach a user.
#
# The same commit and firmware give the same bytes (unsigned) whatever the
# folder, clock, time zone, locale, umask or user: every date is the
# commit's (SOURCE_DATE_EPOCH), and the archives get fixed owners, modes,
# times and order.
set -euo pipefail
cd "$(dirname "$0")/.."
# Sorting and names that do not depend on the caller's language.
export LC_ALL=C

usage() {
  cat >&2 <<'TEXT'
usage: tools/release.sh FIRMWARE.hex|--placeholder [--pkcs12 FILE --password-file FILE [--timestamp-url URL]]
                        [--gpg-key KEYID] [--no-tests | --builds DIR]
TEXT
  exit 2
}
refuse() {
  echo "tools/release.sh: $*" >&2
  exit 2
}

firmware=""
placeholder=no
pkcs12=""
password_file=""
timestamp_url=""
gpg_key=""
tests=yes
builds=""
while [ $# -gt 0 ]; do
  case $1 in
  --placeholder) placeholder=yes ;;
  --pkcs12) [ $# -ge 2 ] || usage; pkcs12=$(realpath "$2"); shift ;;
  --password-file) [ $# -ge 2 ] || usage; password_file=$(realpath "$2"); shift ;;
  --timestamp-url) [ $# -ge 2 ] || usage; timestamp_url=$2; shift ;;
  --gpg-key) [ $# -ge 2 ] || usage; gpg_key=$2; shift ;;
  --no-tests) tests=no ;;
  --builds) [ $# -ge 2 ] || usage; builds=$(realpath "$2"); tests=no; shift ;;
  -*) usage ;;
  *) [ -z "$firmware" ] || usage; firmware=$(realpath "$1") ;;
  esac
  shift
done
if [ -z "$firmware" ] && [ "$placeholder" = no ]; then
  cat >&2 <<'TEXT'
tools/release.sh: no firmware given, so there is nothing to release.
Give the Intel HEX file of the Korvane firmware 9.32:
    tools/release.sh /path/to/korvane-9.32.hex
(tools/release.sh --placeholder makes a test release of the placeholder
build, which must never reach a user.)
TEXT
  exit 2
fi
if [ -n "$firmware" ] && [ "$placeholder" = yes ]; then usage; fi
if [ -n "$firmware" ] && [ ! -f "$firmware" ]; then refuse "$firmware: no such file"; fi
if { [ -n "$pkcs12" ] && [ -z "$password_file" ]; } || { [ -z "$pkcs12" ] && [ -n "$password_file" ]; }; then
  refuse "signing needs both --pkcs12 FILE and --password-file FILE"
fi
if [ -n "$timestamp_url" ] && [ -z "$pkcs12" ]; then refuse "--timestamp-url time-stamps a signature: give --pkcs12 too"; fi
for file in "$pkcs12" "$password_file"; do
  if [ -n "$file" ] && [ ! -r "$file" ]; then refuse "$file: cannot be read"; fi
done

tools/setup-debian.sh release

# Before the long build: the OpenPGP key must be there to sign with.
if [ -n "$gpg_key" ] && ! gpg --batch --list-secret-keys "$gpg_key" >/dev/null 2>&1; then
  refuse "no secret OpenPGP key \"$gpg_key\" in ${GNUPGHOME:-~/.gnupg}"
fi

# Every date in the release is the commit's, not the hour of the build.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct) ||
    refuse "not in a git checkout: set SOURCE_DATE_EPOCH to the date of the sources"
fi
export SOURCE_DATE_EPOCH

version=9.32
if [ "$placeholder" = yes ]; then
  release="korvane-updater-$version-placeholder"
  deb_version="$version~placeholder"
  firmware_option=()
else
  release="korvane-updater-$version"
  deb_version="$version"
  firmware_option=("-DKORVANE_FIRMWARE_HEX=$firmware")
fi
test_option=()
[ "$tests" = yes ] || test_option=(-DKORVANE_BUILD_TESTS=OFF)

build=build/release
dist=$PWD/dist
rm -rf "$build" "$dist"
# Linux presets: the CPU's name in the archive's name, and Debian's in the package's.
declare -A archive_cpu=([linux]=x86_64 [linux-arm64]=aarch64 [linux-armhf]=armhf)
declare -A debian_cpu=([linux]=amd64 [linux-arm64]=arm64 [linux-armhf]=armhf)
presets=(linux windows-i686 linux-arm64 linux-armhf)
if [ -n "$builds" ]; then
  # Built and tested already: only their firmware and build type are checked.
  mkdir -p "$build"
  for preset in "${presets[@]}"; do
    cache="$builds/$preset/CMakeCache.txt"
    if [ "$(sed -n 's/^KORVANE_FIRMWARE_HEX:[A-Z]*=//p' "$cache" 2>/dev/null)" != "$firmware" ] ||
      ! grep -qx 'CMAKE_BUILD_TYPE:STRING=Release' "$cache"; then
      refuse "$builds/$preset is not a Release build of ${firmware:-the placeholder}"
    fi
    ln -s "$builds/$preset" "$build/$preset"
  done
fi
for preset in "${presets[@]}"; do
  [ -z "$builds" ] || break
  echo "== $preset =="
  cmake --preset "$preset" -B "$build/$preset" "${firmware_option[@]}" "${test_option[@]}"
  cmake --build "$build/$preset"
  if [ "$tests" = yes ]; then
    # The virtual-machine tests take minutes each and need no second run
    # here: the test command runs them.
    run_tests=(ctest --test-dir "$build/$preset")
    [ "$preset" != windows-i686 ] || run_tests=(tools/windows-ctest.sh "$build/$preset")
    "${run_tests[@]}" --output-on-failure --no-tests=error -LE vm
  fi
done

echo "== packages =="
# CPack gives the folders and the members of a package the modes the umask
# leaves, and the folders in the package would be made so on installing it.
umask 022
mkdir -p "$dist"
# A tar.gz of FOLDER in the build folder whose bytes depend on the files'
# contents and the commit alone.
pack_tar() { # FOLDER
  tar -C "$build" --sort=name --format=gnu --owner=0 --group=0 --numeric-owner --mode=u+rw,go=u,go-w \
    --mtime="@$SOURCE_DATE_EPOCH" -cf - "$1" | gzip -9n >"$dist/$1.tar.gz"
}

windows="$release-windows-x86"
staging="$build/$windows"
mkdir -p "$staging"
exe="$staging/korvane_updater.exe"
if [ -n "$pkcs12" ]; then
  osslsigncode sign -pkcs12 "$pkcs12" -readpass "$password_file" -h sha256 -n "Korvane Updater $version" \
    ${timestamp_url:+-ts "$timestamp_url"} -in "$build/windows-i686/korvane_updater.exe" -out "$exe" >/dev/null
  signed="signed with $(basename "$pkcs12")"
  if [ -n "$timestamp_url" ]; then signed+=", time-stamped by $timestamp_url"; fi
else
  cp "$build/windows-i686/korvane_updater.exe" "$exe"
  signed="UNSIGNED: no PKCS#12 file given (--pkcs12 FILE --password-file FILE)"
fi
sed 's/$/\r/' tools/packaging/README-windows.txt >"$staging/README.txt"
tools/packaging/third-party-notices.sh korvane_updater.exe "$build/windows-i686/korvane_updater.map" | sed 's/$/\r/' >"$staging/THIRD-PARTY-NOTICES.txt"
(cd "$staging" && sha256sum korvane_updater.exe README.txt THIRD-PARTY-NOTICES.txt >SHA256SUMS)
(cd "$build" && cmake -E tar cf "$dist/$windows.zip" --format=zip "$windows")
# Debian's normaliser gives the zip's entries a fixed order, the commit's
# time, and modes and owners that the umask and user do not change.
strip-nondeterminism --type zip --timestamp "$SOURCE_DATE_EPOCH" "$dist/$windows.zip" >/dev/null

for preset in linux linux-arm64 linux-armhf; do
  linux="$release-linux-${archive_cpu[$preset]}"
  staging="$build/$linux"
  mkdir -p "$staging"
  cp "$build/$preset/package/static/korvane-updater" tools/udev/70-korvane-bootloader.rules \
    tools/packaging/korvane-updater.1 "$staging/"
  cp tools/packaging/README-linux.txt "$staging/README.txt"
  tools/packaging/third-party-notices.sh korvane-updater "$build/$preset/korvane_updater_static.map" >"$staging/THIRD-PARTY-NOTICES.txt"
  pack_tar "$linux"

  cpack -G DEB --config "$build/$preset/CPackConfig.cmake" -B "$build/deb-$preset" >/dev/null
  # CPack counts each folder's own size on disk into Installed-Size, and that
  # differs between filesystems (4 KiB on ext4, less on tmpfs). The field is
  # set as Debian's tools count it (each file's KiB, one per folder) and the
  # package made again by dpkg-deb, with the modes and owners it had.
  deb_file="korvane-updater_${deb_version}_${debian_cpu[$preset]}.deb"
  tree="$build/deb-$preset/tree"
  dpkg-deb -R "$build/deb-$preset/$deb_file" "$tree"
  chmod -R u+rwX,go=u,go-w "$tree"
  installed_size=$(cd "$tree" && find . -mindepth 1 -path ./DEBIAN -prune -o \( -type d -printf 'd\n' \) -o -printf '%s\n' |
    awk '{ kib += $1 == "d" ? 1 : int(($1 + 1023) / 1024) } END { print kib }')
  sed -i "s/^Installed-Size: .*/Installed-Size: $installed_size/" "$tree/DEBIAN/control"
  dpkg-deb --root-owner-group -Zgzip --build "$tree" "$dist/$deb_file" >/dev/null
done

sums="$release-SHA256SUMS"
(cd "$dist" && sha256sum -- * >"$sums")
if [ -n "$gpg_key" ]; then
  gpg --batch --yes --local-user "$gpg_key" --armor --detach-sign --output "$dist/$sums.asc" "$dist/$sums"
  gpg --batch --verify "$dist/$sums.asc" "$dist/$sums" 2>/dev/null
fi

echo
echo "Release $version in dist/:"
sed 's/^/  /' "$dist/$sums"
echo "  $sums"
if [ -n "$gpg_key" ]; then
  echo "  $sums.asc: the checksums signed with OpenPGP key $gpg_key"
else
  echo "Checksums not signed: no OpenPGP key given (--gpg-key KEYID)"
fi
echo "Windows exe: $signed"
if [ "$placeholder" = yes ]; then
  echo "TEST RELEASE of the placeholder build: never give it to a user."
fi
if [ -n "$pkcs12" ] && [ -z "$timestamp_url" ]; then
  echo "The exe's signature carries NO time stamp: Windows will take it as invalid once the certificate expires (--timestamp-url URL)."
fi
