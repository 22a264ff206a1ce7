#!/usr/bin/env bash
# Makes a signed test release of the placeholder build with tools/release.sh
# and checks what a vendor would hand out: the refusal without firmware, the
# file names, the Windows zip (its checksums, the CRLF README, an Authenticode
# signature that verifies against the throw-away certificate made here, over
# exactly the exe the build made), and the Debian package (control fields,
# contents, lintian, an install into and removal from a throw-away root).
set -euo pipefail
cd "$(dirname "$0")/../.."

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "release test FAILED: $*" >&2
  exit 1
}

status=0
tools/release.sh >"$work/refusal" 2>&1 || status=$?
[ "$status" = 2 ] || fail "without firmware the release ended with status $status"
grep -q 'tools/release.sh /path/to/korvane-9.32.hex' "$work/refusal" || fail "the refusal does not say how to give the firmware"

# A throw-away code-signing certificate.
echo "throw-away password" >"$work/password"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Korvane Updater release test" \
  -addext extendedKeyUsage=codeSigning -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/signing.p12" \
  -passout "file:$work/password"

if ! tools/release.sh --placeholder --pkcs12 "$work/signing.p12" --password-file "$work/password" \
  >"$work/release.log" 2>&1; then
  tail -n 60 "$work/release.log" >&2
  fail "tools/release.sh --placeholder failed"
fi
grep -q 'TEST RELEASE' "$work/release.log" || fail "a test release does not say so"
grep -q 'Windows exe: signed' "$work/release.log" || fail "the release does not say the exe is signed"

zip=dist/korvane-updater-9.32-placeholder-windows-x86.zip
deb="dist/korvane-updater_9.32~placeholder_amd64.deb"
(cd dist && sha256sum --quiet -c korvane-updater-9.32-placeholder-SHA256SUMS) || fail "the release checksums"

echo "== the Windows zip"
python3 -m zipfile -e "$zip" "$work/zip"
folder="$work/zip/korvane-updater-9.32-placeholder-windows-x86"
[ "$(cd "$folder" && ls)" = "$(printf 'README.txt\nSHA256SUMS\nkorvane_updater.exe')" ] || fail "zip contents: $(ls -R "$work/zip")"
(cd "$folder" && sha256sum --quiet -c SHA256SUMS) || fail "the zip's SHA256SUMS"
[ "$(grep -cv $'\r$' "$folder/README.txt")" = 0 ] || fail "README.txt has lines without CRLF"
osslsigncode verify -CAfile "$work/cert.pem" -in "$folder/korvane_updater.exe" >"$work/verify" 2>&1 ||
  { cat "$work/verify" >&2; fail "the signature does not verify"; }
osslsigncode remove-signature -in "$folder/korvane_updater.exe" -out "$work/unsigned.exe" >/dev/null
cmp -s "$work/unsigned.exe" build/release/windows-i686/korvane_updater.exe || fail "the signed exe is not the one built"

echo "== the Debian package"
[ "$(dpkg-deb -f "$deb" Package Version Architecture | tr '\n' ' ')" = \
  "Package: korvane-updater Version: 9.32~placeholder Architecture: amd64 " ] || fail "control fields: $(dpkg-deb -f "$deb")"
dpkg-deb -f "$deb" Depends | grep -q libc6 || fail "no dependency on the C library"
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}')
expected="./usr/bin/korvane-updater
./usr/lib/udev/rules.d/70-korvane-bootloader.rules
./usr/share/doc/korvane-updater/changelog.gz
./usr/share/doc/korvane-updater/copyright
./usr/share/man/man1/korvane-updater.1.gz"
[ "$files" = "$expected" ] || fail "package files: $files"
lintian --fail-on error "$deb" 2>&1 | grep -v 'root privileges' || true
lintian --fail-on error "$deb" >/dev/null 2>&1 || fail "lintian reports errors"

root="$work/root"
mkdir -p "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/info"
touch "$root/var/lib/dpkg/status"
# The throw-away root holds no C library package: the dependency is the host's.
dpkg --root="$root" --force-depends -i "$deb" >"$work/dpkg.log" 2>&1 || fail "dpkg could not install the package: $(cat "$work/dpkg.log")"
[ -x "$root/usr/bin/korvane-updater" ] || fail "not installed"
run_status=0
faketime -f '+0 x1000' "$root/usr/bin/korvane-updater" >"$work/run.out" 2>&1 || run_status=$?
{ [ "$run_status" = 1 ] && grep -q 'Korvane_Updater with firmware version 9.32' "$work/run.out"; } ||
  fail "the installed updater (status $run_status): $(cat "$work/run.out")"
dpkg --root="$root" -r korvane-updater >/dev/null || fail "dpkg could not remove the package"
{ [ ! -e "$root/usr/bin/korvane-updater" ] && [ ! -e "$root/usr/lib/udev/rules.d/70-korvane-bootloader.rules" ]; } ||
  fail "files left after removal"

echo "release test passed"
