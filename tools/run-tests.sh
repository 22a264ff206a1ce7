#!/usr/bin/env bash
# Builds every preset and runs every test, then a complete update under
# valgrind, the static checks and the fuzzers (about 30 s each). Installs
# what it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup-debian.sh

for preset in linux linux-asan windows-i686; do
  echo "== $preset =="
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done

echo "== memcheck of a complete update"
tools/memcheck-update.sh

echo "== static checks"
tools/static-checks.sh

echo "== fuzzing"
tools/run-fuzzers.sh
