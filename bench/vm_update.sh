#!/usr/bin/env bash
# Real-stack benchmark: updates through the Linux kernel's HID stack (and
# Wine's), in the virtual machine of tools/vm/run-vm.sh, on the real clock.
#
#   bench/vm_update.sh                 # needs the linux preset built; the
#                                      # windows-i686 one too for the Wine run
#   KORVANE_VM_BENCH_RUNS=5 bench/vm_update.sh
#
# In the guest, against the bootloader gadget (korvane_gadget):
# - the kernel's cost of one 1,089-byte report write to hidraw, alone:
#   233 well-formed reports written by python3, 100 ms apart;
# - KORVANE_VM_BENCH_RUNS (default 3) real-time updates by korvane_updater:
#   the time from its start to its success line against the 58.25 s floor
#   its pauses set, and what each report costs beyond its 250 ms pause (the
#   gaps between reports arriving whole at the device, less 250 ms);
# - one update by korvane_updater.exe under Wine's own HID stack: Wine's
#   start-up (to the banner) and the update (banner to success line).
# Each run is ended at its success line; the 600-second hold is not measured.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/linux
windows_build=build/windows-i686

if [ "${1:-}" != --in-guest ]; then
  for program in "$build/korvane_updater" "$build/korvane_gadget"; do
    [ -x "$program" ] || { echo "missing $program: build the linux preset first" >&2; exit 1; }
  done
  started=$EPOCHREALTIME
  KORVANE_VM_BENCH_RUNS=${KORVANE_VM_BENCH_RUNS:-3} tools/vm/run-vm.sh "$build/vm" "$0" --in-guest |
    tee "$build/vm/bench.out"
  awk -v s="$started" -v e="$EPOCHREALTIME" '/^guest command took/ { c = $4 }
    END { printf "\nboot, power-off and QEMU around the command: %.1f s (whole run %.1f s)\n", e - s - c, e - s }' \
    "$build/vm/bench.out"
  exit 0
fi

command_started=$EPOCHREALTIME
gadget="$build/korvane_gadget"
hex=$(sed -n 's/^KORVANE_FIRMWARE_HEX:[A-Z]*=//p' "$build/CMakeCache.txt")
[ -n "$hex" ] || hex="$build/placeholder-firmware.hex"
scratch=$(mktemp -d)

# median, min and max of a column of numbers
summary() { sort -g | awk '{ v[NR] = $1 } END { printf "median %.2f ms, min %.2f ms, max %.2f ms (%d)", v[int((NR + 1) / 2)], v[1], v[NR], NR }'; }

echo "== one report write to hidraw, in the kernel (python3, 233 writes 100 ms apart)"
# shellcheck disable=SC2016 # python code
"$gadget" -- python3 -c '
import os, time
node = os.open("/dev/hidraw0", os.O_WRONLY)
for block in range(233):
    time.sleep(0.1)
    report = bytes([0, 0, (block * 4) & 0xFF, block >> 6]) + bytes(61) + bytes([0x5A]) * 1024
    start = time.monotonic()
    os.write(node, report)
    print("%.3f" % ((time.monotonic() - start) * 1000))
' >"$scratch/writes" 2>"$scratch/gadget-err"
summary <"$scratch/writes"
echo
tail -n 1 "$scratch/gadget-err"

# One update under the gadget; prints "to_banner_ms to_success_ms" and leaves
# the gadget's trace in $scratch/trace. The command's first line stamps its
# start.
timed_update() {
  local fifo="$scratch/out" line now start='' banner='' success=''
  rm -f "$fifo"
  mkfifo "$fifo"
  # shellcheck disable=SC2016 # expanded by that bash
  "$gadget" --expect-hex "$1" --trace "$scratch/trace" -- bash -c 'echo "start $EPOCHREALTIME"; exec "$@"' \
    bench "${@:2}" >"$fifo" 2>"$scratch/gadget-err" &
  local gadget_pid=$!
  exec {out}<"$fifo"
  while IFS= read -r -t 300 -u "$out" line; do
    now=$EPOCHREALTIME
    line=${line%$'\r'}
    case "$line" in
    "start "*) start=${line#start } ;;
    "Korvane_Updater with firmware version 9.32") banner=$now ;;
    "Korvane firmware version 9.32 updated succesfully") success=$now && break ;;
    esac
  done
  exec {out}<&-
  kill -TERM "$gadget_pid"
  wait "$gadget_pid" 2>/dev/null || true
  [ -n "$success" ] || { echo "update failed:" >&2 && cat "$scratch/gadget-err" >&2 && return 1; }
  awk -v s="$start" -v b="$banner" -v e="$success" 'BEGIN { printf "%.0f %.0f\n", (b - s) * 1000, (e - s) * 1000 }'
}

# What each report costs beyond its 250 ms pause, from the gadget's trace.
beyond_pause() { awk 'NR > 1 { print $2 - last - 250 } { last = $2 }' "$scratch/trace"; }

runs=${KORVANE_VM_BENCH_RUNS:-3}
echo
echo "== korvane_updater, $runs real-time updates (floor 58250 ms)"
: >"$scratch/all-gaps"
for ((i = 1; i <= runs; i++)); do
  read -r to_banner total < <(timed_update "$hex" env KORVANE_ALLOW_PLACEHOLDER=1 "$build/korvane_updater")
  beyond_pause >>"$scratch/all-gaps"
  echo "run $i: banner after $to_banner ms, success line after $total ms," \
    "$((total - 58250)) ms over the floor (ratio $(awk -v t="$total" 'BEGIN { printf "%.4f", t / 58250 }'));" \
    "beyond the pause: $(beyond_pause | summary)"
done
echo "all runs, each report beyond its pause: $(summary <"$scratch/all-gaps")"

exe="$windows_build/korvane_updater.exe"
if [ -f "$exe" ] && [ -f "$windows_build/wine-prefix/.prepared" ]; then
  echo
  echo "== korvane_updater.exe under Wine's HID stack, one update"
  export WINEPREFIX="$PWD/$windows_build/wine-prefix"
  # winebus looks at hidraw devices only with its SDL bus off (the guest's
  # copy of the prefix is thrown away with it).
  printf '\n[System\\\\CurrentControlSet\\\\Services\\\\winebus]\n"Enable SDL"=dword:00000000\n' >>"$WINEPREFIX/system.reg"
  windows_hex=$(sed -n 's/^KORVANE_FIRMWARE_HEX:[A-Z]*=//p' "$windows_build/CMakeCache.txt")
  [ -n "$windows_hex" ] || windows_hex="$windows_build/placeholder-firmware.hex"
  read -r to_banner total < <(KORVANE_ALLOW_PLACEHOLDER=1 timed_update "$windows_hex" tools/wine-run.sh "$WINEPREFIX" "$exe")
  echo "Wine start-up (to the banner): $to_banner ms; banner to success line: $((total - to_banner)) ms" \
    "($((total - to_banner - 58250)) ms over the floor); each report beyond its pause: $(beyond_pause | summary)"
else
  echo "(no Wine run: build the windows-i686 preset and run its tests once to prepare the prefix)"
fi
rm -rf "$scratch"
echo
awk -v s="$command_started" -v e="$EPOCHREALTIME" 'BEGIN { printf "guest command took %.1f s\n", e - s }'
