#!/bin/bash
# Drives the demo as a clinic user would, on a virtual display (Xvfb) with a
# light window manager (openbox), by mouse and keyboard (xdotool): update,
# run, shortcut, install an optional module, cancel a change, settings, and
# closing the updater. Saves a screenshot of every step in the folder given
# as argument (default: screenshots/drive) for review; what passes or fails
# is decided on files and exit codes only.
#
# Builds nothing: ${BUILD_DIR:-build}/bin must hold kestraupd, filerelay,
# packwright, kestrasample and kestrashots (the screen grabber). Needs xvfb,
# openbox and xdotool (scripts/packages.txt). Every wait is bounded, the
# whole run ends after DRIVE_SECONDS (default 300), and everything it starts
# is stopped by its process id. KEEP_DRIVE_ROOT=1 keeps the demo root.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build}
bin=$build/bin
out=$(realpath -m "${1:-screenshots/drive}")
limit=${DRIVE_SECONDS:-300}

for tool in Xvfb openbox xdotool; do
    command -v "$tool" >/dev/null || { echo "drive: $tool is missing (scripts/packages.txt)" >&2; exit 2; }
done
for program in kestraupd filerelay packwright kestrasample kestrashots; do
    [ -x "$bin/$program" ] || { echo "drive: $bin/$program is missing; build first" >&2; exit 2; }
done

work=$(mktemp -d /tmp/kestra-drive-XXXXXX)
demo=$work/demo
mkdir -p "$out" "$work/home/Desktop"
rm -f "$out"/*.png
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_DATA_HOME=$work/home/.local/share
export XDG_RUNTIME_DIR=$work/runtime QT_QPA_PLATFORM=xcb
mkdir -p -m 700 "$XDG_RUNTIME_DIR"
unset WAYLAND_DISPLAY

xvfb_pid= wm_pid= updater_pid=
cleanup() {
    local pid
    trap '' TERM
    for pid in $updater_pid $wm_pid $xvfb_pid $(cat "$work/watchdog" 2>/dev/null); do
        kill "$pid" 2>/dev/null || true
    done
    for pid in $updater_pid $wm_pid $xvfb_pid; do
        wait "$pid" 2>/dev/null || true
    done
    [ -n "${KEEP_DRIVE_ROOT:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
trap 'echo "drive: FAIL: no result within $limit s" >&2; exit 1' TERM
# The watchdog's sleep is stopped by its id at the end; only a sleep that
# ran out ends the run.
(
    sleep "$limit" &
    echo $! >"$work/watchdog"
    wait $! && kill -TERM $$
) 2>/dev/null &

# The screen part that holds the main window and the active window, with
# their frames, as "X Y WIDTH HEIGHT"; empty before the main window is up.
# Under openbox xdotool reports a client's Y one title bar (20) too low.
main=
shot_area() {
    local left=100000 top=100000 right=0 bottom=0 wid X Y WIDTH HEIGHT
    for wid in $main $(xdotool getactivewindow 2>/dev/null); do
        eval "$(xdotool getwindowgeometry --shell "$wid" 2>/dev/null)" || continue
        ((X - 4 < left)) && left=$((X - 4))
        ((Y - 44 < top)) && top=$((Y - 44))
        ((X + WIDTH + 4 > right)) && right=$((X + WIDTH + 4))
        ((Y + HEIGHT - 14 > bottom)) && bottom=$((Y + HEIGHT - 14))
    done
    ((right > left)) || return 0
    ((left < 0)) && left=0
    ((top < 0)) && top=0
    echo "$left $top $((right - left)) $((bottom - top))"
}
step=0
shot() { # name
    step=$((step + 1))
    # shellcheck disable=SC2046 # the area is four numbers
    "$bin/kestrashots" --grab "$out/$(printf '%02d' "$step")-$1.png" $(shot_area) >/dev/null 2>&1 \
        || echo "drive: screenshot $1 not saved" >&2
}
fail() {
    echo "drive: FAIL: $*" >&2
    shot failure
    exit 1
}
ok() { echo "drive: ok: $*"; }

# Waits (at most $2 seconds, default 20) until the active window's title
# contains $1, and prints that window's id.
wait_active() {
    local i title
    for ((i = 0; i < ${2:-20} * 5; i++)); do
        title=$(xdotool getactivewindow getwindowname 2>/dev/null || true)
        if [[ "$title" == *"$1"* ]]; then
            xdotool getactivewindow
            return 0
        fi
        sleep 0.2
    done
    fail "no window \"$1\" (active: \"${title:-none}\")"
}
wait_file() { # path [seconds]
    local i
    for ((i = 0; i < ${2:-20} * 5; i++)); do
        [ -e "$1" ] && return 0
        sleep 0.2
    done
    fail "$1 did not appear"
}
# A click at a point of a window, in the window's own coordinates (the
# windows open at their designed sizes, so the controls are where the
# screenshots show them).
click() { xdotool mousemove --window "$1" "$2" "$3" click 1; sleep 0.3; }
press() { xdotool key "$@"; sleep 0.3; }

# --- the display, the window manager and the demo installation ---
# DRIVE_DISPLAY (":57") names the display; by default Xvfb takes a free one.
if [ -n "${DRIVE_DISPLAY:-}" ]; then
    Xvfb "$DRIVE_DISPLAY" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
    xvfb_pid=$!
    echo "${DRIVE_DISPLAY#:}" >"$work/display"
else
    exec 3>"$work/display"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
    xvfb_pid=$!
    exec 3>&-
fi
export DISPLAY=
for ((i = 0; i < 50; i++)); do
    if [ -s "$work/display" ]; then
        DISPLAY=:$(head -n 1 "$work/display")
        xdotool getdisplaygeometry >/dev/null 2>&1 && break
    fi
    sleep 0.2
done
xdotool getdisplaygeometry >/dev/null 2>&1 || fail "Xvfb did not start: $(tail -n 3 "$work/xvfb.log")"
openbox --sm-disable >"$work/openbox.log" 2>&1 &
wm_pid=$!
sleep 1
kill -0 "$wm_pid" 2>/dev/null || fail "openbox did not start: $(tail -n 3 "$work/openbox.log")"
"$root/scripts/make-demo-root.sh" "$bin" "$demo" >/dev/null
ok "display $DISPLAY, demo root $demo"

# --- start: the updater updates itself, then shows the main window ---
"$demo/kestraupd/kestraupd" >"$work/updater.out" 2>&1 &
updater_pid=$!
main=$(wait_active "Установка программ (" 60)
sleep 0.5
shot main-window
[ -x "$demo/updater_temp/kestraupd" ] || fail "the start did not assemble the updater's next copy"
ok "main window; the updater's next copy is in updater_temp"

# --- update everything installed: the registered program gets its files ---
click "$main" 504 187 # "Обновить"
wait_active "Установка (обновление) программ" >/dev/null
wait_file "$demo/sampleapp/kestrasample" 60
wait_file "$demo/sampleapp_config/settings.ini" 30
sleep 1
shot update-run
press Escape # the run has ended: the dialog closes
wait_active "Установка программ (" >/dev/null
ok "update installed the sample program"

# --- run it ---
click "$main" 132 69 # the row "Регистратура (демо)"
shot program-chosen
click "$main" 504 37 # "Запустить"
wait_file "$demo/sampleapp/last_run.txt" 20
grep -q "^cwd=$demo/sampleapp\$" "$demo/sampleapp/last_run.txt" || fail "the program ran elsewhere"
ok "the program started in its folder"

# --- a desktop shortcut ---
click "$main" 504 240 # "Создать ярлык"
wait_active "Создать ярлык" >/dev/null
shot shortcut-choice
press Return # "На рабочем столе"
wait_active "Создание ярлыка" >/dev/null
shot shortcut-created
press Return
link="$HOME/Desktop/Регистратура (демо).desktop"
[ -f "$link" ] || fail "no shortcut on the desktop"
grep -qx "Exec=$demo/kestraupd/kestraupd --run sampleapp" "$link" || fail "the shortcut does not start a run"
grep -qx "Icon=$demo/kestraupd/kestraupd.png" "$link" || fail "the shortcut lacks the edition's icon"
[ -f "$demo/kestraupd/kestraupd.png" ] || fail "the edition's icon is not beside the updater"
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$link" || fail "the shortcut is no valid desktop entry"
fi
ok "desktop shortcut with the edition's icon"

# --- install the optional module ---
wait_active "Установка программ (" >/dev/null
click "$main" 504 90 # "Установить"
wait_active "Выберите программы для установки" >/dev/null
# The program row is current: open it, go to its optional module, tick it.
press Right
press Down Down space
shot module-ticked
press Return # "Ок"
wait_active "Установка (обновление) программ" >/dev/null
wait_file "$demo/sampleapp_reports/templates/summary.txt" 60
sleep 1
shot module-installed
press Escape
wait_active "Установка программ (" >/dev/null
grep -q '"plugin_name": "sampleapp_reports"' "$demo/kestraupd/installed.json" || fail "the module is not registered"
ok "optional module installed and registered"

# --- change of mind: untick the module, then "Отмена" ---
registry=$(sha1sum <"$demo/kestraupd/installed.json")
click "$main" 504 90
selection=$(wait_active "Выберите программы для установки")
press Right
press Down Down space
shot module-unticked
click "$selection" 515 328 # "Отмена"
wait_active "Установка программ (" >/dev/null
sleep 1
[ -f "$demo/sampleapp_reports/templates/summary.txt" ] || fail "a cancelled change removed the module"
[ "$(sha1sum <"$demo/kestraupd/installed.json")" = "$registry" ] || fail "a cancelled change rewrote the registry"
ok "cancelled change left everything as it was"

# --- settings: both tabs, a sorted key table, "Отмена" ---
config=$(sha1sum <"$demo/kestraupd/config.ini")
click "$main" 504 358 # "Настройки"
settings=$(wait_active "Настройки")
shot settings-connection
press ctrl+Tab
shot settings-projects
click "$settings" 163 57 # the header "Ключ проекта"
shot settings-sorted
click "$settings" 438 351 # "Отмена"
wait_active "Установка программ (" >/dev/null
[ "$(sha1sum <"$demo/kestraupd/config.ini")" = "$config" ] || fail "cancelled settings changed config.ini"
ok "settings opened, sorted and cancelled"

# --- close the updater: it ends with 0 and hands its next copy over ---
press alt+F4
status=
for ((i = 0; i < 100; i++)); do
    if ! kill -0 "$updater_pid" 2>/dev/null; then
        wait "$updater_pid" && status=0 || status=$?
        break
    fi
    sleep 0.2
done
updater_pid=
[ -n "$status" ] || fail "the updater did not end after its window was closed"
[ "$status" -eq 0 ] || fail "the updater ended with $status: $(tail -n 5 "$work/updater.out")"
[ -x "$demo/kestraupd/kestraupd" ] || fail "the updater's executable is gone after the hand-over"
ok "updater closed with exit code 0"
echo "drive: all steps passed; screenshots in $out"
