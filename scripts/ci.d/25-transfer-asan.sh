#!/bin/bash
# Downloads and hashing once more under AddressSanitizer, LeakSanitizer and
# UBSan: the per-thread network managers live and die with their threads,
# replies and resumed downloads are freed while servers misbehave on purpose. Shares the
# sanitizer build folder of 20-sanitize.sh, so only these tests compile here.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build}-asan
tests=(tst_transfer tst_fileops)

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DKESTRA_SANITIZE=ON >/dev/null
cmake --build "$build" --target "${tests[@]}" -j"$(nproc)" >/dev/null

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:halt_on_error=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$root/tests/transfer/data/lsan.supp
pattern="^($(IFS='|'; echo "${tests[*]}"))\$"
cd "$build"
ctest -R "$pattern" --output-on-failure -j"$(nproc)" --timeout 600
