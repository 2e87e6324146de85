#!/bin/bash
# fetchFile against curl: 2,000 files of 4 KiB from nginx on 127.0.0.1.
# Usage: bench/transfer/run.sh   (BUILD_DIR: a configured build folder to
# reuse; FILES, SIZE, ROUNDS override 2000, 4096 and 5)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build-bench}

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" --target bench_transfer -j2 >/dev/null
"$build/bin/bench_transfer" "${FILES:-2000}" "${SIZE:-4096}" "${ROUNDS:-5}"
