#!/bin/bash
# Renders every window and dialog of the updater to PNG files in the folder
# given as argument (default: screenshots/ in the current folder), headless.
# Builds the renderer into ${BUILD_DIR:-build} first. Needs fonts-dejavu-core
# (in scripts/packages.txt) for the Cyrillic texts.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
out=$(realpath -m "${1:-screenshots}")
build=${BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" --target kestrashots -j"$(nproc)" >/dev/null
mkdir -p "$out"
QT_QPA_PLATFORM=offscreen "$build/bin/kestrashots" "$out"
