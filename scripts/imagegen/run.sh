#!/bin/bash
# Redraws updater/updater/core/images/*.png. Needs qtbase5-dev and fonts-dejavu-core.
set -e
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
g++ -std=c++17 -fPIC "$here/imagegen.cpp" -o "$tmp/imagegen" $(pkg-config --cflags --libs Qt5Gui)
QT_QPA_PLATFORM=offscreen "$tmp/imagegen" "$here/../../updater/updater/core/images"
rm -rf "$tmp"
