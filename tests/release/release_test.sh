#!/usr/bin/env bash
# Makes test releases of the placeholder build with tools/release.sh and
# checks what a vendor would publish and a user would check:
#
#   tests/release/release_test.sh [BUILD_DIR]
#
# BUILD_DIR (default build) holds the four presets built and tested, as the
# test command leaves them; the signed release packages them.
# - the refusal without firmware;
# - the test gate: the release runs every preset's suite, and a failing one
#   stops it before dist/ is written (with stand-ins for cmake and ctest);
# - a release signed through PKCS#11 with a key made inside a SoftHSM token
#   of the test's own and never extractable, its certificate on the token
#   and issued by the test's CA: an Authenticode signature time-stamped by a
#   time-stamp authority on 127.0.0.1, over exactly the exe the build made,
#   the PIN on no command line and in no output; and an OpenPGP signature of
#   the checksum file that fails once a byte of the file changes;
# - signing inputs that are wrong (a wrong PIN, a missing module, a
#   certificate not the key's, a sign command that fails or returns what is
#   not the built exe signed): one line that says so, and no dist/;
# - the Windows zip (checksums, CRLF texts, third-party notices naming every
#   library the link map shows), the Linux archives (contents, modes, static
#   files for the right CPU, notices, musl and no glibc in their link maps),
#   the Debian packages of every CPU (control fields, contents, lintian) and
#   an install of the amd64 one into and its removal from a throw-away root;
# - that two more runs from scratch without the test suites, one signed by
#   a sign command of the test's own (with the token) and one with a PKCS#12
#   file, give the same bytes but for the exe's signature, from folders of
#   other paths and depths, the second one as another user with another
#   clock, time zone, locale and umask, and the same packages as the signed
#   one; on a difference diffoscope shows what differs.
set -euo pipefail
cd "$(dirname "$0")/../.."
export LC_ALL=C
builds=$(realpath "${1:-build}")
for preset in linux windows-i686 linux-arm64 linux-armhf; do
  [ -f "$builds/$preset/CMakeCache.txt" ] || {
    echo "release test: no $preset build in $builds; build the four presets first (tools/run-tests.sh does)" >&2
    exit 1
  }
done

work=$(mktemp -d)
export GNUPGHOME="$work/gnupg"
tsa_pid=""
cleanup() {
  [ -z "$tsa_pid" ] || kill "$tsa_pid" 2>/dev/null || true
  gpgconf --kill all 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "release test FAILED: $*" >&2
  exit 1
}
# Runs COMMAND with its output in LOG; a failure shows the log's end.
logged() { # LOG WHAT COMMAND...
  "${@:3}" >"$1" 2>&1 || { tail -n 60 "$1" >&2; fail "$2 failed"; }
}

status=0
tools/release.sh >"$work/refusal" 2>&1 || status=$?
[ "$status" = 2 ] || fail "without firmware the release ended with status $status"
grep -q 'tools/release.sh /path/to/korvane-9.32.hex' "$work/refusal" || fail "the refusal does not say how to give the firmware"

echo "== the test gate"
# A copy of the working tree, without its history: the date is given.
copy_files() { # FOLDER
  mkdir -p "$1"
  git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$1"
}
copy_files "$work/gate/src"
mkdir "$work/gate/bin"
# cmake builds nothing; ctest notes each suite it is asked to run and fails
# the arm64 one; Wine "starts", so the Windows suite runs here too.
printf '#!/bin/sh\nexit 0\n' >"$work/gate/bin/cmake"
printf '#!/bin/sh\necho "$*" >>"%s"\ncase "$*" in *linux-arm64*) exit 1 ;; esac\n' "$work/gate/suites" \
  >"$work/gate/bin/ctest"
printf '#!/bin/sh\necho wine-stand-in\n' >"$work/gate/bin/wine"
chmod +x "$work/gate/bin/"*
status=0
(cd "$work/gate/src" && PATH="$work/gate/bin:$PATH" SOURCE_DATE_EPOCH=0 tools/release.sh --placeholder) \
  >"$work/gate/log" 2>&1 || status=$?
[ "$status" != 0 ] || fail "a failing suite did not stop the release: $(cat "$work/gate/log")"
[ ! -e "$work/gate/src/dist" ] || fail "a failing suite left dist/ behind"
suites=$(sed -E 's|.*--test-dir [^ ]*/([a-z0-9-]+) (.*)|\1 \2|' "$work/gate/suites")
[ "$suites" = "$(printf '%s --output-on-failure --no-tests=error -LE vm\n' windows-i686 linux linux-arm64)" ] ||
  fail "the release ran these suites before it stopped: $suites"
echo "the release runs each suite and stops at a failing one, with no dist/"

echo "== a release signed through PKCS#11, time-stamped"
# A throw-away root CA issues an intermediate CA, the code-signing
# certificates and the time-stamping one; the time-stamp authority is
# openssl's behind a small HTTP server, on 127.0.0.1. The certificates stay
# valid past the clock of the second release from scratch.
mkdir "$work/ca" && cd "$work/ca"
cat >openssl.cnf <<'CONF'
[req]
distinguished_name = name
[name]
[ca]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign
[signing]
keyUsage = critical,digitalSignature
extendedKeyUsage = codeSigning
[stamping]
keyUsage = critical,digitalSignature
extendedKeyUsage = critical,timeStamping
[tsa]
default_tsa = stamps
[stamps]
serial = serial
default_policy = 1.2.3.4.1
digests = sha256
signer_digest = sha256
ess_cert_id_alg = sha256
CONF
certificate() { # NAME EXTENSIONS [ISSUER OPTIONS]
  openssl req -x509 -config openssl.cnf -extensions "$2" -newkey rsa:2048 -nodes -days 800 \
    -subj "/CN=Korvane release test $1" -keyout "$1.key" -out "$1.pem" "${@:3}" 2>/dev/null
}
certificate ca ca
certificate signing signing -CA ca.pem -CAkey ca.key
certificate stamping stamping -CA ca.pem -CAkey ca.key
certificate intermediate ca -CA ca.pem -CAkey ca.key
echo "throw-away password" >password
openssl pkcs12 -export -inkey signing.key -in signing.pem -out signing.p12 -passout file:password
# The second release from scratch runs as another user.
chmod a+r signing.p12 password
echo 01 >serial
cat >tsa.py <<'PY'
import subprocess
from http.server import BaseHTTPRequestHandler, HTTPServer

class TimeStamps(BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        reply = subprocess.run(["openssl", "ts", "-reply", "-config", "openssl.cnf", "-queryfile", "/dev/stdin",
                                "-signer", "stamping.pem", "-inkey", "stamping.key", "-chain", "ca.pem"],
                               input=query, capture_output=True, check=True).stdout
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

server = HTTPServer(("127.0.0.1", 0), TimeStamps)
print(server.server_port, flush=True)
server.serve_forever()
PY
python3 tsa.py >port 2>tsa.log &
tsa_pid=$!
for _ in $(seq 100); do [ -s port ] && break; sleep 0.1; done
[ -s port ] || fail "the time-stamp authority did not start: $(cat tsa.log)"
mkdir -m 700 "$GNUPGHOME"
gpg --batch --passphrase '' --quick-generate-key "Korvane release test <release-test@korvane.example>" ed25519 sign 2d 2>/dev/null
key=$(gpg --batch --with-colons --list-secret-keys 2>/dev/null | awk -F: '$1 == "fpr" { print $10; exit }')

# The token: SoftHSM's, in a folder of the test's own, with a PIN that
# no output and no command line of the release may show. Its key pair is
# made inside it, never extractable; the certificate, issued by the
# intermediate CA, is kept on the token too.
export SOFTHSM2_CONF=$work/ca/softhsm2.conf
mkdir tokens
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$PWD/tokens" >"$SOFTHSM2_CONF"
module=/usr/lib/softhsm/libsofthsm2.so
pin=korvane-test-PIN-4711
echo "$pin" >pin
echo wrong-PIN >wrong-pin
token_key='pkcs11:token=korvane-test;object=signing'
softhsm2-util --init-token --free --label korvane-test --pin "$pin" --so-pin "SO-$pin" >/dev/null
GNUTLS_PIN=$pin p11tool --provider "$module" --login --generate-privkey rsa --bits 2048 --label signing --id 01 \
  'pkcs11:token=korvane-test' >token.pub 2>/dev/null
GNUTLS_PIN=$pin p11tool --provider "$module" --login --list-privkeys "$token_key" 2>/dev/null |
  grep -q 'Flags:.*CKA_NEVER_EXTRACTABLE.*CKA_SENSITIVE' || fail "the token's key can be extracted"
openssl x509 -new -subj "/CN=Korvane release test token" -force_pubkey token.pub -CA intermediate.pem \
  -CAkey intermediate.key -extfile openssl.cnf -extensions signing -days 800 -out token.pem 2>/dev/null
GNUTLS_PIN=$pin p11tool --provider "$module" --login --write --load-certificate token.pem --label signing --id 01 \
  'pkcs11:token=korvane-test' >/dev/null 2>&1
# The test's sign commands, which release.sh runs as SIGN_COMMAND UNSIGNED
# SIGNED: one signs with the token; the other signs a changed copy.
cat >sign-with-token <<SH
#!/bin/sh
exec osslsigncode sign -pkcs11module $module -key '$token_key' -certs $PWD/token.pem -ac $PWD/intermediate.pem \
  -readpass $PWD/pin -h sha256 -in "\$1" -out "\$2"
SH
cat >sign-another-exe <<SH
#!/bin/sh
cp "\$1" "\$1.changed" && printf X | dd of="\$1.changed" bs=1 seek=4096 conv=notrunc 2>/dev/null
exec $PWD/sign-with-token "\$1.changed" "\$2"
SH
chmod +x sign-with-token sign-another-exe
# osslsigncode, as release.sh finds it, notes the process list each time
# it starts.
mkdir bin
printf '#!/bin/sh\nps -eo args >>%s/processes\nexec %s "$@"\n' "$PWD" "$(command -v osslsigncode)" >bin/osslsigncode
chmod +x bin/osslsigncode
cd - >/dev/null
tsa=http://127.0.0.1:$(cat "$work/ca/port")

echo "== wrong signing inputs: one line that says what, and no dist/"
# WHAT, the line expected, the signing options.
refused() { # WHAT LINE OPTIONS...
  local status=0
  rm -rf dist
  tools/release.sh --placeholder --builds "$builds" "${@:3}" >"$work/refused" 2>&1 || status=$?
  { [ "$status" != 0 ] && [ ! -e dist ] && grep -q "^tools/release.sh: $2" "$work/refused"; } ||
    fail "$1: status $status, dist/ $([ -e dist ] && echo written || echo not written): $(cat "$work/refused")"
  ! grep -qe "$pin" -e wrong-PIN "$work/refused" || fail "$1: the PIN is shown"
  echo "$1: $(grep '^tools/release.sh' "$work/refused")"
}
token=(--pkcs11-module "$module" --pkcs11-key "$token_key" --pkcs11-cert "$work/ca/token.pem")
refused "a wrong PIN" "the token refused the PIN in .*wrong-pin: wrong PIN" "${token[@]}" --pin-file "$work/ca/wrong-pin"
refused "a missing module" "the PKCS#11 module /nowhere/pkcs11.so does not exist" \
  --pkcs11-module /nowhere/pkcs11.so --pkcs11-key "$token_key" --pkcs11-cert "$work/ca/token.pem" --pin-file "$work/ca/pin"
refused "another key's certificate" "the certificate .*signing.pem is not the one of the key" \
  "${token[@]:0:4}" --pkcs11-cert "$work/ca/signing.pem" --pin-file "$work/ca/pin"
refused "a failing sign command" "the sign command false failed" --sign-command false --cert "$work/ca/token.pem"
refused "another exe signed" "what the sign command .* returned is not the built exe signed" \
  --sign-command "$work/ca/sign-another-exe" --cert "$work/ca/token.pem" --ca-file "$work/ca/ca.pem"

echo "== the release signed through PKCS#11"
logged "$work/release.log" "the signed release" env PATH="$work/ca/bin:$PATH" tools/release.sh --placeholder --builds "$builds" \
  --pkcs11-module "$module" --pkcs11-key "$token_key" --pkcs11-cert "$token_key;type=cert" \
  --cert-chain "$work/ca/intermediate.pem" --pin-file "$work/ca/pin" --ca-file "$work/ca/ca.pem" \
  --timestamp-url "$tsa" --gpg-key "$key"
grep -q 'TEST RELEASE' "$work/release.log" || fail "a test release does not say so"
grep -q 'Windows exe: signed through PKCS#11 .*, as CN = Korvane release test token, time-stamped' "$work/release.log" ||
  fail "the release does not say the exe is signed through PKCS#11 and time-stamped"
grep -q 'osslsigncode sign -pkcs11module' "$work/ca/processes" || fail "no process list was taken while signing"
! grep -rqF "$pin" "$work/ca/processes" "$work/release.log" build/release dist || fail "the PIN is on a command line, in the output or in a file"
cp -a dist "$work/signed"

release=korvane-updater-9.32-placeholder
sums=dist/$release-SHA256SUMS
(cd dist && sha256sum --quiet -c "$(basename "$sums")") || fail "the release checksums"
[ "$(ls dist)" = "$(printf '%s\n' "$release"-{SHA256SUMS,SHA256SUMS.asc,linux-{aarch64,armhf,x86_64}.tar.gz,windows-x86.zip} \
  korvane-updater_9.32~placeholder_{amd64,arm64,armhf}.deb)" ] || fail "release files: $(ls dist)"
gpg --batch --verify "$sums.asc" "$sums" 2>/dev/null || fail "the checksums' signature does not verify"
{ printf x && tail -c +2 "$sums"; } >"$work/tampered"
! gpg --batch --verify "$sums.asc" "$work/tampered" 2>/dev/null || fail "the signature verifies a changed checksum file"

# NOTICES MAP: each third-party library in the link map (an absolute path
# on any line that names a member of it) is named in the notices.
notices_name_every_library() {
  local library
  while read -r library; do
    grep -q "^$library, from " "$1" || fail "$1 does not name $library, linked from $2"
  done < <(grep -oE '(^|[[:space:]])/[^ ()]+\.a\(' "$2" | sed 's|.*/||; s|($||' | sort -u)
}

echo "== the Windows zip"
python3 -m zipfile -e "dist/$release-windows-x86.zip" "$work/zip"
folder="$work/zip/$release-windows-x86"
[ "$(cd "$folder" && ls)" = "$(printf 'README.txt\nSHA256SUMS\nTHIRD-PARTY-NOTICES.txt\nkorvane_updater.exe')" ] ||
  fail "zip contents: $(ls -R "$work/zip")"
(cd "$folder" && sha256sum --quiet -c SHA256SUMS) || fail "the zip's SHA256SUMS"
for text in README.txt THIRD-PARTY-NOTICES.txt; do
  [ "$(grep -cv $'\r$' "$folder/$text")" = 0 ] || fail "$text has lines without CRLF"
done
notices_name_every_library "$folder/THIRD-PARTY-NOTICES.txt" build/release/windows-i686/korvane_updater.map
osslsigncode verify -CAfile "$work/ca/ca.pem" -TSA-CAfile "$work/ca/ca.pem" -in "$folder/korvane_updater.exe" \
  >"$work/verify" 2>&1 || { cat "$work/verify" >&2; fail "the signature does not verify"; }
# verify succeeds even when only the time stamp fails, so its own line counts.
for line in 'Signature verification: ok' 'Timestamp Server Signature verification: ok'; do
  grep -qx "$line" "$work/verify" || { cat "$work/verify" >&2; fail "no \"$line\""; }
done
grep -E 'Timestamp time|timestamped|verification: ok' "$work/verify"
osslsigncode remove-signature -in "$folder/korvane_updater.exe" -out "$work/unsigned.exe" >/dev/null
cmp -s "$work/unsigned.exe" build/release/windows-i686/korvane_updater.exe || fail "the signed exe is not the one built"

echo "== the Linux archives"
for build in linux:x86_64:X86-64 linux-arm64:aarch64:AArch64 linux-armhf:armhf:ARM; do
  IFS=: read -r preset cpu machine <<<"$build"
  name="$release-linux-$cpu"
  listing=$(tar -tvzf "dist/$name.tar.gz" | awk '{ print $1, $2, $6 }')
  expected="drwxr-xr-x 0/0 $name/
-rw-r--r-- 0/0 $name/70-korvane-bootloader.rules
-rw-r--r-- 0/0 $name/README.txt
-rw-r--r-- 0/0 $name/THIRD-PARTY-NOTICES.txt
-rwxr-xr-x 0/0 $name/korvane-updater
-rw-r--r-- 0/0 $name/korvane-updater.1"
  [ "$listing" = "$expected" ] || fail "$name.tar.gz holds: $listing"
  tar -xzf "dist/$name.tar.gz" -C "$work"
  readelf -h "$work/$name/korvane-updater" | grep -q "Machine: .*$machine" || fail "$name: not a $machine file"
  ! readelf -l "$work/$name/korvane-updater" | grep -q INTERP || fail "$name: the updater is not static"
  notices=$work/$name/THIRD-PARTY-NOTICES.txt
  notices_name_every_library "$notices" "build/release/$preset/korvane_updater_static.map"
  # Linked against musl: nothing in the link map comes from a glibc package.
  grep -q '^libc\.a, from musl-dev' "$notices" || fail "$name: musl's libc.a is not named in its notices"
  ! grep '^[^ ]*, from libc6' "$notices" || fail "$name: glibc files in its link map (above)"
done

echo "== the Debian packages"
for cpu in amd64 arm64 armhf; do
  deb="dist/korvane-updater_9.32~placeholder_$cpu.deb"
  [ "$(dpkg-deb -f "$deb" Package Version Architecture | tr '\n' ' ')" = \
    "Package: korvane-updater Version: 9.32~placeholder Architecture: $cpu " ] || fail "control fields: $(dpkg-deb -f "$deb")"
  dpkg-deb -f "$deb" Depends | grep -q libc6 || fail "$deb: no dependency on the C library"
  files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}')
  expected="./usr/bin/korvane-updater
./usr/lib/udev/rules.d/70-korvane-bootloader.rules
./usr/share/doc/korvane-updater/changelog.gz
./usr/share/doc/korvane-updater/copyright
./usr/share/lintian/overrides/korvane-updater
./usr/share/man/man1/korvane-updater.1.gz"
  [ "$files" = "$expected" ] || fail "$deb holds: $files"
  lintian --fail-on error,warning "$deb" >"$work/lintian" 2>&1 || { cat "$work/lintian" >&2; fail "lintian on $deb"; }
done
deb=dist/korvane-updater_9.32~placeholder_amd64.deb
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

echo "== reproducible: two more releases from scratch, signed other ways, without the test suites"
# A copy of the working tree with its history, which dates the release.
copy_tree() { # FOLDER
  copy_files "$1"
  cp -a .git "$1/"
}
copy_tree "$work/one/src"
(umask 022 && logged "$work/one.log" "the first release from scratch" "$work/one/src/tools/release.sh" --placeholder --no-tests \
  --sign-command "$work/ca/sign-with-token" --cert "$work/ca/token.pem" --ca-file "$work/ca/ca.pem" --timestamp-url "$tsa")
# The other: a deeper folder, a day over a year later by the clock (the
# commit's date must count), 14 hours east of UTC, Turkish (its own idea of
# upper and lower case) where installed, umask 077, and, as root, user nobody.
copy_tree "$work/other/folder/further/down/src"
locale=$(locale -a | grep -m1 -E '^tr_TR\.utf-?8$' || echo C.UTF-8)
as_other_user=()
if [ "$(id -u)" = 0 ]; then
  chown -R nobody:nogroup "$work/other"
  chmod o+x "$work"
  as_other_user=(setpriv --reuid=nobody --regid=nogroup --init-groups)
else
  echo "(not root: the second release runs as the same user)"
fi
(umask 077 && logged "$work/other.log" "the second release from scratch" "${as_other_user[@]}" env HOME="$work/other" \
  TZ=KORV-14 LC_ALL="$locale" LANG="$locale" faketime -f '+400d' \
  "$work/other/folder/further/down/src/tools/release.sh" --placeholder --no-tests \
  --pkcs12 "$work/ca/signing.p12" --password-file "$work/ca/password" --ca-file "$work/ca/ca.pem")
grep -q 'signature carries NO time stamp' "$work/other.log" || fail "a release without a time stamp does not say so"
one=$work/one/src/dist other=$work/other/folder/further/down/src/dist
# All the same but for the exe's signature: the zips' other members and
# their metadata, the exes without their signatures, and every other file.
if ! diff -r -x '*.zip' -x '*-SHA256SUMS' "$one" "$other" >/dev/null; then
  diffoscope --text - --exclude-directory-metadata=yes -x '*.zip' "$one" "$other" >&2 || true
  fail "two releases of one commit differ (diffoscope's report above)"
fi
python3 - "$one"/*.zip "$other"/*.zip <<'PY' || fail "the two releases' zips differ in more than the exe's signature"
import sys, zipfile
def entries(path):
    with zipfile.ZipFile(path) as archive:
        for entry in archive.infolist():
            data = archive.read(entry)
            if entry.filename.endswith(".exe"):
                data = None
            elif entry.filename.endswith("/SHA256SUMS"):
                data = [line for line in data.splitlines() if not line.endswith(b".exe")]
            yield entry.filename, entry.date_time, entry.external_attr, entry.create_system, entry.compress_type, data
one, other = (list(entries(path)) for path in sys.argv[1:])
if one != other:
    names = {a[0] for a in one} ^ {b[0] for b in other} | {a[0] for a, b in zip(one, other) if a != b}
    sys.exit("differ: " + " ".join(sorted(names)))
PY
for name in one other; do
  python3 -m zipfile -e "${!name}/$release-windows-x86.zip" "$work/$name-zip"
  osslsigncode remove-signature -in "$work/$name-zip/$release-windows-x86/korvane_updater.exe" -out "$work/$name.exe" >/dev/null
  cmp -s "$work/$name.exe" "$work/unsigned.exe" || fail "the $name release's exe without its signature is not the built one"
done
(cd "$one" && sha256sum -- *.*)
# The packages of the signed release, made of the builds the tests ran on,
# are the same too.
for file in "$one/"*.{deb,tar.gz}; do
  if ! cmp -s "$file" "$work/signed/$(basename "$file")"; then
    diffoscope --text - "$work/signed/$(basename "$file")" "$file" >&2 || true
    fail "$(basename "$file") differs from the signed release's (diffoscope's report above)"
  fi
done

echo "release test passed"
