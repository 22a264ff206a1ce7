#!/usr/bin/env bash
# Builds the updater for Linux and runs it. Installs what it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup-debian.sh
cmake --preset linux
cmake --build --preset linux
exec build/linux/korvane_updater
