#!/bin/bash
# libFuzzer runs of the two readers of untrusted files: the project document
# (with the written mirror form read back) and installed.json. Each target is
# compiled with clang from just the sources it needs and runs for a bounded
# time from the seed corpus in tests/fuzz/corpus. A crash input is left in
# the work folder and printed; keep it under tests/fuzz/regressions/<target>/
# so the ordinary tests replay it.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=${BUILD_DIR:-$root/build}-fuzz
seconds=${FUZZ_SECONDS:-45}
cxx=${FUZZ_CXX:-clang++}
mkdir -p "$work/obj"

read -r -a qtflags <<<"$(pkg-config --cflags Qt5Core Qt5Xml Qt5Network)"
read -r -a qtlibs <<<"$(pkg-config --libs Qt5Core Qt5Xml Qt5Network)"
flags=(-std=c++17 -g -O1 -fPIC -fno-omit-frame-pointer -DQT_MESSAGELOGCONTEXT -DQT_NO_DEBUG_OUTPUT
       -fsanitize=address,undefined -fno-sanitize-recover=undefined
       -I"$root/updater/common" -I"$root/updater/updater" -I"$root/tests/fuzz" "${qtflags[@]}")

sources=(updater/common/xmlguard.cpp updater/common/localfile.cpp updater/common/sha1digest_qt.cpp
         updater/updater/projectdescription.cpp updater/updater/settings.cpp
         updater/updater/settings_registry.cpp updater/updater/settings_projects.cpp
         updater/updater/edition.cpp updater/updater/transfer.cpp updater/updater/networkaccess.cpp
         updater/updater/platform.cpp updater/updater/platform_linux.cpp updater/updater/commandline.cpp
         tests/fuzz/fuzzsupport.cpp)
objects=()
for src in "${sources[@]}"; do
    obj="$work/obj/$(basename "${src%.cpp}").o"
    "$cxx" "${flags[@]}" -fsanitize=fuzzer-no-link -c "$root/$src" -o "$obj" &
    objects+=("$obj")
    # two at a time
    while [ "$(jobs -rp | wc -l)" -ge "$(nproc)" ]; do wait -n; done
done
wait

status=0
for target in project installed; do
    binary="$work/fuzz_$target"
    "$cxx" "${flags[@]}" -fsanitize=fuzzer "$root/tests/fuzz/fuzz_$target.cpp" "${objects[@]}" \
        "${qtlibs[@]}" -o "$binary"
    corpus="$work/corpus-$target"
    rm -rf "$corpus" "$work/artifacts-$target"
    mkdir -p "$corpus" "$work/artifacts-$target"
    cp "$root/tests/fuzz/corpus/$target/"* "$corpus/"
    echo "== fuzz_$target for ${seconds}s"
    if ! ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
        "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=16384 \
        -print_final_stats=1 -artifact_prefix="$work/artifacts-$target/" "$corpus" 2>"$work/fuzz_$target.log"; then
        tail -n 60 "$work/fuzz_$target.log"
        echo "fuzz_$target found a failing input; keep it under tests/fuzz/regressions/$target/:"
        ls -l "$work/artifacts-$target/"
        status=1
    else
        grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$work/fuzz_$target.log" || true
    fi
done
exit $status
