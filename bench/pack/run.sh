#!/bin/bash
# packwright against the work it replaces, in one run: sha1sum over every
# file of a tree plus cp -r of that tree, versus packwright building a pack
# of the same tree (it hashes each file while copying it).
# Tree: a few large files and 5,000 small ones, about 1 GiB together.
# Usage: bench/pack/run.sh   (BUILD_DIR: a configured build folder to reuse;
# LARGE_MB: size of each of the 4 large files, default 200; SMALL: number of
# small files, default 5000; ROUNDS: default 3, best time of each side kept;
# WORK: folder for the trees, default a fresh one under /tmp; PACKWRIGHT: an
# already built packwright to use instead of building one)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
large_mb=${LARGE_MB:-200}
small=${SMALL:-5000}
rounds=${ROUNDS:-3}

packwright=${PACKWRIGHT:-}
if [ -z "$packwright" ]; then
    if [ ! -f "$build/CMakeCache.txt" ]; then
        cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
    fi
    cmake --build "$build" --target packwright -j2 >/dev/null
    packwright=$build/bin/packwright
fi

work=$(mktemp -d "${WORK:-/tmp}/bench-pack-XXXXXX")
trap 'rm -rf "$work"' EXIT
tree=$work/tree
mkdir -p "$tree"
for i in 1 2 3 4; do
    head -c "$((large_mb * 1024 * 1024))" /dev/urandom >"$tree/large_$i.bin"
done
# Small files from 1 KiB to about 80 KiB in 50 folders, some with names
# that get hashed names in the pack.
/usr/bin/python3 - "$tree" "$small" <<'PY'
import os, random, sys
root, count = sys.argv[1], int(sys.argv[2])
random.seed(7)
for i in range(count):
    folder = os.path.join(root, "dir_%02d" % (i % 50) if i % 7 else "папка %02d" % (i % 50))
    os.makedirs(folder, exist_ok=True)
    name = ("file_%05d.dat" % i) if i % 5 else ("файл %05d.dat" % i)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(os.urandom(random.randint(1024, 80 * 1024)))
PY
files=$(find "$tree" -type f | wc -l)
bytes=$(du -sb "$tree" | cut -f1)

settle() {
    rm -rf "$work/ref" "$work/out"
    # Earlier writes reach the disk before the next timing starts, and both
    # sides read the tree from the page cache.
    sync
    find "$tree" -type f -exec cat {} + >/dev/null
}
# Runs a command under bash's time; prints "wall cpu" (cpu = user + system
# of the command and its children).
timed() {
    local TIMEFORMAT='%R %U %S'
    { time "$@" >/dev/null 2>&1; } 2>"$work/time"
    awk '{ printf "%.3f %.3f\n", $1, $2 + $3 }' "$work/time"
}
better() { [ -z "$2" ] || awk -v t="$1" -v b="$2" 'BEGIN { exit !(t < b) }'; }

best_ref=""
best_ours=""
cpu_ref=""
cpu_ours=""
ratios=()
export tree work
for _ in $(seq "$rounds"); do
    settle
    last_ref=$(timed bash -c 'cd "$tree" && find . -type f -print0 | xargs -0 sha1sum >"$work/ref.sha1" && cp -r "$tree" "$work/ref"')
    read -r wall cpu <<<"$last_ref"
    if better "$wall" "$best_ref"; then best_ref=$wall; fi
    if better "$cpu" "$cpu_ref"; then cpu_ref=$cpu; fi

    settle
    ref_wall=$(awk '{ print $1 }' <<<"$last_ref")
    read -r wall cpu < <(timed "$packwright" -m mod -f "$tree" -o "$work/out")
    if better "$wall" "$best_ours"; then best_ours=$wall; fi
    if better "$cpu" "$cpu_ours"; then cpu_ours=$cpu; fi
    ratios+=("$(awk -v a="$wall" -v b="$ref_wall" 'BEGIN { printf "%.4f", a / b }')")
done

# Same content: the pack lists every file once with the digest sha1sum gave.
ref_hashes=$(cut -d' ' -f1 "$work/ref.sha1" | sort)
our_hashes=$(grep -o 'hash="[0-9a-f]*"' "$work/out/update_fileinfo.xml" | cut -d'"' -f2 | sort)
if [ "$ref_hashes" != "$our_hashes" ]; then
    echo "pack digests differ from sha1sum" >&2
    exit 1
fi

printf 'tree: %d files, %.0f MiB\n' "$files" "$(awk -v b="$bytes" 'BEGIN { print b / 1048576 }')"
printf 'best of %d rounds, wall (cpu):\n' "$rounds"
printf 'sha1sum + cp -r: %.3f s (%.3f s)\n' "$best_ref" "$cpu_ref"
printf 'packwright:      %.3f s (%.3f s)\n' "$best_ours" "$cpu_ours"
awk -v a="$best_ours" -v b="$best_ref" -v c="$cpu_ours" -v d="$cpu_ref" \
    'BEGIN { printf "ratio packwright/(sha1sum + cp -r): %.2f wall, %.2f cpu (goal <= 1.00)\n", a / b, c / d }'
# On a busy machine the ratio of the two runs of one round is steadier.
printf '%s\n' "${ratios[@]}" | sort -n | awk '{ r[NR] = $1 } END {
    m = (NR % 2) ? r[(NR + 1) / 2] : (r[NR / 2] + r[NR / 2 + 1]) / 2
    printf "median of per-round wall ratios: %.2f\n", m }'
