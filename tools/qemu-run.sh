#!/usr/bin/env bash
# Runs a program built for another CPU through qemu's user-mode emulation:
#
#   tools/qemu-run.sh EMULATOR [-E NAME=VALUE]... PROGRAM [ARGS...]
#
# e.g. tools/qemu-run.sh qemu-aarch64-static prog; -E sets
# a variable in the emulated process alone (a library to preload, say). The
# program's shared libraries are Debian's packages for that CPU (multiarch,
# installed by tools/setup-debian.sh); qemu's -L sysroot is not used, as a
# forked child of a dynamically linked program hangs under it.
#
# faketime preloads its library into the tools it starts, this script among
# them, as /usr/$LIB/faketime/...: handed on to the emulated process, the
# target's loader finds the target's copy there. faketime's shared clock
# (FAKETIME_SHARED) is laid out for the build machine's CPU, and a 32-bit
# process hangs on it, so the emulated process keeps a clock of its own.
set -euo pipefail
emulator=$1
shift
target_options=()
if [ -n "${LD_PRELOAD:-}" ]; then
  target_options=(-E "LD_PRELOAD=$LD_PRELOAD")
  unset LD_PRELOAD
fi
unset FAKETIME_SHARED
exec "$emulator" "${target_options[@]}" "$@"
