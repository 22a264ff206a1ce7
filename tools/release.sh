#!/usr/bin/env bash
# Makes a release of the updater with the given firmware embedded:
#
#   tools/release.sh FIRMWARE.hex [--pkcs12 FILE --password-file FILE]
#   tools/release.sh --placeholder [--pkcs12 FILE --password-file FILE]
#
# Builds both platforms from scratch with the firmware built in, runs the
# tests of both (all but the virtual-machine ones), and puts the release
# into dist/:
#   korvane-updater-9.32-windows-x86.zip   the exe, README.txt, SHA256SUMS
#   korvane-updater_9.32_amd64.deb         /usr/bin/korvane-updater, udev rule, man page
#   korvane-updater-9.32-SHA256SUMS        checksums of the two
# With a PKCS#12 file and its password (a file holding it) the exe is signed
# with Authenticode; without them the release is unsigned and says so.
# --placeholder makes a test release of the placeholder build, whose file
# names say "placeholder"; it must never reach a user.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  cat >&2 <<'TEXT'
usage: tools/release.sh FIRMWARE.hex [--pkcs12 FILE --password-file FILE]
       tools/release.sh --placeholder [--pkcs12 FILE --password-file FILE]
TEXT
  exit 2
}

firmware=""
placeholder=no
pkcs12=""
password_file=""
while [ $# -gt 0 ]; do
  case $1 in
  --placeholder) placeholder=yes ;;
  --pkcs12) [ $# -ge 2 ] || usage; pkcs12=$(realpath "$2"); shift ;;
  --password-file) [ $# -ge 2 ] || usage; password_file=$(realpath "$2"); shift ;;
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
if [ -n "$firmware" ] && [ ! -f "$firmware" ]; then
  echo "tools/release.sh: $firmware: no such file" >&2
  exit 2
fi
if { [ -n "$pkcs12" ] && [ -z "$password_file" ]; } || { [ -z "$pkcs12" ] && [ -n "$password_file" ]; }; then
  echo "tools/release.sh: signing needs both --pkcs12 FILE and --password-file FILE" >&2
  exit 2
fi
for file in "$pkcs12" "$password_file"; do
  if [ -n "$file" ] && [ ! -r "$file" ]; then
    echo "tools/release.sh: $file: cannot be read" >&2
    exit 2
  fi
done

tools/setup-debian.sh

version=9.32
if [ "$placeholder" = yes ]; then
  zip_name="korvane-updater-$version-placeholder-windows-x86"
  deb_name="korvane-updater_$version~placeholder_amd64.deb"
  sums_name="korvane-updater-$version-placeholder-SHA256SUMS"
  firmware_option=()
else
  zip_name="korvane-updater-$version-windows-x86"
  deb_name="korvane-updater_${version}_amd64.deb"
  sums_name="korvane-updater-$version-SHA256SUMS"
  firmware_option=("-DKORVANE_FIRMWARE_HEX=$firmware")
fi
# The dates in the packages are the commit's, not the hour of the build.
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || date +%s)
export SOURCE_DATE_EPOCH

build=build/release
rm -rf "$build"
for preset in linux windows-i686; do
  echo "== $preset: build and test =="
  cmake --preset "$preset" -B "$build/$preset" "${firmware_option[@]}"
  cmake --build "$build/$preset"
  # The virtual-machine tests take minutes each and need no second run here:
  # the test command runs them.
  ctest --test-dir "$build/$preset" --output-on-failure --no-tests=error -LE vm
done

echo "== packages =="
mkdir -p dist
staging="$build/$zip_name"
mkdir -p "$staging"
exe="$staging/korvane_updater.exe"
if [ -n "$pkcs12" ]; then
  osslsigncode sign -pkcs12 "$pkcs12" -readpass "$password_file" -h sha256 -n "Korvane Updater $version" \
    -in "$build/windows-i686/korvane_updater.exe" -out "$exe"
  signed="signed with $(basename "$pkcs12")"
else
  cp "$build/windows-i686/korvane_updater.exe" "$exe"
  signed="UNSIGNED: no PKCS#12 file given (--pkcs12 FILE --password-file FILE)"
fi
sed 's/$/\r/' tools/packaging/README-windows.txt >"$staging/README.txt"
(cd "$staging" && sha256sum korvane_updater.exe README.txt >SHA256SUMS)
rm -f "dist/$zip_name.zip"
commit_time=$(date -u -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%d %H:%M:%S UTC')
(cd "$build" && cmake -E tar cf "../../dist/$zip_name.zip" --format=zip --mtime="$commit_time" "$zip_name")

cpack -G DEB --config "$build/linux/CPackConfig.cmake" -B "$build/deb" >/dev/null
cp "$build/deb/$deb_name" dist/

(cd dist && sha256sum "$zip_name.zip" "$deb_name" >"$sums_name")
echo
echo "Release $version in dist/:"
sed 's/^/  /' "dist/$sums_name"
echo "  $sums_name"
echo "Windows exe: $signed"
if [ "$placeholder" = yes ]; then
  echo "TEST RELEASE of the placeholder build: never give it to a user."
fi
