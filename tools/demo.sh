#!/usr/bin/env bash
# Demo: the real updater performs a complete firmware update of a simulated
# Korvane bootloader, in real time (about a minute), then the simulator gives
# its verdict on what the device received. Installs and builds what it needs
# first. Runs as root, or as any user where the kernel allows user namespaces.
set -euo pipefail
cd "$(dirname "$0")/.."
# The device is simulated: a placeholder build may write to it.
export KORVANE_ALLOW_PLACEHOLDER=1

if [ "$(id -u)" = 0 ]; then
  tools/setup-debian.sh demo
else
  echo "Not root: package installation skipped (run tools/setup-debian.sh demo as root if the build fails)."
fi
# The linux preset without its tests and benchmarks, which need packages the
# demo does not.
build=build/demo
cmake --preset linux -B "$build" -DKORVANE_BUILD_TESTS=OFF -DKORVANE_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" --target korvane_updater korvane_sim

# The simulated device checks its memory against the image the updater carries.
hex=$(sed -n 's/^KORVANE_FIRMWARE_HEX:[A-Z]*=//p' "$build/CMakeCache.txt")
[ -n "$hex" ] || hex="$build/placeholder-firmware.hex"

if ! probe=$("$build/korvane_sim" -- true 2>&1); then
  echo "$probe" >&2
  echo "The simulated bootloader cannot run here: it needs root, or user namespaces, and /dev/fuse." >&2
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkfifo "$work/output"

echo
echo "== The updater, writing to a simulated bootloader (16C0:0478) in real time =="
echo
start=$SECONDS
"$build/korvane_sim" --expect-hex "$hex" --trace "$work/trace" -- "$build/korvane_updater" >"$work/output" 2>&1 &
sim=$!

# Shows the updater's output as it comes (both streams, then the simulator's
# verdict) and ends the run once the updater has said how it went: it would
# otherwise keep its window open for ten minutes.
updated=no
line=""
while IFS= read -r -n 1 -d '' char; do
  [ -n "$char" ] || continue # a NUL byte: nothing to show
  printf '%s' "$char"
  if [ "$char" != $'\n' ]; then
    line+=$char
    continue
  fi
  case "$line" in
  "Please close this window and disconnect USB Micro cable to restart the Korvane") updated=yes ;&
  "Please close this window and try again" | "error writing to Korvane")
    echo
    echo "(The updater now holds its window open for 10 minutes; the demo does not wait for that and ends it here.)"
    kill -TERM "$sim" 2>/dev/null || true
    ;;
  esac
  line=""
done <"$work/output"

status=0
wait "$sim" || status=$?
echo
echo "== $(wc -l <"$work/trace") reports received in $((SECONDS - start)) s; simulator exit status $status =="
if [ "$updated" = yes ] && [ "$status" = 143 ]; then
  echo "Demo succeeded: the simulated device's memory holds exactly the image the updater carries."
  exit 0
fi
echo "Demo failed: see the messages above." >&2
exit 1
