#!/bin/bash
# Every product source as the Windows build sees it: updater/**/*.cpp, with the
# _win halves in place of the _linux ones, through the mingw-w64 compiler
# (POSIX threads variant, the one that has std::thread and std::mutex)
# against Qt's headers, syntax only. A Windows-only compile error then shows
# here instead of on the first Windows build. Debian's Qt headers are those
# of its Linux build: the declarations a Windows Qt has, with the feature
# switches of Linux; the compiler sees Windows (_WIN32) and so does Qt.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build}
out=$build/wincompile
cxx=x86_64-w64-mingw32-g++-posix
qt=$(qmake -query QT_INSTALL_HEADERS 2>/dev/null || echo /usr/include/x86_64-linux-gnu/qt5)
qtversion=$(sed -n 's/^#define QT_VERSION_STR "\(.*\)"/\1/p' "$qt/QtCore/qtcore-config.h" "$qt/QtCore/qconfig.h" \
    "$qt/QtCore/qtcoreversion.h" 2>/dev/null | head -n 1)
uic=/usr/lib/qt5/bin/uic

rm -rf "$out"
mkdir -p "$out/ui" "$out/ssl1" "$out/ssl2" "$out/logs"
# The designer forms become the headers the windows include.
for form in $(find "$root/updater" -name '*.ui'); do
    "$uic" "$form" -o "$out/ui/ui_$(basename "$form" .ui).h"
done
# Sources that hold a Q_OBJECT class include what moc makes of them.
for source in $(grep -rl --include='*.cpp' '^#include ".*\.moc"' "$root/updater" || true); do
    /usr/lib/qt5/bin/moc "$source" -o "$out/ui/$(basename "$source" .cpp).moc"
done
# OpenSSL's headers without the rest of /usr/include, whose C library
# headers would hide mingw's own.
ln -s /usr/include/openssl "$out/ssl1/openssl"
ln -s "/usr/include/$(gcc -dumpmachine)/openssl" "$out/ssl2/openssl"

flags=(-std=c++17 -fsyntax-only -Wall -Wextra -Werror -DUNICODE -D_UNICODE -DQT_MESSAGELOGCONTEXT
    -DFILERELAY_VERSION='"0"' -DPACKWRIGHT_VERSION='"0"'
    -isystem "$qt" -I"$out/ui" -isystem "$out/ssl1" -isystem "$out/ssl2")
for module in QtCore QtGui QtWidgets QtNetwork QtXml; do
    flags+=(-isystem "$qt/$module")
    [ -n "$qtversion" ] && flags+=(-isystem "$qt/$module/$qtversion" -isystem "$qt/$module/$qtversion/$module")
done
for folder in $(find "$root/updater" -name '*.h' -printf '%h\n' | sort -u); do
    flags+=(-I"$folder")
done

mapfile -t sources < <(find "$root/updater" -name '*.cpp' ! -name '*_linux.cpp' | sort)
export cxx out
printf '%s\n' "${flags[@]}" >"$out/flags"
check_one() {
    local source=$1 log
    log=$out/logs/$(echo "${source#"$root"/}" | tr '/' '_').txt
    mapfile -t flags <"$out/flags"
    if ! "$cxx" "${flags[@]}" "$source" >"$log" 2>&1; then
        echo "FAILED: ${source#"$root"/}"
        head -n 30 "$log"
        return 1
    fi
}
export -f check_one
export root
status=0
printf '%s\n' "${sources[@]}" | xargs -P "$(nproc)" -I{} bash -c 'check_one "$1"' _ {} || status=$?
if [ "$status" -ne 0 ]; then
    echo "wincompile: some of ${#sources[@]} sources do not compile for Windows"
    exit 1
fi
echo "wincompile: ${#sources[@]} sources compile for Windows"
