#!/usr/bin/env bash
# Runs several ctest runs side by side, as the test command does in one boot
# of the virtual machine:
#
#   tools/vm/ctest-jobs.sh OUT_DIR PARALLEL JOB...
#
# Each JOB is "BUILD_DIR [CTEST_ARGS...]", split at spaces; each runs with
# --parallel PARALLEL and writes its JUnit report OUT_DIR/junit-N.xml. Their
# outputs are shown in turn once all have ended; the status is 1 when any
# failed. The tests that plug a device in take turns (tools/vm/run-vm.sh).
set -uo pipefail
out=$1 parallel=$2
shift 2
pids=()
for i in $(seq "$#"); do
  read -ra words <<<"${!i}"
  {
    echo "== ctest ${!i}"
    ctest --output-on-failure --no-tests=error --parallel "$parallel" --output-junit "$out/junit-$i.xml" \
      --test-dir "${words[@]}"
  } >"$out/ctest-$i.log" 2>&1 &
  pids+=($!)
done
status=0
for i in "${!pids[@]}"; do
  wait "${pids[$i]}" || status=1
  cat "$out/ctest-$((i + 1)).log"
done
exit $status
