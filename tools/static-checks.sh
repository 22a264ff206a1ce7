#!/usr/bin/env bash
# Static analysis of the updater's own code: clang-tidy (checks in
# .clang-tidy) and cppcheck over every source of common/ console/ image/ hid/
# driver/ and tools/image_gen/ that the linux preset compiles (its static
# file's own build included), and over the Windows sources that the
# windows-i686 preset compiles, and shellcheck over the scripts. Any finding
# fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."

# The compile commands tell both tools how each file is built.
[ -f build/linux/compile_commands.json ] || cmake --preset linux -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null 2>&1
root=$(pwd)
mapfile -t files < <(grep -o '"file": *"[^"]*"' build/linux/compile_commands.json | sed 's/.*"\([^"]*\)"$/\1/' |
  grep -E "^$root/(common|console|image|hid|driver|tools/image_gen)/" | sort -u)
# Compiled only by the static file's own build (against musl): analysed with
# the flags of its neighbours here.
files+=("$root/driver/relro_musl.cpp")
if [ ${#files[@]} -eq 1 ]; then
  echo "no sources found in build/linux/compile_commands.json" >&2
  exit 1
fi

echo "== clang-tidy (${#files[@]} files)"
tidy_status=0
printf '%s\n' "${files[@]}" | xargs -P "$(nproc)" -n 1 clang-tidy -p build/linux --quiet >build/linux/clang-tidy.log 2>&1 ||
  tidy_status=$?
grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' build/linux/clang-tidy.log || true

# The Windows sources, as the windows-i686 preset compiles them: clang-tidy
# takes the cross compiler's target and its own C++ headers.
[ -f build/windows-i686/compile_commands.json ] || cmake --preset windows-i686 >/dev/null 2>&1
mapfile -t windows_files < <(grep -o '"file": *"[^"]*"' build/windows-i686/compile_commands.json |
  sed 's/.*"\([^"]*\)"$/\1/' | grep -E "^$root/(common|console|image|hid|driver)/.*_windows\.cpp$" | sort -u)
windows_args=(--extra-arg=--target=i686-w64-mingw32 --extra-arg=-nostdinc++)
while read -r dir; do
  windows_args+=("--extra-arg-before=-isystem$dir")
done < <(echo | i686-w64-mingw32-g++-posix -xc++ -E -v - 2>&1 |
  sed -n '/#include <...> search starts here:/,/End of search list./p' | sed -n 's/^ \(\/.*\)/\1/p')
echo "== clang-tidy, Windows build (${#windows_files[@]} files)"
printf '%s\n' "${windows_files[@]}" |
  xargs -P "$(nproc)" -n 1 clang-tidy -p build/windows-i686 --quiet "${windows_args[@]}" \
    >build/windows-i686/clang-tidy.log 2>&1 || tidy_status=$?
grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' build/windows-i686/clang-tidy.log || true

echo "== cppcheck"
cppcheck_status=0
# Newer cppcheck (Debian 13's) reports where it limits its branch analysis,
# as information, and fails the run on it.
suppress=(--suppress=missingIncludeSystem --suppress=normalCheckLevelMaxBranches)
cppcheck --enable=warning,style,performance,portability --std=c++17 --language=c++ --inline-suppr \
  "${suppress[@]}" --error-exitcode=1 --quiet -I "$root" -I "$root/common/posix" "${files[@]}" ||
  cppcheck_status=$?
cppcheck --enable=warning,style,performance,portability --std=c++17 --language=c++ --inline-suppr \
  "${suppress[@]}" --error-exitcode=1 --quiet -D_WIN32 -I "$root" -I "$root/common/windows" \
  "${windows_files[@]}" || cppcheck_status=$?

echo "== shellcheck"
shellcheck_status=0
mapfile -t scripts < <(find . -path ./build -prune -o -type f \( -name '*.sh' -o -path ./.ci/run \) -print | sort)
shellcheck "${scripts[@]}" || shellcheck_status=$?

if [ "$tidy_status" -ne 0 ] || [ "$cppcheck_status" -ne 0 ] || [ "$shellcheck_status" -ne 0 ]; then
  echo "static checks found problems (clang-tidy: $tidy_status, cppcheck: $cppcheck_status," \
    "shellcheck: $shellcheck_status)" >&2
  exit 1
fi
echo "static checks clean"
