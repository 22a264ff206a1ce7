#!/usr/bin/env bash
# Builds every preset and runs every test, then a complete update under
# valgrind, the static checks and the fuzzers (about 30 s each). Installs
# what it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup-debian.sh

for preset in linux linux-asan windows-i686; do
  echo "== $preset =="
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done

# The tests hold for any firmware of the 9.32 layout, not only the
# placeholder: the linux suite once more, with another image built in.
echo "== linux, with firmware other than the placeholder =="
build/linux/tools/image_gen/korvane_image_gen test-firmware build/test-firmware.hex
cmake --preset linux -B build/linux-firmware -DKORVANE_FIRMWARE_HEX="$PWD/build/test-firmware.hex"
cmake --build build/linux-firmware
ctest --test-dir build/linux-firmware --output-on-failure --no-tests=error
# And the Windows exe with it: what the file tells Windows about itself.
cmake --preset windows-i686 -B build/windows-firmware -DKORVANE_FIRMWARE_HEX="$PWD/build/test-firmware.hex"
cmake --build build/windows-firmware --target korvane_updater
ctest --test-dir build/windows-firmware --output-on-failure --no-tests=error \
  -R '^(exe_file_checks|firmware_build_has_no_placeholder_check)$'

echo "== reproducible builds =="
tools/check-reproducible.sh

echo "== release packages =="
tests/release/release_test.sh

echo "== memcheck of a complete update"
tools/memcheck-update.sh

echo "== static checks"
tools/static-checks.sh

echo "== fuzzing"
tools/run-fuzzers.sh
