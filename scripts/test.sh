#!/bin/bash
# The test command: installs what is missing, builds and runs every test.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh"
build=${BUILD_DIR:-$root/build}
BUILD_DIR=$build "$root/scripts/build.sh"
export QT_QPA_PLATFORM=offscreen
cd "$build"
ctest --output-on-failure -j"$(nproc)" --timeout 600 | tee ctest.log
total=$(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' ctest.log | tail -1)
# Further checks with their own build or runner (sanitizer builds, fuzzing,
# the Windows platform layer under wine): one script each, run in name order.
for step in "$root"/scripts/ci.d/*.sh; do
    [ -e "$step" ] || continue
    echo "== $(basename "$step")"
    BUILD_DIR=$build bash "$step"
done
echo "all steps passed"
echo "ctest: ${total:-0} passed, 0 failed"
# Tests are held to at most 0.45 of the product code, counted in non-blank
# lines of C++ under tests/ and under updater/.
lines() { find "$root/$1" -type f \( -name '*.cpp' -o -name '*.h' \) -exec cat {} + | grep -cv '^[[:space:]]*$'; }
tests=$(lines tests) code=$(lines updater)
echo "test lines: $tests against $code of product code, ratio $(awk "BEGIN { printf \"%.2f\", $tests / $code }")"
