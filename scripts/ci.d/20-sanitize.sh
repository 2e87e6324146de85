#!/bin/bash
# The project document model, the installed-programs registry and the
# project loading, the pack reader and the pack builder (its copies run on
# several threads) once more, built with AddressSanitizer, LeakSanitizer and
# UBSan in a build folder of their own: a double free, a use after free or a
# leaked record fails the run. Only these tests and what they link are built.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build}-asan
tests=(tst_registry tst_servers tst_fileinfoscan tst_packwright)

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DKESTRA_SANITIZE=ON >/dev/null
cmake --build "$build" --target "${tests[@]}" -j"$(nproc)"

export QT_QPA_PLATFORM=offscreen
asan=detect_leaks=1:abort_on_error=0:halt_on_error=1:detect_stack_use_after_return=1
export LSAN_OPTIONS=suppressions=$root/tests/fuzz/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
pattern="^($(IFS='|'; echo "${tests[*]}"))\$"
cd "$build"
# The registry test feeds Qt's JSON parser a document on which Qt itself
# loses a few bytes; unwinding fully through Qt lets the suppression name
# that function. The other tests keep the fast unwinder.
ASAN_OPTIONS=$asan ctest -R "$pattern" -E '^tst_registry$' --output-on-failure -j"$(nproc)" --timeout 600
ASAN_OPTIONS=$asan:fast_unwind_on_malloc=0 ctest -R '^tst_registry$' --output-on-failure --timeout 600
