#!/usr/bin/env bash
# Checks what the built updater tells the system about itself, on the file:
#
#   tests/binary_checks.sh elf korvane_updater                # Linux Release build
#   tests/binary_checks.sh elf-static korvane_updater_static  # its static file
#   tests/binary_checks.sh pe korvane_updater.exe             # Windows build
#
# elf: Debian's usual hardening: a position-independent executable, full
# RELRO with immediate binding, stack protection, fortified C library calls,
# branch-target marks at function entries where the CPU has them (x86-64,
# arm64), and no run path.
# elf-static: the same, but no loader and no shared library at all, and no
# fortified calls: its C library, musl, has none. musl leaves RELRO to a
# static program (driver/relro_musl.cpp), so a file for this machine's CPU
# is run too, to see its RELRO page made read-only.
# pe: ASLR and DEP, aware of terminal servers, the vendor's name and
# copyright in the version information, no link time stamp, stack
# protection with a guard of its own, and imports of exactly KERNEL32, msvcrt
# and SETUPAPI, the DLLs that Windows always takes from its own folder, with
# nothing newer than the oldest Windows supported imported statically and
# nothing cryptographic.
set -euo pipefail

kind=$1
file=$2
failures=0
check() { # DESCRIPTION COMMAND...
  local description=$1
  shift
  if "$@" >/dev/null 2>&1; then
    echo "ok: $description"
  else
    echo "FAILED: $description"
    failures=$((failures + 1))
  fi
}
lacks() { ! grep -qE "$1" <<<"$2"; }
# main's first instruction is a branch target: endbr64 on x86-64, a
# pointer-authenticating (and so landing) paciasp or a bti on arm64.
main_is_a_branch_target() {
  case $machine in
  *X86-64*) objdump -d --disassemble=main "$file" | grep -A1 '<main>:' | grep -q endbr64 ;;
  *AArch64*) aarch64-linux-gnu-objdump -d --disassemble=main "$file" | grep -A1 '<main>:' | grep -qE 'paciasp|bti' ;;
  esac
}
# Runs the file (without a device it holds for minutes) until its RELRO
# segment's last page is mapped read-only, for 5 seconds at most.
relro_is_applied() {
  local vaddr size page pid maps range perms _ applied=1
  read -r vaddr size < <(readelf -lW "$file" | awk '$1 == "GNU_RELRO" { print $3, $6 }')
  "$file" >/dev/null 2>&1 &
  pid=$!
  for _ in $(seq 50); do
    # The file's mappings (none before the exec); the first is its base.
    maps=$(grep -F " $(realpath "$file")" "/proc/$pid/maps" || true)
    if [ -n "$maps" ]; then
      page=$((16#${maps%%-*} + ((vaddr + size - 1) & ~4095)))
      while read -r range perms _; do
        if [ "$perms" = r--p ] && ((16#${range%-*} <= page && page < 16#${range#*-})); then applied=0; fi
      done <<<"$maps"
    fi
    [ "$applied" = 1 ] || break
    sleep 0.1
  done
  kill "$pid"
  return "$applied"
}
# In a stripped exe: the protected functions' epilogues subtract one and the
# same guard word from the value saved on entry, and one store seeds it.
pe_functions_check_a_seeded_guard() {
  local code guard
  code=$(i686-w64-mingw32-objdump -d --no-show-raw-insn "$file")
  guard=$(grep -oE 'sub +0x[0-9a-f]+,%e[a-d]x$' <<<"$code" | grep -oE '0x[0-9a-f]+' | sort | uniq -c | sort -rn |
    awk 'NR == 1 && $1 >= 3 { print $2 }')
  [ -n "$guard" ] && [ "$(grep -cE "mov +%e[a-d]x,$guard\$" <<<"$code")" = 1 ]
}
# The failure routine ends the process by fast fail, or else with the status
# of a stack buffer overrun.
pe_stack_failure_ends_the_process() {
  local code
  code=$(i686-w64-mingw32-objdump -d --no-show-raw-insn "$file")
  grep -qE 'int +[$]0x29' <<<"$code" && grep -q '[$]0xc0000409' <<<"$code"
}

case $kind in
elf | elf-static)
  machine=$(readelf -h "$file" | sed -n 's/^ *Machine: *//p')
  dynamic=$(readelf -dW "$file")
  segments=$(readelf -lW "$file")
  if [ "$kind" = elf-static ]; then
    check "no loader" lacks INTERP "$segments"
    check "no shared library" lacks NEEDED "$dynamic"
    symbols=$(nm "$file")
  else
    symbols=$(nm -D "$file")
  fi
  check "position-independent executable" grep -q 'Flags:.*PIE' <<<"$dynamic"
  check "immediate binding" grep -q 'Flags:.*NOW' <<<"$dynamic"
  check "no run path" lacks 'RPATH|RUNPATH' "$dynamic"
  check "RELRO segment" grep -q GNU_RELRO <<<"$segments"
  if [ "$kind" = elf-static ] && [[ $machine == *X86-64* ]] && [ "$(uname -m)" = x86_64 ]; then
    check "RELRO applied at start" relro_is_applied
  fi
  check "stack protection" grep -q __stack_chk_fail <<<"$symbols"
  if [ "$kind" = elf-static ]; then
    echo "not checked: fortified calls (musl, the static file's C library, has none)"
  else
    check "fortified calls" grep -q '__[a-z]*printf_chk' <<<"$symbols"
  fi
  if [[ $machine == *X86-64* || $machine == *AArch64* ]]; then
    check "main is a branch target ($machine)" main_is_a_branch_target
  fi
  ;;
pe)
  headers=$(i686-w64-mingw32-objdump -p "$file")
  characteristics=$(sed -n 's/^DllCharacteristics[[:space:]]*//p' <<<"$headers")
  check "ASLR (dynamic base)" test $((0x$characteristics & 0x40)) -ne 0
  check "DEP (NX compatible)" test $((0x$characteristics & 0x100)) -ne 0
  check "terminal-server aware" test $((0x$characteristics & 0x8000)) -ne 0
  # The version information's strings, in the UTF-16 they are kept in: each
  # name followed by its value.
  version=$(strings -el "$file")
  check "CompanyName is Korvane" test "$(grep -x -A1 CompanyName <<<"$version" | tail -n 1)" = Korvane
  check "LegalCopyright names Korvane" grep -qE '^Copyright \(C\) [0-9]{4} Korvane$' <(grep -x -A1 LegalCopyright <<<"$version")
  check "relocations kept for ASLR" grep -q '\.reloc' <(i686-w64-mingw32-objdump -h "$file")
  check "no link time stamp" grep -q 'Time/Date.*1970' <<<"$headers"
  check "stack protection: functions check a seeded guard" pe_functions_check_a_seeded_guard
  check "stack protection: a failed check ends the process" pe_stack_failure_ends_the_process
  dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr '[:upper:]' '[:lower:]' | sort | tr '\n' ' ')
  check "imports exactly KERNEL32, msvcrt and SETUPAPI (got: $dlls)" test "$dlls" = "kernel32.dll msvcrt.dll setupapi.dll "
  check "no cryptographic import" lacks '\<Crypt[A-Za-z]*\>' "$headers"
  check "SetDefaultDllDirectories is looked up, not imported" lacks '\<SetDefaultDllDirectories\>' "$headers"
  ;;
*)
  echo "usage: $0 elf|elf-static|pe FILE" >&2
  exit 2
  ;;
esac
[ "$failures" -eq 0 ]
