#!/bin/bash
# Bytes on the wire, read from nginx's access log:
#  1. an up-to-date start of a module of FILES files: what nginx sends for
#     the module besides the project document, against the size of its
#     file-information document (what every start cost before the checksum
#     file was read);                           goal < 2 KiB per module
#  2. one file of BIG_MB MiB whose connection a relay in front of nginx cuts
#     twice (at 40 % and 80 % of the file): bytes nginx sent against the
#     file's size;                              goal < 15 % extra
# Usage: bench/transfer/bytes.sh   (BUILD_DIR: a configured build folder to
# reuse, default build-bench; DRIVER / PACKWRIGHT: already built binaries;
# FILES default 10000, BIG_MB default 512; ROUNDS default 3, median printed)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
files=${FILES:-10000}
big_mb=${BIG_MB:-512}
rounds=${ROUNDS:-3}
py=/usr/bin/python3
driver=${DRIVER:-}
packwright=${PACKWRIGHT:-}
if [ -z "$driver" ] || [ -z "$packwright" ]; then
    [ -f "$build/CMakeCache.txt" ] || cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$build" --target installdriver packwright -j2 >/dev/null
    driver=${driver:-$build/bin/installdriver}
    packwright=${packwright:-$build/bin/packwright}
fi
work=$(mktemp -d "${WORK:-/tmp}/bench-bytes-XXXXXX")
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
guid=11111111-1111-4111-8111-111111111111
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
free_port() { $py -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

start_nginx() { # $1 document root; sets port, log
    local dir=$work/nginx
    mkdir -p "$dir"
    port=$(free_port)
    log=$dir/access.log
    cat >"$dir/nginx.conf" <<CONF
worker_processes 1;
daemon off;
master_process off;
pid $dir/nginx.pid;
error_log $dir/error.log warn;
events { worker_connections 256; }
http {
  log_format sent '\$request_uri \$status \$bytes_sent';
  access_log $log sent;
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
    pids+=($!)
    for _ in $(seq 100); do
        curl -s -o /dev/null "http://127.0.0.1:$port/" && return 0
        sleep 0.1
    done
    echo "nginx did not start" >&2
    exit 1
}

make_root() { # $1 root, $2 project document URL
    mkdir -p "$1/install/updater"
    cp "$driver" "$1/install/updater/installdriver"
    printf '[General]\nupdate_servers_count=1\n[server1]\nsource_path=%s\nlocal_file_path=main.xml\nmetod=GET\n[projects]\nprojects_count=1\nkey1=%s\n' \
        "$2" "$guid" >"$1/install/updater/config.ini"
}

run_driver() { # $1 root
    "$1/install/updater/installdriver" --config "$1/install/updater/config.ini" \
        --installed "$1/installed.json" --update app >"$1/driver.out" 2>"$1/driver.err"
    if grep -q '^error' "$1/driver.out"; then
        echo "driver reported errors:" >&2
        grep '^error' "$1/driver.out" | head -5 >&2
        exit 1
    fi
}

web=$work/web
mkdir -p "$web/packs"
cat >"$web/project.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<root><projects>
<project name="app" type="project" ru_name="app" is_base="false" guid="$guid">
<bin><x64 path="packs/app" file_name="update_fileinfo.xml" sha1="" date="" execute_filename="" execute_params=""/></bin>
<depends/><do_not_delete/></project>
</projects></root>
XML

echo "== 1. up-to-date start of a module of $files files"
$py - "$work/tree" "$files" <<'PY'
import os, sys
root, count = sys.argv[1], int(sys.argv[2])
for i in range(count):
    folder = os.path.join(root, "d%02d" % (i % 100))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "f%05d.bin" % i), "wb") as f:
        f.write(b"%d\n" % i)
PY
"$packwright" -m app -f "$work/tree" -o "$web/packs/app" >/dev/null
start_nginx "$web"
r1=$work/root1
make_root "$r1" "http://127.0.0.1:$port/project.xml"
run_driver "$r1" # the installation, not counted
document=$(stat -c %s "$web/packs/app/update_fileinfo.xml")
counts=()
for _ in $(seq "$rounds"); do
    : >"$log"
    run_driver "$r1"
    sleep 0.3 # nginx writes the log line after the response
    counts+=("$(awk '$1 !~ /project\.xml$/ { s += $3 } END { print s + 0 }' "$log")")
done
bytes=$(median "${counts[@]}")
echo "file-information document: $document bytes (what every start fetched before)"
echo "up-to-date start, bytes for the module: $bytes (median of $rounds; goal < 2048)"
kill "${pids[-1]}"; wait "${pids[-1]}" 2>/dev/null || true; unset 'pids[-1]'
rm -rf "$web/packs/app" "$work/tree" "$r1"

echo "== 2. one file of $big_mb MiB, connection cut twice"
mkdir -p "$work/big"
head -c "$((big_mb * 1024 * 1024))" /dev/urandom >"$work/big/big.bin"
"$packwright" -m app -f "$work/big" -o "$web/packs/app" >/dev/null
rm -rf "$work/big"
start_nginx "$web"
relay_port=$(free_port)
# Forwards to nginx; the first two transfers of the big file are cut once
# 40 % (then 80 %) of the file has passed in total, as a broken link would.
$py - "$relay_port" "$port" "$((big_mb * 1024 * 1024))" <<'PY' &
import socket, sys, threading
listen, upstream, size = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
cuts = [size * 2 // 5, size * 4 // 5]
state = {"passed": 0}
lock = threading.Lock()
def pump(src, dst, count):
    try:
        while True:
            data = src.recv(65536)
            if not data:
                break
            if count:
                with lock:
                    state["passed"] += len(data)
                    cut = cuts and state["passed"] >= cuts[0]
                    if cut:
                        cuts.pop(0)
                if cut:
                    break
            dst.sendall(data)
    except OSError:
        pass
    for s in (src, dst):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        s.close()
server = socket.socket()
server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
server.bind(("127.0.0.1", listen))
server.listen(16)
while True:
    client, _ = server.accept()
    nginx = socket.create_connection(("127.0.0.1", upstream))
    threading.Thread(target=pump, args=(client, nginx, False), daemon=True).start()
    threading.Thread(target=pump, args=(nginx, client, True), daemon=True).start()
PY
pids+=($!)
sleep 0.5
r2=$work/root2
make_root "$r2" "http://127.0.0.1:$relay_port/project.xml"
: >"$log"
run_driver "$r2"
sleep 0.3
sent=$(awk '$1 ~ /big\.bin$/ { s += $3 } END { print s + 0 }' "$log")
requests=$(awk '$1 ~ /big\.bin$/' "$log" | wc -l)
file=$((big_mb * 1024 * 1024))
[ "$(stat -c %s "$r2/install/app/big.bin")" -eq "$file" ] || { echo "big.bin not installed whole" >&2; exit 1; }
echo "requests for the file: $requests; bytes sent: $sent of $file"
awk -v s="$sent" -v f="$file" 'BEGIN { printf "extra bytes: %.1f %% (goal < 15 %%)\n", (s - f) * 100 / f }'
