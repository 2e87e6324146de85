#!/bin/bash
# The windows driven as a clinic user would, on a virtual display with a
# window manager (scripts/screenshots/drive.sh): update, run, shortcut, an
# optional module, a cancelled change, settings and closing. Passes on the
# files and exit codes the script checks; the screenshots it saves stay in
# the build folder for review. Bounded: the script's own limit, and timeout
# ends it by its process id should that not hold.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build}
DRIVE_SECONDS=240 BUILD_DIR=$build timeout --kill-after=10 300 \
    bash "$root/scripts/screenshots/drive.sh" "$build/drive-screenshots"
