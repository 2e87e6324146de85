#!/bin/bash
# The whole updater as a desktop shortcut starts it (`kestraupd --run NAME`:
# start-up, the program's update, the updater's own update, the launch and
# the exit), against reference tools in the same run:
#  a. demo root, everything up to date: `kestraupd --run sampleapp` vs the
#     same binary's `--version` (process and Qt start-up);   goal <= 5
#  b. a program of FILES files, up to date, its document unchanged:
#     `kestraupd --run` vs `rsync -a --dry-run` of the same tree against the
#     server folder;                                          goal <= 1.0
#  c. fresh install of SMALL files of 4 KiB from nginx: `kestraupd --run` vs
#     one curl process fetching the same URLs over a kept-alive connection;
#                                                             goal <= 1.3
# Each ratio is the median of the per-round ratios (both sides of a round
# run back to back), which holds better than best times on a busy machine.
# Usage: bench/shortcut/run.sh   (BUILD_DIR: a configured build folder to
# reuse, default build-bench; BIN_DIR: a folder that already holds kestraupd,
# filerelay, packwright and kestrasample; FILES, SMALL: sizes, default 10000
# and 2000; ROUNDS: default 5; WORK: folder for the roots, default a fresh one
# under /tmp; CASES: the letters of the cases to run, default abc)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
files=${FILES:-10000}
small=${SMALL:-2000}
rounds=${ROUNDS:-5}
cases=${CASES:-abc}
want() { [[ $cases == *$1* ]]; }
py=/usr/bin/python3
export QT_QPA_PLATFORM=offscreen

bin=${BIN_DIR:-}
if [ -z "$bin" ]; then
    if [ ! -f "$build/CMakeCache.txt" ]; then
        cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
    fi
    cmake --build "$build" --target kestraupd filerelay packwright kestrasample -j2 >/dev/null
    bin=$build/bin
fi
bin=$(cd "$bin" && pwd)

work=$(mktemp -d "${WORK:-/tmp}/bench-shortcut-XXXXXX")
nginx_pid=""
cleanup() {
    if [ -n "$nginx_pid" ]; then kill "$nginx_pid" 2>/dev/null || true; wait "$nginx_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

updater_guid=ac1dba94-cd1b-402a-9679-8390a3929fa2
app_guid=11111111-1111-4111-8111-111111111111

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.6f", b - a }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# One shortcut start; its launch must have happened (the sample program
# writes last_run.txt in its folder), or the run did not do its job.
run_shortcut() { # $1 updater folder, $2 program name, $3 program folder
    rm -f "$3/last_run.txt"
    "$1/kestraupd" --run "$2" >/dev/null 2>&1
}
launched() { # $1 program folder: the detached sample program may lag a little
    for _ in $(seq 50); do
        [ -f "$1/last_run.txt" ] && return 0
        sleep 0.1
    done
    echo "the program was not launched from $1" >&2
    exit 1
}
# The first start hands a new copy of the updater to the copier; later starts
# of an up-to-date installation have nothing to hand over. Waits until the
# copier has released the installation.
settle() { # $1 install root
    for _ in $(seq 100); do
        pgrep -f "filerelay.*$1" >/dev/null || return 0
        sleep 0.1
    done
}

# An install root with the updater, an update server (plain folder or the
# folder nginx serves) and program "app" registered but not yet on disk.
make_root() { # $1 root, $2 tree of app, $3 source of projects.xml (path or URL)
    local r=$1
    mkdir -p "$r/kestraupd" "$r/server/packs" "$r/stage/kestraupd"
    cp "$bin/kestraupd" "$bin/filerelay" "$r/stage/kestraupd/"
    "$bin/packwright" -m kestraupd -f "$r/stage/kestraupd" -o "$r/server/packs/kestraupd" >/dev/null
    "$bin/packwright" -m app -f "$2" -o "$r/server/packs/app" >/dev/null
    rm -rf "$r/stage"
    cat >"$r/server/projects.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<root><projects>
<project name="kestraupd" type="project" ru_name="updater" is_base="true" guid="$updater_guid">
<bin><x64 path="packs/kestraupd" file_name="update_fileinfo.xml" sha1="" date="" execute_filename="kestraupd" execute_params=""/></bin>
<depends/><do_not_delete><file file_name="config.ini"/><file file_name="installed.json"/></do_not_delete></project>
<project name="app" type="project" ru_name="app" is_base="false" guid="$app_guid">
<bin><x64 path="packs/app" file_name="update_fileinfo.xml" sha1="" date="" execute_filename="kestrasample" execute_params=""/></bin>
<depends/><do_not_delete><file file_name="last_run.txt"/></do_not_delete></project>
</projects></root>
XML
    cp "$bin/kestraupd" "$bin/filerelay" "$r/kestraupd/"
    cat >"$r/kestraupd/config.ini" <<INI
[General]
update_servers_count=1
mirrors_count=0
make_backup=false

[server1]
source_path=$3
local_file_path=main.xml
metod=GET

[projects]
projects_count=1
key1=$app_guid

[config]
version=x64
level=0
INI
    cat >"$r/kestraupd/installed.json" <<JSON
{"programms": [{"programm_name": "app", "display_name": "app", "execute_filename": "kestrasample",
  "execute_params": "", "type": "project"}]}
JSON
}

free_port() { $py -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

start_nginx() { # $1 document root
    local dir=$work/nginx
    mkdir -p "$dir"
    port=$(free_port)
    cat >"$dir/nginx.conf" <<CONF
worker_processes 1;
daemon off;
master_process off;
pid $dir/nginx.pid;
error_log $dir/error.log warn;
events { worker_connections 256; }
http {
  access_log off;
  default_type application/octet-stream;
  client_body_temp_path $dir/body;
  proxy_temp_path $dir/proxy;
  fastcgi_temp_path $dir/fastcgi;
  uwsgi_temp_path $dir/uwsgi;
  scgi_temp_path $dir/scgi;
  sendfile on;
  keepalive_requests 100000;
  server { listen 127.0.0.1:$port; root $1; }
}
CONF
    /usr/sbin/nginx -p "$dir" -c "$dir/nginx.conf" &
    nginx_pid=$!
    for _ in $(seq 100); do
        curl -s -o /dev/null "http://127.0.0.1:$port/" && return 0
        sleep 0.1
    done
    echo "nginx did not start" >&2
    exit 1
}

if want a; then
echo "== a. demo root, up to date: kestraupd --run vs kestraupd --version"
demo=$work/demo
"$root/scripts/make-demo-root.sh" "$bin" "$demo" >/dev/null
for _ in 1 2; do # install, then the hand-over of the updater's own copy
    run_shortcut "$demo/kestraupd" sampleapp "$demo/sampleapp"
    settle "$demo"
done
launched "$demo/sampleapp"
ours=(); refs=(); ratios=()
for _ in $(seq "$rounds"); do
    s=$(now); "$demo/kestraupd/kestraupd" --version >/dev/null 2>&1; e=$(now)
    ref=$(elapsed "$s" "$e")
    s=$(now); run_shortcut "$demo/kestraupd" sampleapp "$demo/sampleapp"; e=$(now)
    mine=$(elapsed "$s" "$e")
    launched "$demo/sampleapp"
    settle "$demo"
    refs+=("$ref"); ours+=("$mine"); ratios+=("$(ratio "$mine" "$ref")")
done
printf 'kestraupd --version: %.3f s median\nkestraupd --run:     %.3f s median\n' "$(median "${refs[@]}")" \
    "$(median "${ours[@]}")"
echo "ratio up-to-date run/--version: $(median "${ratios[@]}") median of rounds (goal <= 5)"
rm -rf "$demo"
fi

if want b; then
echo "== b. $files files, up to date, document unchanged: kestraupd --run vs rsync -a --dry-run"
tree=$work/tree
$py - "$tree" "$files" <<'PY'
import os, random, sys
root, count = sys.argv[1], int(sys.argv[2])
random.seed(7)
for i in range(count):
    folder = os.path.join(root, "d%02d" % (i % 100))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "f%05d.bin" % i), "wb") as f:
        f.write(os.urandom(random.randint(1, 16384)))
PY
cp "$bin/kestrasample" "$tree/"
big=$work/big
make_root "$big" "$tree" "$big/server/projects.xml"
rm -rf "$tree"
for _ in 1 2; do
    run_shortcut "$big/kestraupd" app "$big/app"
    settle "$big"
done
launched "$big/app"
[ "$(find "$big/app" -type f -name 'f*.bin' | wc -l)" -eq "$files" ] || { echo "app not installed whole" >&2; exit 1; }
ours=(); refs=(); ratios=()
for _ in $(seq "$rounds"); do
    s=$(now); rsync -a --dry-run "$big/server/packs/app/app/" "$big/app/" >/dev/null; e=$(now)
    ref=$(elapsed "$s" "$e")
    s=$(now); run_shortcut "$big/kestraupd" app "$big/app"; e=$(now)
    mine=$(elapsed "$s" "$e")
    launched "$big/app"
    settle "$big"
    refs+=("$ref"); ours+=("$mine"); ratios+=("$(ratio "$mine" "$ref")")
done
printf 'rsync -a --dry-run: %.3f s median\nkestraupd --run:    %.3f s median\n' "$(median "${refs[@]}")" \
    "$(median "${ours[@]}")"
echo "ratio up-to-date run/rsync: $(median "${ratios[@]}") median of rounds (goal <= 1.0)"
rm -rf "$big"
fi

if want c; then
echo "== c. fresh install of $small files of 4 KiB from nginx: kestraupd --run vs curl keep-alive"
tree=$work/small
$py - "$tree" "$small" <<'PY'
import os, sys
root, count = sys.argv[1], int(sys.argv[2])
for i in range(count):
    folder = os.path.join(root, "d%02d" % (i % 20))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "s%05d.bin" % i), "wb") as f:
        f.write(os.urandom(4096))
PY
cp "$bin/kestrasample" "$tree/"
web=$work/web
start_nginx "$web/server"
base=http://127.0.0.1:$port
make_root "$web" "$tree" "$base/projects.xml"
rm -rf "$tree"
list=$work/curl.list
(cd "$web/server/packs/app" && find app -type f | sort | while read -r f; do
    printf 'url = "%s/packs/app/%s"\noutput = "%s/curl-out/%s"\n' "$base" "$f" "$work" "$f"
done) >"$list"
# The updater's own copy is brought up to date once, untimed: each round
# then installs the program alone, as a workstation's first start of it does.
run_shortcut "$web/kestraupd" app "$web/app"
settle "$web"
ours=(); refs=(); ratios=()
for _ in $(seq "$rounds"); do
    rm -rf "$work/curl-out" "$web/app"
    s=$(now); curl -s --create-dirs -K "$list"; e=$(now)
    ref=$(elapsed "$s" "$e")
    s=$(now); run_shortcut "$web/kestraupd" app "$web/app"; e=$(now)
    mine=$(elapsed "$s" "$e")
    launched "$web/app"
    settle "$web"
    refs+=("$ref"); ours+=("$mine"); ratios+=("$(ratio "$mine" "$ref")")
done
count=$(find "$web/app" -type f -name 's*.bin' | wc -l)
[ "$count" -eq "$small" ] || { echo "installed $count of $small files" >&2; exit 1; }
printf 'curl (keep-alive): %.3f s median\nkestraupd --run:   %.3f s median\n' "$(median "${refs[@]}")" \
    "$(median "${ours[@]}")"
echo "ratio fresh install run/curl: $(median "${ratios[@]}") median of rounds (goal <= 1.3)"
fi
echo "load average while measured: $(cut -d' ' -f1-3 /proc/loadavg)"
