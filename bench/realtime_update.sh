#!/usr/bin/env bash
# Real-time update benchmark: the unmodified korvane_updater writes its image
# to the simulated bootloader (korvane_sim), on the real clock. For each run:
# the time from the updater's start to its banner and to its success line,
# the latter against the floor its pauses set (233 x 250 ms = 58.25 s, plus
# the device's own write time where the simulation adds one), and
# the updater's peak resident memory. A run is ended once the success line
# is out; the 600-second hold that follows is not measured.
#
#   bench/realtime_update.sh [BUILD_DIR]     # default build/linux
#   KORVANE_RT_RUNS=5 bench/realtime_update.sh
#   KORVANE_RT_EMULATOR=qemu-aarch64-static KORVANE_RT_SETTINGS=responsive \
#     bench/realtime_update.sh build/linux-arm64
#   KORVANE_RT_PROGRAM=korvane_updater_static bench/realtime_update.sh
#
# An ARM build's updater runs under the emulator KORVANE_RT_EMULATOR, against
# the simulator of build/linux (the build machine's); its peak memory is then
# the emulator's. KORVANE_RT_SETTINGS picks the settings (default both),
# KORVANE_RT_PROGRAM the build's program (default korvane_updater; its
# static file is korvane_updater_static).
#
# Each setting (a bootloader that takes every report at once, and one whose
# writes take 5 ms) gets KORVANE_RT_RUNS runs (default 3), about a minute each.
set -euo pipefail
cd "$(dirname "$0")/.."
# The device is simulated: a placeholder build may write to it.
export KORVANE_ALLOW_PLACEHOLDER=1

build=${1:-build/linux}
runs=${KORVANE_RT_RUNS:-3}
updater="$build/${KORVANE_RT_PROGRAM:-korvane_updater}"
emulator=${KORVANE_RT_EMULATOR:-}
sim=build/linux/korvane_sim
[ -n "$emulator" ] || sim="$build/korvane_sim"
floor_ms=58250
blocks=233
for program in "$updater" "$sim"; do
  [ -x "$program" ] || { echo "missing $program: build the linux preset first" >&2; exit 1; }
done

scratch=$(mktemp -d)
sim_pid=
cleanup() {
  [ -z "$sim_pid" ] || kill -TERM "$sim_pid" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT

# One run; prints "to_banner_ms total_ms peak_rss_kib".
run_once() {
  local fifo="$scratch/out" line now start='' pid='' banner='' success='' rss='' dots=''
  rm -f "$fifo"
  mkfifo "$fifo"
  # bash stamps the moment just before it becomes the updater (exec); the
  # single quotes are meant: that bash expands them.
  # shellcheck disable=SC2016
  "$sim" "$@" -- bash -c 'printf "start %s %s\n" "$EPOCHREALTIME" "$$"; exec ${1:+"$1"} "$0"' "$updater" "$emulator" \
    >"$fifo" 2>"$scratch/err" &
  sim_pid=$!
  exec {out}<"$fifo"
  while IFS= read -r -t 120 -u "$out" line; do
    now=$EPOCHREALTIME
    case "$line" in
    "start "*) read -r _ start pid <<<"$line" ;;
    "Korvane_Updater with firmware version 9.32") banner=$now ;;
    "Writing firmware"*) dots=${line#Writing firmware} ;;
    "Korvane firmware version 9.32 updated succesfully")
      success=$now
      rss=$(awk '/^VmHWM:/ { print $2 }' "/proc/$pid/status")
      break
      ;;
    esac
  done
  exec {out}<&-
  kill -TERM "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=
  if [ -z "$success" ] || [ "${#dots}" -ne "$blocks" ]; then
    echo "run failed (success line: ${success:-none}, dots: ${#dots}):" >&2
    cat "$scratch/err" >&2
    exit 1
  fi
  awk -v s="$start" -v b="$banner" -v e="$success" -v r="$rss" \
    'BEGIN { printf "%.2f %.1f %d\n", (b - s) * 1000, (e - s) * 1000, r }'
}

echo "$updater${emulator:+ under $emulator}, under korvane_sim, $runs runs per setting, floor $floor_ms ms ($blocks pauses of 250 ms)"
echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "| setting | run | to banner (ms) | to success line (ms) | bound (ms) | overhead (ms) | ratio to bound | peak RSS (KiB) |"
echo "|---|---|---|---|---|---|---|---|"
IFS=, read -r -a settings <<<"${KORVANE_RT_SETTINGS:-responsive,--delay-ms 5}"
for setting in "${settings[@]}"; do
  options=()
  [ "$setting" = responsive ] || read -r -a options <<<"$setting"
  # The bound: the pauses, plus the time the device itself takes to write.
  delay_ms=0
  [ "$setting" = responsive ] || delay_ms=${options[1]}
  bound_ms=$((floor_ms + blocks * delay_ms))
  results="$scratch/results"
  : >"$results"
  for ((i = 1; i <= runs; i++)); do
    run_once "${options[@]}" | tee -a "$results" |
      awk -v name="$setting" -v i="$i" -v f="$bound_ms" \
        '{ printf "| %s | %d | %.2f | %.1f | %d | %.1f | %.5f | %d |\n", name, i, $1, $2, f, $2 - f, $2 / f, $3 }'
  done
  awk -v name="$setting" -v f="$bound_ms" '
    { n++; banner += $1; total += $2; if ($3 > rss) rss = $3; if (n == 1 || $2 < lo) lo = $2; if ($2 > hi) hi = $2 }
    END { printf "| %s | mean of %d | %.2f | %.1f (%.1f .. %.1f) | %d | %.1f | %.5f | %d (max) |\n",
                 name, n, banner / n, total / n, lo, hi, f, total / n - f, total / n / f, rss }' "$results"
done
