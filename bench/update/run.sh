#!/bin/bash
# The install engine against reference tools, in one run (the headless
# installdriver runs one whole InstallThread run; its output goes to a file):
#  1. up-to-date check of an installation of FILES files (about TOTAL_MB MiB)
#     whose document did not change, vs rsync -a --dry-run of the same tree
#     against the server folder;            goal <= 1.0
#  2. the same check with a changed document (every file hashed), vs sha1sum
#     of the same files;                      goal <= 1.1 (stretch < 0.7)
#  3. fresh install of SMALL files of 4 KiB from nginx, vs curl fetching the
#     same URLs over one kept-alive connection;   goal <= 1.3
#  4. a BIG_MB MiB file installed from nginx: peak memory of the driver;
#     goal < 64 MiB.
# Usage: bench/update/run.sh   (BUILD_DIR: a configured build folder to reuse,
# default build-bench; DRIVER / PACKWRIGHT: already built binaries to use;
# FILES, TOTAL_MB, SMALL, BIG_MB: sizes; ROUNDS: default 3, best kept;
# WORK: folder for the trees, default a fresh one under /tmp)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
files=${FILES:-10000}
total_mb=${TOTAL_MB:-1024}
small=${SMALL:-2000}
big_mb=${BIG_MB:-1024}
rounds=${ROUNDS:-3}
py=/usr/bin/python3

driver=${DRIVER:-}
packwright=${PACKWRIGHT:-}
if [ -z "$driver" ] || [ -z "$packwright" ]; then
    if [ ! -f "$build/CMakeCache.txt" ]; then
        cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
    fi
    cmake --build "$build" --target installdriver packwright -j2 >/dev/null
    driver=${driver:-$build/bin/installdriver}
    packwright=${packwright:-$build/bin/packwright}
fi

work=$(mktemp -d "${WORK:-/tmp}/bench-update-XXXXXX")
nginx_pid=""
cleanup() {
    if [ -n "$nginx_pid" ]; then kill "$nginx_pid" 2>/dev/null || true; wait "$nginx_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

guid=11111111-1111-4111-8111-111111111111

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.6f", b - a }'; }
min() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b < a) ? b : a }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
# median of the per-round ratios (each round runs both sides back to back),
# steadier than the ratio of best times on a busy machine
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.2f", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# project document with one program "app" whose pack is packs/app
write_project() { # $1 server folder
    cat >"$1/project.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<root><projects>
<project name="app" type="project" ru_name="app" is_base="false" guid="$guid">
<bin><x64 path="packs/app" file_name="update_fileinfo.xml" sha1="" date="" execute_filename="" execute_params=""/></bin>
<depends/><do_not_delete/></project>
</projects></root>
XML
}

# an installation root with the driver in its updater folder
make_root() { # $1 root, $2 source_path of the project document
    mkdir -p "$1/install/updater"
    cp "$driver" "$1/install/updater/installdriver"
    cat >"$1/install/updater/config.ini" <<INI
[General]
update_servers_count=1
[server1]
source_path=$2
local_file_path=main.xml
metod=GET
[projects]
projects_count=1
key1=$guid
INI
}

run_driver() { # $1 root; output kept for checking
    "$1/install/updater/installdriver" --config "$1/install/updater/config.ini" \
        --installed "$1/installed.json" --update app >"$1/driver.out" 2>"$1/driver.err"
    if grep -q '^error' "$1/driver.out"; then
        echo "driver reported errors:" >&2
        grep '^error' "$1/driver.out" | head -5 >&2
        exit 1
    fi
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

echo "== building the trees and packs"
# 1 and 2: many files of mixed sizes in 100 folders (safe names, so the pack's
# data tree has the installed names and rsync compares like with like)
big_tree=$work/tree
$py - "$big_tree" "$files" "$total_mb" <<'PY'
import os, random, sys
root, count, total = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]) * 1024 * 1024
random.seed(7)
weights = [random.random() + 0.05 for _ in range(count)]
scale = total / sum(weights)
for i, w in enumerate(weights):
    folder = os.path.join(root, "d%02d" % (i % 100))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "f%05d.bin" % i), "wb") as f:
        f.write(os.urandom(max(1, int(w * scale))))
PY
local_server=$work/server-local
mkdir -p "$local_server/packs"
"$packwright" -m app -f "$big_tree" -o "$local_server/packs/app" >/dev/null
write_project "$local_server"
r1=$work/root1
make_root "$r1" "$local_server/project.xml"
run_driver "$r1" # first installation, not timed
installed=$r1/install/app

echo "== 1. up-to-date check, unchanged document ($files files, $total_mb MiB)"
best_ours=""; best_ref=""; ratios=()
for _ in $(seq "$rounds"); do
    s=$(now); rsync -a --dry-run "$local_server/packs/app/app/" "$installed/" >/dev/null; e=$(now)
    ref=$(elapsed "$s" "$e"); best_ref=$(min "$best_ref" "$ref")
    s=$(now); run_driver "$r1"; e=$(now)
    ours=$(elapsed "$s" "$e"); best_ours=$(min "$best_ours" "$ours")
    ratios+=("$(ratio "$ours" "$ref")")
done
grep -q "Обновлен файл" "$r1/driver.out" && { echo "an up-to-date run replaced files" >&2; exit 1; }
printf 'rsync -a --dry-run: %.3f s\ninstalldriver:      %.3f s\n' "$best_ref" "$best_ours"
echo "ratio up-to-date/rsync: $(ratio "$best_ours" "$best_ref") best, $(median "${ratios[@]}") median of rounds (goal <= 1.0)"

echo "== 2. changed document: every file hashed"
best_ours=""; best_ref=""; ratios=()
for _ in $(seq "$rounds"); do
    s=$(now)
    (cd "$installed" && find . -type f ! -name update_fileinfo.xml -print0 | xargs -0 sha1sum >/dev/null)
    e=$(now)
    ref=$(elapsed "$s" "$e"); best_ref=$(min "$best_ref" "$ref")
    echo "<!-- changed -->" >>"$installed/update_fileinfo.xml"
    s=$(now); run_driver "$r1"; e=$(now)
    ours=$(elapsed "$s" "$e"); best_ours=$(min "$best_ours" "$ours")
    ratios+=("$(ratio "$ours" "$ref")")
done
grep -q "Обновлен файл" "$r1/driver.out" && { echo "a hashing run replaced files" >&2; exit 1; }
printf 'sha1sum:       %.3f s\ninstalldriver: %.3f s\n' "$best_ref" "$best_ours"
echo "ratio hashed check/sha1sum: $(ratio "$best_ours" "$best_ref") best, $(median "${ratios[@]}") median of rounds (goal <= 1.1, stretch < 0.7)"
rm -rf "$r1" "$big_tree" "$local_server"

echo "== 3. fresh install of $small files of 4 KiB from nginx"
web=$work/server-web
small_tree=$work/small
$py - "$small_tree" "$small" <<'PY'
import os, sys
root, count = sys.argv[1], int(sys.argv[2])
for i in range(count):
    folder = os.path.join(root, "d%02d" % (i % 20))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "s%05d.bin" % i), "wb") as f:
        f.write(os.urandom(4096))
PY
mkdir -p "$web/packs"
"$packwright" -m app -f "$small_tree" -o "$web/packs/app" >/dev/null
write_project "$web"
start_nginx "$web"
base=http://127.0.0.1:$port
list=$work/curl.list
(cd "$web/packs/app" && find app -type f | sort | while read -r f; do
    printf 'url = "%s/packs/app/%s"\noutput = "%s/curl-out/%s"\n' "$base" "$f" "$work" "$f"
done) >"$list"
r3=$work/root3
best_ours=""; best_ref=""; ratios=()
for _ in $(seq "$rounds"); do
    rm -rf "$work/curl-out"
    s=$(now); curl -s --create-dirs -K "$list"; e=$(now)
    ref=$(elapsed "$s" "$e"); best_ref=$(min "$best_ref" "$ref")
    rm -rf "$r3"
    make_root "$r3" "$base/project.xml"
    s=$(now); run_driver "$r3"; e=$(now)
    ours=$(elapsed "$s" "$e"); best_ours=$(min "$best_ours" "$ours")
    ratios+=("$(ratio "$ours" "$ref")")
done
count=$(grep -c "Обновлен файл" "$r3/driver.out")
[ "$count" -eq "$small" ] || { echo "installed $count of $small files" >&2; exit 1; }
printf 'curl (keep-alive): %.3f s\ninstalldriver:     %.3f s\n' "$best_ref" "$best_ours"
echo "ratio fresh install/curl: $(ratio "$best_ours" "$best_ref") best, $(median "${ratios[@]}") median of rounds (goal <= 1.3)"
rm -rf "$r3" "$work/curl-out"

echo "== 4. one file of $big_mb MiB from nginx: peak memory"
rm -rf "$web/packs/app" "$small_tree"
big=$work/bigtree
mkdir -p "$big"
head -c "$((big_mb * 1024 * 1024))" /dev/urandom >"$big/big.bin"
"$packwright" -m app -f "$big" -o "$web/packs/app" >/dev/null
rm -rf "$big"
r4=$work/root4
make_root "$r4" "$base/project.xml"
peak_kib=$($py - "$r4" <<'PY'
import resource, subprocess, sys
r = sys.argv[1]
exe = r + "/install/updater/installdriver"
with open(r + "/driver.out", "wb") as out:
    subprocess.run([exe, "--config", r + "/install/updater/config.ini", "--installed", r + "/installed.json",
                    "--update", "app"], stdout=out, stderr=subprocess.DEVNULL, check=True)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
PY
)
grep -q "Обновлен файл" "$r4/driver.out" || { echo "the big file was not installed" >&2; grep '^error' "$r4/driver.out" >&2; exit 1; }
cmp -s "$r4/install/app/big.bin" "$web/packs/app/app/big.bin" || { echo "big file differs" >&2; exit 1; }
awk -v k="$peak_kib" 'BEGIN { printf "peak memory of the driver: %.1f MiB (goal < 64 MiB)\n", k / 1024 }'
