#!/bin/bash
# The test command: installs what is missing, builds and runs every test.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh"
build=${BUILD_DIR:-$root/build}
BUILD_DIR=$build "$root/scripts/build.sh"
export QT_QPA_PLATFORM=offscreen
cd "$build"
ctest --output-on-failure -j"$(nproc)" --timeout 600
# Further checks with their own build or runner (sanitizer builds, fuzzing,
# the Windows platform layer under wine): one script each, run in name order.
for step in "$root"/scripts/ci.d/*.sh; do
    [ -e "$step" ] || continue
    echo "== $(basename "$step")"
    BUILD_DIR=$build bash "$step"
done
