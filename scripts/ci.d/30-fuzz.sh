#!/bin/bash
# libFuzzer runs of the readers of untrusted files: the project document
# (with the written mirror form read back), installed.json, the pack's
# file-information document. A clang build folder
# of its own builds only these targets and the libraries they link,
# instrumented for coverage, AddressSanitizer and UBSan; each target runs for
# a bounded time from the seed corpus in tests/fuzz/corpus. A failing input
# is printed and left in the work folder: keep it under
# tests/fuzz/regressions/<target>/ so the ordinary tests replay it.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=${BUILD_DIR:-$root/build}-fuzz
seconds=${FUZZ_SECONDS:-45}

CC=${FUZZ_CC:-clang} CXX=${FUZZ_CXX:-clang++} cmake -S "$root" -B "$work" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKESTRA_SANITIZE=ON -DKESTRA_FUZZ=ON -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link" >/dev/null
cmake --build "$work" --target fuzz_project fuzz_installed fuzz_fileinfo -j"$(nproc)"

status=0
for target in project installed fileinfo; do
    binary="$work/bin/fuzz_$target"
    corpus="$work/corpus-$target"
    artifacts="$work/artifacts-$target"
    rm -rf "$corpus" "$artifacts"
    mkdir -p "$corpus" "$artifacts"
    cp "$root/tests/fuzz/corpus/$target/"* "$corpus/"
    echo "== fuzz_$target for ${seconds}s"
    if ! ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        LSAN_OPTIONS=suppressions=$root/tests/fuzz/lsan-fuzz.supp:print_suppressions=0 \
        "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=16384 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" 2>"$work/fuzz_$target.log"; then
        tail -n 60 "$work/fuzz_$target.log"
        echo "fuzz_$target found a failing input; keep it under tests/fuzz/regressions/$target/:"
        ls -l "$artifacts/"
        status=1
    else
        grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$work/fuzz_$target.log" || true
    fi
done
exit $status
