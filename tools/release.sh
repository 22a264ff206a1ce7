#!/usr/bin/env bash
# Makes a release of the updater with the given firmware embedded:
#
#   tools/release.sh FIRMWARE.hex [OPTIONS]
#   tools/release.sh --placeholder [OPTIONS]
#
# Signing the Windows exe (Authenticode, SHA-256), one way of three:
#   --pkcs11-module PATH --pkcs11-key URI --pkcs11-cert URI|FILE --pin-file FILE
#                           with a key held by a PKCS#11 token or HSM; the
#                           certificate from the token or a PEM file
#     [--cert-chain FILE]   the CA's intermediate certificates (PEM), added
#                           to the signature
#   --sign-command CMD --cert FILE
#                           runs CMD UNSIGNED_EXE SIGNED_EXE, which must sign
#                           with the certificate in FILE (PEM)
#   --pkcs12 FILE --password-file FILE
#                           with a certificate and key in a PKCS#12 file
# and, whichever way:
#   --timestamp-url URL     time-stamp the signature (RFC 3161)
#   --ca-file FILE          the root certificates (PEM) the signature and its
#                           time stamp are checked against; default: the
#                           system's
# Every signature is checked before dist/ is written: it verifies, made by
# the certificate given, time-stamped when a service was given, and the
# exe without it is the exe that was built and tested, byte for byte.
#
#   --gpg-key KEYID         sign the checksum file (OpenPGP, with the key
#                           from the user's GNUPGHOME)
#   --no-tests              skip the test suites; only for the release
#                           test's comparing runs
#   --builds DIR            package the presets already built and tested in
#                           DIR/PRESET (the test command's), building nothing
#                           and running no tests; for the release test
#
# Builds every platform from scratch with the firmware built in, the Windows
# exe first, signed as soon as it is built so that a wrong PIN shows in
# minutes; runs their tests (all but the virtual-machine ones; a failing
# suite stops the release), and puts the release into dist/, which it
# empties first and writes only once everything is made:
#   korvane-updater-9.32-windows-x86.zip          the exe, README.txt,
#                                                 THIRD-PARTY-NOTICES.txt, SHA256SUMS
#   korvane-updater-9.32-linux-ARCH.tar.gz        the static file, its udev rule, man page,
#     (ARCH: x86_64, aarch64, armhf)              README.txt, THIRD-PARTY-NOTICES.txt
#   korvane-updater_9.32_ARCH.deb                 /usr/bin/korvane-updater, udev rule, man page
#     (ARCH: amd64, arm64, armhf)
#   korvane-updater-9.32-SHA256SUMS               the checksums of all of them
#   korvane-updater-9.32-SHA256SUMS.asc           its signature, with --gpg-key
# Without a signing key the exe is unsigned and the release says so.
# --placeholder makes a test release of the placeholder build, whose file
# names say "placeholder"; it must never reach a user.
#
# The same commit and firmware give the same bytes (but for the exe's
# signature) whatever the folder, clock, time zone, locale, umask or user:
# every date is the commit's (SOURCE_DATE_EPOCH), and the archives get fixed
# owners, modes, times and order.
set -euo pipefail
# Sorting and names that do not depend on the caller's language.
export LC_ALL=C

usage() {
  cat >&2 <<'TEXT'
usage: tools/release.sh FIRMWARE.hex|--placeholder
         [--pkcs11-module PATH --pkcs11-key URI --pkcs11-cert URI|FILE --pin-file FILE [--cert-chain FILE]
          | --sign-command CMD --cert FILE | --pkcs12 FILE --password-file FILE]
         [--timestamp-url URL] [--ca-file FILE] [--gpg-key KEYID] [--no-tests | --builds DIR]
TEXT
  exit 2
}
refuse() {
  echo "tools/release.sh: $*" >&2
  exit 2
}

# Files are named from the caller's folder; the release then works from the
# repository's root.
firmware=""
placeholder=no
pkcs11_module="" pkcs11_key="" pkcs11_cert="" pin_file="" cert_chain=""
sign_command="" cert=""
pkcs12="" password_file=""
timestamp_url="" ca_file=""
gpg_key=""
tests=yes
builds=""
while [ $# -gt 0 ]; do
  case $1 in
  --placeholder) placeholder=yes ;;
  --pkcs11-module | --pin-file | --cert-chain | --cert | --pkcs12 | --password-file | --ca-file | --builds)
    [ $# -ge 2 ] || usage
    path=$(realpath -ms -- "$2")
    case $1 in
    --pkcs11-module) pkcs11_module=$path ;;
    --pin-file) pin_file=$path ;;
    --cert-chain) cert_chain=$path ;;
    --cert) cert=$path ;;
    --pkcs12) pkcs12=$path ;;
    --password-file) password_file=$path ;;
    --ca-file) ca_file=$path ;;
    --builds) builds=$path tests=no ;;
    esac
    shift
    ;;
  --pkcs11-key) [ $# -ge 2 ] || usage; pkcs11_key=$2; shift ;;
  # A URI as it is; a file from the caller's folder.
  --pkcs11-cert) [ $# -ge 2 ] || usage; pkcs11_cert=$2; [[ $2 == pkcs11:* ]] || pkcs11_cert=$(realpath -ms -- "$2"); shift ;;
  # A program named with a folder is found from the caller's folder, one
  # named alone on the PATH.
  --sign-command) [ $# -ge 2 ] || usage; sign_command=$2; [[ $2 != */* ]] || sign_command=$(realpath -ms -- "$2"); shift ;;
  --timestamp-url) [ $# -ge 2 ] || usage; timestamp_url=$2; shift ;;
  --gpg-key) [ $# -ge 2 ] || usage; gpg_key=$2; shift ;;
  --no-tests) tests=no ;;
  -*) usage ;;
  *) [ -z "$firmware" ] || usage; firmware=$(realpath -ms -- "$1") ;;
  esac
  shift
done
cd "$(dirname "$0")/.."
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

# One way of signing, given whole.
method=""
ways=0
if [ -n "$pkcs11_module$pkcs11_key$pkcs11_cert$pin_file" ]; then
  method=pkcs11 ways=$((ways + 1))
  { [ -n "$pkcs11_module" ] && [ -n "$pkcs11_key" ] && [ -n "$pkcs11_cert" ] && [ -n "$pin_file" ]; } ||
    refuse "signing through PKCS#11 needs --pkcs11-module PATH, --pkcs11-key URI, --pkcs11-cert URI|FILE and --pin-file FILE"
  [[ $pkcs11_key == pkcs11:* ]] || refuse "--pkcs11-key takes a PKCS#11 URI (pkcs11:token=...;object=...), not \"$pkcs11_key\""
  [ -f "$pkcs11_module" ] || refuse "the PKCS#11 module $pkcs11_module does not exist: give the token's library (its vendor's, or OpenSC's opensc-pkcs11.so)"
fi
if [ -n "$sign_command$cert" ]; then
  method=command ways=$((ways + 1))
  { [ -n "$sign_command" ] && [ -n "$cert" ]; } ||
    refuse "signing with a command needs --sign-command CMD and --cert FILE, the certificate it signs with"
  command -v "$sign_command" >/dev/null || refuse "the sign command $sign_command is not a program that can be run"
fi
if [ -n "$pkcs12$password_file" ]; then
  method=pkcs12 ways=$((ways + 1))
  { [ -n "$pkcs12" ] && [ -n "$password_file" ]; } || refuse "signing needs both --pkcs12 FILE and --password-file FILE"
fi
[ "$ways" -le 1 ] || refuse "sign one way: through PKCS#11, with --sign-command or with --pkcs12"
if [ -n "$cert_chain" ] && [ "$method" != pkcs11 ]; then
  refuse "--cert-chain adds intermediate certificates to a PKCS#11 signature; a PKCS#12 file or a sign command brings its own"
fi
if [ -z "$method" ]; then
  if [ -n "$timestamp_url" ]; then refuse "--timestamp-url time-stamps a signature: give a signing key too"; fi
  if [ -n "$ca_file" ]; then refuse "--ca-file checks a signature: give a signing key too"; fi
fi
for file in "$pin_file" "$cert_chain" "$cert" "$pkcs12" "$password_file" "$ca_file"; do
  if [ -n "$file" ] && [ ! -r "$file" ]; then refuse "$file: cannot be read"; fi
done
if [ "$method" = pkcs11 ] && [[ $pkcs11_cert != pkcs11:* ]] && [ ! -r "$pkcs11_cert" ]; then
  refuse "$pkcs11_cert: cannot be read"
fi
if [ -n "$pin_file" ] && [ ! -s "$pin_file" ]; then refuse "the PIN file $pin_file is empty"; fi

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
# Windows first: its exe is signed as soon as it is built.
presets=(windows-i686 linux linux-arm64 linux-armhf)

# Signing. A failure stops the release with one line that says what is
# wrong; the tools' own words are kept in build/release/signing/. No PIN or
# password is ever on a command line: osslsigncode reads them from their
# files.
built_exe=$build/windows-i686/korvane_updater.exe
signing=$build/signing
signed_exe=$signing/korvane_updater.exe
fail() {
  echo "tools/release.sh: $*; nothing was released" >&2
  exit 1
}
# What went wrong in a PKCS#11 signing, from osslsigncode's report (the
# reasons are libp11's and the PKCS#11 return codes').
pkcs11_failure() { # LOG
  local report=$1
  if grep -q 'PIN incorrect' "$report"; then
    echo "the token refused the PIN in $pin_file: wrong PIN (many tokens lock after a few wrong PINs: check it before trying again)"
  elif grep -q 'PIN locked' "$report"; then
    echo "the token is locked after too many wrong PINs: its security officer's PIN (or PUK) unlocks it"
  elif grep -qi 'Unable to load.*module' "$report"; then
    echo "the PKCS#11 module $pkcs11_module does not load: $(grep -m1 -v 'Unable to load' "$report")"
  elif grep -q 'No matching initialized token' "$report"; then
    echo "no token of $pkcs11_module matches $pkcs11_key: is it plugged in? (p11tool --provider $pkcs11_module --list-tokens lists them)"
  elif grep -q 'private key was not found' "$report"; then
    echo "no private key $pkcs11_key on the token (p11tool --provider $pkcs11_module --login --list-privkeys lists them)"
  elif grep -q 'certificate was not found' "$report"; then
    echo "no certificate $pkcs11_cert on the token (p11tool --provider $pkcs11_module --list-all-certs lists them)"
  elif grep -q 'key values mismatch' "$report"; then
    echo "the certificate $pkcs11_cert is not the one of the key $pkcs11_key"
  else
    echo "signing through PKCS#11 failed: $(grep -m1 -iE 'error|fail' "$report") (osslsigncode's report: $report)"
  fi
}
subject_of() { # CERTIFICATE
  openssl x509 -in "$1" -noout -subject -nameopt oneline | sed 's/^subject= *//'
}
# The signer's certificate as given, in PEM: the one the signature must be
# made by.
signer_certificate() { # OUT
  case $method in
  pkcs11)
    if [[ $pkcs11_cert == pkcs11:* ]]; then
      local uri=$pkcs11_cert
      [[ $uri == *type=* ]] || uri+=";type=cert"
      { p11tool --provider "$pkcs11_module" --export "$uri" >"$1" 2>"$signing/certificate.log" && [ -s "$1" ]; } ||
        fail "the certificate $pkcs11_cert cannot be read from the token"
    else
      openssl x509 -in "$pkcs11_cert" -out "$1" 2>"$signing/certificate.log" || fail "$pkcs11_cert holds no PEM certificate"
    fi
    ;;
  command) openssl x509 -in "$cert" -out "$1" 2>"$signing/certificate.log" || fail "$cert holds no PEM certificate" ;;
  pkcs12)
    # OpenSSL 3 reads files made with old ciphers only with its legacy provider.
    openssl pkcs12 -in "$pkcs12" -passin "file:$password_file" -nokeys -clcerts 2>/dev/null | openssl x509 -out "$1" 2>/dev/null ||
      openssl pkcs12 -legacy -in "$pkcs12" -passin "file:$password_file" -nokeys -clcerts 2>"$signing/certificate.log" |
      openssl x509 -out "$1" 2>>"$signing/certificate.log" || fail "no certificate can be read from $pkcs12 with the password in $password_file"
    ;;
  esac
}
# Checks a signed exe before anything is released: its signature verifies,
# made by the certificate given and chaining to the CA file's roots (or the
# system's; a self-signed certificate is its own root), it carries a valid
# time stamp when a time-stamp service was given, and without its
# signature it is the built exe, byte for byte: the signature covers
# exactly the bytes that were tested.
check_signature() { # SIGNED_EXE WHAT
  local exe=$1 what=$2 report=$signing/verify.log roots=$signing/roots.pem leaf
  local against="this system's root certificates (give yours with --ca-file FILE)"
  [ -z "$ca_file" ] || against=$ca_file
  signer_certificate "$signing/signer.pem"
  cat "${ca_file:-/etc/ssl/certs/ca-certificates.crt}" "$signing/signer.pem" >"$roots"
  leaf=$(openssl x509 -in "$signing/signer.pem" -outform DER | sha256sum | cut -d' ' -f1)
  if ! osslsigncode verify -in "$exe" -CAfile "$roots" -TSA-CAfile "$roots" -require-leaf-hash "sha256:$leaf" >"$report" 2>&1 ||
    ! grep -qx 'Signature verification: ok' "$report"; then
    if grep -q 'Leaf hash match: failed' "$report"; then
      fail "$what is not signed by the certificate given, $(subject_of "$signing/signer.pem")"
    elif ! grep -q 'Signature Index' "$report"; then
      fail "$what carries no Authenticode signature (osslsigncode's report: $report)"
    fi
    fail "the signature of $what does not verify against $against (osslsigncode's report: $report)"
  fi
  if [ -n "$timestamp_url" ] && ! grep -qx 'Timestamp Server Signature verification: ok' "$report"; then
    fail "the signature of $what carries no time stamp that verifies against $against (osslsigncode's report: $report)"
  fi
  rm -f "$signing/unsigned.exe"
  { osslsigncode remove-signature -in "$exe" -out "$signing/unsigned.exe" >/dev/null 2>&1 &&
    cmp -s "$signing/unsigned.exe" "$built_exe"; } || fail "$what is not the built exe signed: its bytes outside the signature differ"
}
# Signs the built exe into $signed_exe by the way given, and checks it.
sign_exe() {
  local report=$signing/sign.log what="the signed exe"
  mkdir -p "$signing"
  local common=(-h sha256 -n "Korvane Updater $version" ${timestamp_url:+-ts "$timestamp_url"} -in "$built_exe" -out "$signed_exe")
  case $method in
  pkcs11)
    local certificate=(-certs "$pkcs11_cert")
    [[ $pkcs11_cert != pkcs11:* ]] || certificate=(-pkcs11cert "$pkcs11_cert")
    osslsigncode sign -pkcs11module "$pkcs11_module" -key "$pkcs11_key" "${certificate[@]}" ${cert_chain:+-ac "$cert_chain"} \
      -readpass "$pin_file" "${common[@]}" >"$report" 2>&1 || fail "$(pkcs11_failure "$report")"
    ;;
  command)
    # The command gets a copy: the exe that was built stays as it is, to be
    # compared with what comes back.
    cp "$built_exe" "$signing/to-sign.exe"
    local status=0
    "$sign_command" "$signing/to-sign.exe" "$signed_exe" >"$report" 2>&1 || status=$?
    [ "$status" = 0 ] || fail "the sign command $sign_command failed (exit status $status; its output: $report)"
    [ -s "$signed_exe" ] || fail "the sign command $sign_command returned no signed exe ($signed_exe)"
    if [ -n "$timestamp_url" ]; then
      mv "$signed_exe" "$signing/untimed.exe"
      osslsigncode add -h sha256 -ts "$timestamp_url" -in "$signing/untimed.exe" -out "$signed_exe" >"$signing/timestamp.log" 2>&1 ||
        fail "what the sign command $sign_command returned could not be time-stamped by $timestamp_url (osslsigncode's report: $signing/timestamp.log)"
    fi
    what="what the sign command $sign_command returned"
    ;;
  pkcs12)
    osslsigncode sign -pkcs12 "$pkcs12" -readpass "$password_file" "${common[@]}" >"$report" 2>&1 ||
      fail "signing with $pkcs12 failed: $(grep -m1 -iE 'error|fail' "$report") (osslsigncode's report: $report)"
    ;;
  esac
  check_signature "$signed_exe" "$what"
}

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
  [ -z "$method" ] || sign_exe
fi
for preset in "${presets[@]}"; do
  [ -z "$builds" ] || break
  echo "== $preset =="
  cmake --preset "$preset" -B "$build/$preset" "${firmware_option[@]}" "${test_option[@]}"
  cmake --build "$build/$preset"
  if [ "$preset" = windows-i686 ] && [ -n "$method" ]; then sign_exe; fi
  if [ "$tests" = yes ]; then
    # The virtual-machine tests take minutes each and need no second run
    # here: the test command runs them.
    run_tests=(ctest --test-dir "$build/$preset")
    [ "$preset" != windows-i686 ] || run_tests=(tools/windows-ctest.sh "$build/$preset")
    "${run_tests[@]}" --output-on-failure --no-tests=error -LE vm
  fi
done
# The tests ran on the exe that was signed.
[ -z "$method" ] || cmp -s "$signing/unsigned.exe" "$built_exe" || fail "the exe changed after it was signed"

echo "== packages =="
# CPack gives the folders and the members of a package the modes the umask
# leaves, and the folders in the package would be made so on installing it.
umask 022
# Everything is made in the build folder and becomes dist/ only when whole.
out=$PWD/$build/dist
mkdir -p "$out"
# A tar.gz of FOLDER in the build folder whose bytes depend on the files'
# contents and the commit alone.
pack_tar() { # FOLDER
  tar -C "$build" --sort=name --format=gnu --owner=0 --group=0 --numeric-owner --mode=u+rw,go=u,go-w \
    --mtime="@$SOURCE_DATE_EPOCH" -cf - "$1" | gzip -9n >"$out/$1.tar.gz"
}

windows="$release-windows-x86"
staging="$build/$windows"
mkdir -p "$staging"
exe="$staging/korvane_updater.exe"
if [ -n "$method" ]; then
  cp "$signed_exe" "$exe"
  subject=$(subject_of "$signing/signer.pem")
  case $method in
  pkcs11) signed="signed through PKCS#11 with $pkcs11_key, as $subject" ;;
  command) signed="signed by $sign_command, as $subject" ;;
  pkcs12) signed="signed with $(basename "$pkcs12"), as $subject" ;;
  esac
  time_stamped=no
  if grep -qx 'Timestamp Server Signature verification: ok' "$signing/verify.log"; then
    time_stamped=yes
    signed+=", time-stamped${timestamp_url:+ by $timestamp_url}"
  fi
else
  cp "$built_exe" "$exe"
  signed="UNSIGNED: no signing key given (--pkcs11-module ..., --sign-command CMD or --pkcs12 FILE)"
fi
sed 's/$/\r/' tools/packaging/README-windows.txt >"$staging/README.txt"
tools/packaging/third-party-notices.sh korvane_updater.exe "$build/windows-i686/korvane_updater.map" | sed 's/$/\r/' >"$staging/THIRD-PARTY-NOTICES.txt"
(cd "$staging" && sha256sum korvane_updater.exe README.txt THIRD-PARTY-NOTICES.txt >SHA256SUMS)
(cd "$build" && cmake -E tar cf "$out/$windows.zip" --format=zip "$windows")
# Debian's normaliser gives the zip's entries a fixed order, the commit's
# time, and modes and owners that the umask and user do not change.
strip-nondeterminism --type zip --timestamp "$SOURCE_DATE_EPOCH" "$out/$windows.zip" >/dev/null

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
  dpkg-deb --root-owner-group -Zgzip --build "$tree" "$out/$deb_file" >/dev/null
done

sums="$release-SHA256SUMS"
(cd "$out" && sha256sum -- * >"$sums")
if [ -n "$gpg_key" ]; then
  gpg --batch --yes --local-user "$gpg_key" --armor --detach-sign --output "$out/$sums.asc" "$out/$sums"
  gpg --batch --verify "$out/$sums.asc" "$out/$sums" 2>/dev/null
fi
mv "$out" "$dist"

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
if [ -n "$method" ] && [ "$time_stamped" = no ]; then
  echo "The exe's signature carries NO time stamp: Windows will take it as invalid once the certificate expires (--timestamp-url URL)."
fi
