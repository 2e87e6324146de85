#!/bin/bash
# The settings store is read by install threads while the GUI thread writes
# it: run its concurrency test under ThreadSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build}-tsan
cmake -S "$root" -B "$build" -DKESTRA_TSAN=ON -DCMAKE_BUILD_TYPE=Debug -DKESTRA_TEST_ONLY=foundation >/dev/null
cmake --build "$build" --target tst_settings -j"$(nproc)" >/dev/null
TSAN_OPTIONS="halt_on_error=1 suppressions=$root/tests/foundation/data/tsan.supp" \
    QT_QPA_PLATFORM=offscreen "$build/bin/tst_settings"
