#!/bin/bash
# The Windows platform layer, checked for real: platform_win.cpp, the file
# layer (updater/common/winfile_win.cpp), the process list
# (processlist_win.cpp) and the command-line rules (commandline.cpp) are
# cross-built with mingw-w64 together with tests/platform/wincheck.cpp and run
# under wine.
# Everything wine writes stays inside the build folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build}
out=$build/wincheck
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64

mkdir -p "$out"
x86_64-w64-mingw32-g++ -std=c++17 -municode -static -O1 -Wall -Wextra -Werror \
    -I"$root/updater/updater/core" -I"$root/updater/common" \
    "$root/tests/platform/wincheck.cpp" "$root/updater/updater/core/platform_win.cpp" \
    "$root/updater/common/winfile_win.cpp" "$root/updater/common/processlist_win.cpp" \
    "$root/updater/updater/core/commandline.cpp" \
    -o "$out/wincheck.exe" -lole32 -luuid -lshell32

rm -rf "$out/run"
mkdir -p "$out/home"
export WINEPREFIX="$out/prefix" HOME="$out/home" WINEDEBUG=-all WINEARCH=win64
# No menu entries or desktop links in anyone's home, no Mono or Gecko prompts.
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
trap '"$wineserver" -k >/dev/null 2>&1 || true' EXIT

status=0
timeout 240 "$wine" "$out/wincheck.exe" 2>"$out/wine-stderr.txt" || status=$?
if [ "$status" -ne 0 ]; then
    echo "wincheck failed with exit code $status; wine's messages:"
    tail -n 20 "$out/wine-stderr.txt" || true
fi
exit "$status"
