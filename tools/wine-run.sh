#!/usr/bin/env bash
# Runs a Windows program under Wine, quietly, in a throw-away prefix:
#
#   tools/wine-run.sh PREFIX PROGRAM [ARGS...]
#
# PREFIX is created on first use (20-60 s; callers that run several programs
# prepare it once with PROGRAM "--prepare"). Standard streams and exit status
# are PROGRAM's. WINEDLLOVERRIDES from the caller is kept, so stand-in DLLs
# beside PROGRAM can be loaded (e.g. WINEDLLOVERRIDES=setupapi=n,b). With
# KORVANE_WINE_TRACE=FILE, Wine's own output (its debug trace, of PROGRAM and
# of the processes it starts) goes to FILE instead of standard error. With
# KORVANE_WINE_CONSOLE=1, PROGRAM runs in a console of Wine's console host, as
# if started in a console window: Wine makes one on a pseudo-terminal, which
# script(1) gives it; PROGRAM's output then comes through that terminal.
set -euo pipefail

if [ $# -lt 2 ]; then
  echo "usage: $0 PREFIX PROGRAM [ARGS...] | $0 PREFIX --prepare" >&2
  exit 2
fi
prefix=$(realpath -m "$1")
shift

export WINEPREFIX="$prefix"
export WINEARCH=win32
export WINEDEBUG=-all
# A new prefix offers to install Mono and Gecko; nothing here needs them.
base_overrides="mscoree,mshtml="
export WINEDLLOVERRIDES="$base_overrides${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"

# One creator, and one starter of the server, at a time: tests run side by
# side.
mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
if [ ! -f "$prefix/.prepared" ]; then
  rm -rf "$prefix"
  wine wineboot --init </dev/null >/dev/null 2>&1
  wineserver --wait
  # Wine's HID bus leaves this machine's hidraw devices alone (Wine 10 takes
  # them even with its SDL bus on): the tests bring the devices they mean,
  # and the virtual machine's gadgets must reach only the tests that plug
  # them in, whose prefix turns this back on.
  printf '\n[System\\\\CurrentControlSet\\\\Services\\\\winebus]\n"DisableHidraw"=dword:00000001\n' >>"$prefix/system.reg"
  touch "$prefix/.prepared"
fi
if [ "$1" = --prepare ]; then
  exit 0
fi
# Wine's server, and the system processes it runs (services, the device
# drivers), stay for a minute after the last program ends, so the next test
# program finds them running: under emulation each new start costs half a
# minute, a running one a second or two. They are started here, apart from
# PROGRAM, so that none of them holds PROGRAM's output open after it ends.
# The server says 2 when one runs already. The system processes take none
# of the caller's DLL overrides, which later programs may not share.
if wineserver -p60 </dev/null >/dev/null 2>&1; then
  WINEDLLOVERRIDES=$base_overrides wine wineboot </dev/null >/dev/null 2>&1
fi
flock --unlock 9
exec 9>&-

if [ "${KORVANE_WINE_CONSOLE:-}" = 1 ]; then
  exec script --quiet --return --command "$(printf '%q ' wine "$@")" /dev/null
fi
if [ -n "${KORVANE_WINE_TRACE:-}" ]; then
  exec wine "$@" 2>"$KORVANE_WINE_TRACE"
fi
exec wine "$@"
