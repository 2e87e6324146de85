#!/bin/bash
# The demo command: installs what is missing, builds, lays out a demo
# installation root (updater + a plain-folder update server built with
# packwright) in demo-root/ and starts the updater there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh"
build=${BUILD_DIR:-$root/build}
BUILD_DIR=$build BUILD_TARGETS="kestraupd filerelay packwright kestrasample" "$root/scripts/build.sh"
demo=${DEMO_ROOT:-$root/demo-root}
"$root/scripts/make-demo-root.sh" "$build/bin" "$demo" >/dev/null
updater=$demo/kestraupd/kestraupd
echo "Demo installation root: $demo"
echo "  update server (plain folder): $demo/server/projects.xml"

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
    exec "$updater" "$@"
fi

cat <<TXT
No display found, so the main window cannot be shown. To see it, run with a
display (or under Xvfb: xvfb-run -a $updater).
Running headless instead: a run-mode update of the sample program, as a
desktop shortcut would start it:
  QT_QPA_PLATFORM=offscreen $updater --run sampleapp
TXT
QT_QPA_PLATFORM=offscreen "$updater" --run sampleapp
sleep 1
echo
echo "Installed by the updater:"
(cd "$demo" && find sampleapp sampleapp_config -type f | sort | sed 's/^/  /')
echo "The sample program recorded its start (sampleapp/last_run.txt):"
sed 's/^/  /' "$demo/sampleapp/last_run.txt" 2>/dev/null || echo "  (not started)"
echo "Updater log: $demo/kestraupd/logs/$(date +%Y_%m)/$(date +%F).txt"
