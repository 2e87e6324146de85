#!/bin/bash
# calcHash against sha1sum over the same 1 GiB file, in one run.
# Usage: bench/hash/run.sh   (BUILD_DIR: a configured build folder to reuse;
# SIZE_MB: file size, default 1024; ROUNDS: default 3, best of each kept)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
size_mb=${SIZE_MB:-1024}
rounds=${ROUNDS:-3}

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" --target bench_hash -j2 >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
file=$work/data.bin
head -c "$((size_mb * 1024 * 1024))" /dev/urandom >"$file"
cat "$file" >/dev/null # both read from the page cache

best_ref=""
for _ in $(seq "$rounds"); do
    start=$(date +%s.%N)
    ref_digest=$(sha1sum "$file" | cut -d' ' -f1)
    end=$(date +%s.%N)
    t=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.6f", b - a }')
    if [ -z "$best_ref" ] || awk -v t="$t" -v b="$best_ref" 'BEGIN { exit !(t < b) }'; then best_ref=$t; fi
done

result=$("$build/bin/bench_hash" "$file" "$rounds")
ours=$(echo "$result" | awk '$1 == "seconds" {print $2}')
our_digest=$(echo "$result" | awk '$1 == "digest" {print $2}')

if [ "$our_digest" != "$ref_digest" ]; then
    echo "digest mismatch: calcHash $our_digest, sha1sum $ref_digest" >&2
    exit 1
fi
printf 'file: %d MiB\n' "$size_mb"
printf 'sha1sum:  %.3f s\n' "$best_ref"
printf 'calcHash: %.3f s\n' "$ours"
awk -v a="$ours" -v b="$best_ref" 'BEGIN { printf "ratio calcHash/sha1sum: %.2f (goal <= 0.67)\n", a / b }'
