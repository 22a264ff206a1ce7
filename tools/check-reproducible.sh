#!/usr/bin/env bash
# Builds korvane_updater and korvane_updater.exe twice, from two copies of the
# working tree in two different folders, and compares their SHA-256: the same
# sources and firmware must give the same bytes wherever and whenever they
# are built.
#
#   tools/check-reproducible.sh [FIRMWARE.hex]     # default: the placeholder
set -euo pipefail
cd "$(dirname "$0")/.."

firmware=()
if [ $# -gt 0 ]; then
  firmware=("-DKORVANE_FIRMWARE_HEX=$(realpath "$1")")
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

sums=()
for copy in one/src another/folder/src; do
  mkdir -p "$work/$copy"
  git ls-files -z | xargs -0 cp --parents -t "$work/$copy"
  for preset in linux windows-i686; do
    (
      cd "$work/$copy"
      cmake --preset "$preset" -DKORVANE_BUILD_TESTS=OFF "${firmware[@]}" >/dev/null 2>&1
      cmake --build --preset "$preset" --target korvane_updater >/dev/null
    )
  done
  sums+=("$(cd "$work/$copy/build" && sha256sum linux/korvane_updater windows-i686/korvane_updater.exe)")
done

echo "${sums[0]}"
if [ "${sums[0]}" != "${sums[1]}" ]; then
  echo "NOT reproducible: the second build gave" >&2
  echo "${sums[1]}" >&2
  exit 1
fi
echo "reproducible: two builds in different folders gave the same bytes"
