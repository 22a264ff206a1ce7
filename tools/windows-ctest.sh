#!/usr/bin/env bash
# Runs the tests of a Windows build, which run under Wine:
#
#   tools/windows-ctest.sh BUILD_DIR [CTEST_ARGS...]
#
# Here, when Wine starts on this machine. Some kernels refuse to execute any
# 32-bit x86 program (so Wine cannot start), whatever their configuration
# says; then the whole run moves into the throw-away virtual machine of
# tools/vm, whose emulated CPU runs them. KORVANE_WINDOWS_IN_VM=1 moves it
# there on any machine. Its work folder is BUILD_DIR/vm, the one the build's
# own VM test uses. The exit status is ctest's either way.
set -euo pipefail

if [ $# -lt 1 ]; then
  echo "usage: $0 BUILD_DIR [CTEST_ARGS...]" >&2
  exit 2
fi
build=$(realpath -m "$1")
shift
if [ "${KORVANE_WINDOWS_IN_VM:-}" = 1 ]; then
  echo "windows-ctest: KORVANE_WINDOWS_IN_VM=1: running the tests in the virtual machine"
elif why=$(wine --version 2>&1); then
  exec ctest --test-dir "$build" "$@"
else
  echo "windows-ctest: Wine cannot start here ($(tail -n 1 <<<"$why")): running the tests in the virtual machine"
fi

# The guest writes only to its work folder: a JUnit report is written there
# and copied to where it was asked for.
work="$build/vm"
args=() junit=
while [ $# -gt 0 ]; do
  if [ "$1" = --output-junit ] && [ $# -gt 1 ]; then
    junit=$2
    args+=("$1" "$work/junit.xml")
    shift 2
  else
    args+=("$1")
    shift
  fi
done
mkdir -p "$work"
rm -f "$work/junit.xml"
# The whole suite takes about 15 minutes under emulation on 2 cores.
status=0
KORVANE_VM_TIMEOUT=${KORVANE_VM_TIMEOUT:-3600} "$(dirname "$0")/vm/run-vm.sh" "$work" ctest --test-dir "$build" "${args[@]}" || status=$?
[ -z "$junit" ] || [ ! -f "$work/junit.xml" ] || cp "$work/junit.xml" "$junit"
exit $status
