#!/usr/bin/env bash
# Builds every preset and runs every test once, then a complete update under
# valgrind, the static checks, the fuzzers and the set-up's checks from fresh
# Debian roots. Installs what it needs first. Ends with the time of each
# stage.
#
#   tools/run-tests.sh            the whole command (CI runs it)
#   tools/run-tests.sh --quick    between changes: the unit tests of every
#                                 platform and one whole update each on
#                                 Linux and Windows, pauses shortened
#                                 (installs nothing)
#
# KORVANE_WINDOWS_IN_VM=1 runs the Windows tests in the throw-away virtual
# machine even where Wine starts here, as they run where it cannot.
# KORVANE_ALLOW_SKIPS=1 lets skipped tests pass (see check_skips).
set -euo pipefail
cd "$(dirname "$0")/.."

quick=no
case ${1:-} in
"") ;;
--quick) quick=yes ;;
*)
  echo "usage: $0 [--quick]" >&2
  exit 2
  ;;
esac
jobs=$(nproc)

# Each stage's name and time, shown as a table at the end, also after a
# failure (the last stage named is the one that failed).
stage_names=() stage_times=() stage_start=0 started=$SECONDS
begin() { # NAME
  stage_names+=("$1")
  stage_start=$SECONDS
  echo
  echo "== $1"
}
end() { stage_times+=($((SECONDS - stage_start))); }
show_times() {
  local i
  [ ${#stage_names[@]} -gt 0 ] || return 0
  [ ${#stage_times[@]} = ${#stage_names[@]} ] || stage_times+=("$((SECONDS - stage_start)) (stopped here)")
  echo
  echo "| stage | time |"
  echo "|---|---|"
  for i in "${!stage_names[@]}"; do
    printf '| %s | %s |\n' "${stage_names[$i]}" "$(minutes "${stage_times[$i]%% *}")${stage_times[$i]#"${stage_times[$i]%% *}"}"
  done
  printf '| **total** | %s |\n' "$(minutes $((SECONDS - started)))"
}
minutes() { printf '%d min %02d s' $(($1 / 60)) $(($1 % 60)); }
trap show_times EXIT

# Fails when any test in the JUnit reports was skipped: a skipped test
# proved nothing. KORVANE_ALLOW_SKIPS=1 lets skips pass, for someone who
# knows what they give up (the end-to-end tests, say, on a machine without
# user namespaces or FUSE).
check_skips() { # JUNIT...
  python3 - "${KORVANE_ALLOW_SKIPS:-}" "$@" <<'PY'
import os, re, sys, xml.etree.ElementTree as tree
skipped = []
# A report that was never written (its run failed before it) has nothing to say.
for report in (path for path in sys.argv[2:] if os.path.exists(path)):
    for case in tree.parse(report).iter("testcase"):
        if case.find("skipped") is None:
            continue
        output = case.findtext("system-out") or ""
        # GoogleTest prints the reason after "file:line: Skipped".
        reason = re.search(r": Skipped\n(.*?)\n\[  SKIPPED \]", output, re.S)
        skipped.append((case.get("name"), reason.group(1).strip() if reason else "(no reason given)"))
for name, reason in skipped:
    print(f"SKIPPED: {name}: {reason}", file=sys.stderr)
if skipped and sys.argv[1] != "1":
    print(f"{len(skipped)} test(s) skipped: a skipped test proves nothing. Mend the machine, or set "
          "KORVANE_ALLOW_SKIPS=1 to let skips pass.", file=sys.stderr)
    sys.exit(1)
PY
}

# ctest, side by side where the tests allow it, then the skip check. A
# preset's tests run with its environment (the sanitizers' options).
run_ctest() { # --preset PRESET | --test-dir BUILD_DIR, [CTEST_ARGS...]
  local junit
  junit=$(mktemp --suffix=.xml)
  ctest "$@" --output-on-failure --no-tests=error --parallel "$jobs" --output-junit "$junit"
  check_skips "$junit"
  rm -f "$junit"
}

# The Windows tests run under this machine's Wine, or, where it cannot
# start or KORVANE_WINDOWS_IN_VM=1 asks for it, in the virtual machine.
if [ "${KORVANE_WINDOWS_IN_VM:-}" != 1 ] && wine --version >/dev/null 2>&1; then
  wine_here=yes
else
  wine_here=no
fi

# Several ctest runs side by side in one boot of the throw-away virtual
# machine (tools/vm/ctest-jobs.sh), then the skip check over all.
vm_ctest() { # JOB...
  local work=$PWD/build/vm status=0
  mkdir -p "$work"
  rm -f "$work"/junit-*.xml
  KORVANE_VM_TIMEOUT=${KORVANE_VM_TIMEOUT:-3600} tools/vm/run-vm.sh "$work" tools/vm/ctest-jobs.sh "$work" "$jobs" "$@" ||
    status=$?
  check_skips "$work"/junit-*.xml
  return $status
}

build() { # PRESET [CMAKE_ARGS...]
  cmake --preset "$1" "${@:2}" >/dev/null
  cmake --build --preset "$1"
}

if [ $quick = yes ]; then
  # Every test but the whole updates in real time (label whole) and the tests
  # in the virtual machine. That includes one whole update per platform with
  # its pauses shortened (EndToEnd.FullUpdate... on each Linux CPU,
  # WindowsUpdate.TurnsQuickEdit... on Windows).
  begin "windows-i686: build"
  build windows-i686
  end
  # The Windows tests (in the virtual machine, where Wine cannot start here)
  # run beside the Linux builds and tests.
  windows_log=$(mktemp)
  windows_start=$SECONDS
  (
    if [ $wine_here = yes ]; then
      run_ctest --preset windows-i686 -LE 'whole|vm'
    else
      vm_ctest "build/windows-i686 -LE whole|vm"
    fi
  ) >"$windows_log" 2>&1 &
  windows=$!
  for preset in linux linux-arm64 linux-armhf; do
    begin "$preset: build and tests"
    build "$preset"
    run_ctest --preset "$preset" -LE 'whole|vm'
    end
  done
  begin "windows-i686: tests (beside the Linux stages)"
  windows_status=0
  wait $windows || windows_status=$?
  cat "$windows_log"
  rm -f "$windows_log"
  stage_start=$windows_start
  [ $windows_status = 0 ] || exit $windows_status
  end
  exit 0
fi

begin "set-up (packages)"
tools/setup-debian.sh test
end

for preset in linux linux-asan linux-arm64 linux-armhf; do
  begin "$preset: build and tests"
  build "$preset"
  # The tests in the virtual machine run in the one boot below.
  run_ctest --preset "$preset" -LE vm
  end
done

begin "windows-i686: build$([ $wine_here = yes ] && echo ' and tests under Wine')"
build windows-i686
[ $wine_here = no ] || run_ctest --preset windows-i686 -LE vm
end

# The tests that depend on the image built in hold for any firmware of the
# 9.32 layout, not only the placeholder: once more with another image.
begin "other firmware: builds and image tests"
build/linux/tools/image_gen/korvane_image_gen test-firmware build/test-firmware.hex
cmake --preset linux -B build/linux-firmware -DKORVANE_FIRMWARE_HEX="$PWD/build/test-firmware.hex" >/dev/null
cmake --build build/linux-firmware
run_ctest --test-dir build/linux-firmware -L image -LE vm
cmake --preset windows-i686 -B build/windows-firmware -DKORVANE_FIRMWARE_HEX="$PWD/build/test-firmware.hex" >/dev/null
cmake --build build/windows-firmware --target korvane_updater
# Under Wine the Windows image tests are the whole updates, which the
# placeholder's runs cover; here, what the file tells Windows about itself.
run_ctest --test-dir build/windows-firmware -L image -LE wine
end

# One boot for every test that needs the virtual machine's real HID stacks,
# and for the whole Windows suite where Wine cannot start here.
vm_jobs=("build/linux -L vm" "build/linux-firmware -L vm -L image")
if [ $wine_here = yes ]; then
  vm_jobs+=("build/windows-i686 -L vm")
  begin "virtual machine: the tests through real HID stacks"
else
  vm_jobs+=("build/windows-i686")
  begin "virtual machine: the tests through real HID stacks, and the Windows suite"
fi
vm_ctest "${vm_jobs[@]}"
end

begin "release test (packages of the builds above, two releases from scratch)"
tests/release/release_test.sh
end

begin "memcheck of a complete update"
tools/memcheck-update.sh
end

begin "static checks"
tools/static-checks.sh
end

begin "fuzzing"
tools/run-fuzzers.sh
end

begin "the set-up from fresh Debian 12 and 13 roots"
tests/setup/fresh_roots.sh
end
