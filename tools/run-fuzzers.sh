#!/usr/bin/env bash
# Builds the fuzz targets (tests/fuzz) with clang's libFuzzer, AddressSanitizer
# and UndefinedBehaviorSanitizer, and runs each for a bounded time, starting
# from its corpus in tests/fuzz/corpus/<target>. Any finding fails the script
# and leaves the input that caused it in build/fuzz/findings.
#
#   tools/run-fuzzers.sh             # every target, 30 s each
#   KORVANE_FUZZ_SECONDS=600 tools/run-fuzzers.sh intel_hex
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${KORVANE_FUZZ_SECONDS:-30}
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(image_queries intel_hex hid_report_descriptor)

cmake -S tests/fuzz -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/fuzz

findings=build/fuzz/findings
mkdir -p "$findings"
# Runs one target for the time given; its verdict goes to TARGET.verdict.
fuzz() { # TARGET
  local target=$1 scratch log options
  # New inputs go to a scratch folder, so the checked-in corpus stays as it is.
  scratch=$(mktemp -d)
  options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$findings/$target-")
  [ -f "tests/fuzz/$target.dict" ] && options+=(-dict="tests/fuzz/$target.dict")
  log="build/fuzz/$target.log"
  if "build/fuzz/${target}_fuzz" "${options[@]}" "$scratch" "tests/fuzz/corpus/$target" >"$log" 2>&1; then
    { grep -E '^Done [0-9]+ runs' "$log" || tail -n 1 "$log"; } >"build/fuzz/$target.verdict"
  else
    {
      echo "FINDING in $target (log: $log, input in $findings):"
      grep -v -E '^#[0-9]+' "$log" | tail -n 40
    } >"build/fuzz/$target.verdict"
    rm -rf "$scratch"
    return 1
  fi
  rm -rf "$scratch"
}

# The targets side by side: each runs for its time whatever the others do.
echo "== fuzzing ${targets[*]} for ${seconds}s"
pids=()
for target in "${targets[@]}"; do
  fuzz "$target" &
  pids+=($!)
done
status=0
for i in "${!targets[@]}"; do
  wait "${pids[$i]}" || status=1
  echo "${targets[$i]}: $(cat "build/fuzz/${targets[$i]}.verdict")"
done
exit $status
