#!/usr/bin/env bash
# A complete successful update under valgrind memcheck: korvane_updater
# writes its image to the simulated bootloader, which checks every report and
# the programmed memory against the image's HEX file; faketime speeds the
# clock up (pauses, time-outs and the 600-second hold alike) so the run takes
# about a minute. Fails on any memcheck error, any definite leak, or a failed
# update.
#
#   tools/memcheck-update.sh [BUILD_DIR]     # default build/linux
set -euo pipefail
cd "$(dirname "$0")/.."
# The device is simulated: a placeholder build may write to it.
export KORVANE_ALLOW_PLACEHOLDER=1

build=${1:-build/linux}
speedup=${KORVANE_MEMCHECK_SPEEDUP:-20}
hex=$(sed -n 's/^KORVANE_FIRMWARE_HEX:[A-Z]*=//p' "$build/CMakeCache.txt")
[ -n "$hex" ] || hex="$build/placeholder-firmware.hex"

status=0
"$build/korvane_sim" --expect-hex "$hex" -- faketime -f "+0 x$speedup" \
  valgrind --quiet --error-exitcode=90 --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
  "$build/korvane_updater" >"$build/memcheck-update.out" 2>&1 || status=$?
case $status in
0) echo "memcheck: complete update, no errors, no definite leaks" ;;
90) echo "memcheck found errors:" >&2 ;;
*) echo "the update under memcheck failed (exit status $status):" >&2 ;;
esac
[ $status -eq 0 ] || { tail -n 60 "$build/memcheck-update.out" >&2; exit 1; }
