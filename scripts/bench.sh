#!/usr/bin/env bash
# Download benchmark on loopback (not part of the tests). Compares the updater's downloader,
# driven through build/bin/coredriver.exe under Wine, with curl and aria2c:
#   throttled  one 50 MB file, a server of ours limiting each connection to 2 MB/s, 8 connections
#   loopback   the same file from nginx, unthrottled
#   files      500 files of 4-64 KiB from nginx, 8 files at once
#   signed     the 500 files as a whole update session, unsigned list vs signed list (printed
#              on a line of its own before the table)
# Prints a table, our peak working set for the 50 MB file, and as its last line
#   ratios: throttled=<ours/aria2c> loopback=<ours/curl> files=<ours/aria2c>
# Times are wall-clock times of whole processes (Wine's start included for ours).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$root/build/bin

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo -n"
missing=()
command -v curl >/dev/null || missing+=(curl)
command -v aria2c >/dev/null || missing+=(aria2)
command -v nginx >/dev/null || missing+=(nginx-light)
if [ "${#missing[@]}" -gt 0 ]; then
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
[ -f "$bin/coredriver.exe" ] || bash "$root/scripts/build.sh"

work=$(mktemp -d /tmp/mirovane-bench.XXXXXX)
source "$root/scripts/wine-env.sh"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wine_env_stop
  rm -rf "$work"
}
wine_env_start "$work/wine"
trap cleanup EXIT  # after wine_env_start, which sets a trap of its own

# --- data
mkdir -p "$work/www/files" "$work/nginx" "$work/out"
head -c 52428800 /dev/urandom >"$work/www/big.bin"
python3 - "$work" <<'EOF'
import os, random, sys
work = sys.argv[1]
rnd = random.Random(7)
with open(f"{work}/records.txt", "w") as rec:
    for i in range(500):
        name = f"f{i:03d}.bin"
        with open(f"{work}/www/files/{name}", "wb") as f:
            f.write(os.urandom(rnd.randint(4, 64) * 1024))
        rec.write(f"{name}\t1\t-\t0\n")
EOF

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() { for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0; sleep 0.1; done; return 1; }

# --- nginx
nport=$(free_port)
cat >"$work/nginx/nginx.conf" <<EOF
daemon off; master_process off; worker_processes 1;
pid $work/nginx/nginx.pid; error_log $work/nginx/error.log warn;
events { worker_connections 512; }
http {
  access_log off; default_type application/octet-stream; sendfile on;
  client_body_temp_path $work/nginx/b; proxy_temp_path $work/nginx/p; fastcgi_temp_path $work/nginx/f;
  uwsgi_temp_path $work/nginx/u; scgi_temp_path $work/nginx/s;
  server { listen 127.0.0.1:$nport; root $work/www; location / { } }
}
EOF
nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" </dev/null >/dev/null 2>&1 &
pids+=($!)
wait_port "$nport"

# --- throttled server: the tests' fault-injecting server, 2 MB/s per connection, ranges honoured
tport_file=$work/tport
PYTHONPATH=$root/tests/blackbox /usr/bin/python3 - "$work/www/big.bin" "$tport_file" >/dev/null 2>&1 <<'EOF' &
import pathlib, sys, time
from servers import FaultServer
server = FaultServer()
server.add("/big.bin", pathlib.Path(sys.argv[1]).read_bytes(), rate=2 * 1024 * 1024)
pathlib.Path(sys.argv[2]).write_text(str(server.port))
while True:
    time.sleep(3600)
EOF
pids+=($!)
for _ in $(seq 100); do [ -s "$tport_file" ] && break; sleep 0.1; done
[ -s "$tport_file" ] || { echo "bench: the throttled server did not start" >&2; exit 1; }
tport=$(cat "$tport_file")

winpath() { echo "Z:${1//\//\\}"; }
now() { date +%s.%N; }
elapsed() { python3 -c "print(f'{$2 - $1:.2f}')"; }
ratio() { python3 -c "print(f'{$1 / $2:.2f}')"; }
check() { cmp -s "$1" "$work/www/big.bin" || { echo "bench: $2 produced a wrong file" >&2; exit 1; }; }

# --- throttled
t0=$(now); wine "$bin/coredriver.exe" segdownload stop=600 "http://127.0.0.1:$tport/big.bin" "$(winpath "$work/out/ours-t.bin")" 8 0 >"$work/ours-t.txt" </dev/null; t1=$(now)
check "$work/out/ours-t.bin" "ours (throttled)"
ours_t=$(elapsed "$t0" "$t1")
t0=$(now); aria2c -q -x8 -s8 -k1M --allow-overwrite=true --file-allocation=none -d "$work/out" -o aria-t.bin "http://127.0.0.1:$tport/big.bin"; t1=$(now)
check "$work/out/aria-t.bin" "aria2c (throttled)"
aria_t=$(elapsed "$t0" "$t1")

# --- loopback (best of three each: the machine is shared)
best() { python3 -c "import sys; print(f'{min(map(float, sys.argv[1:])):.2f}')" "$@"; }
runs_o=(); runs_c=()
for i in 1 2 3; do
  rm -f "$work/out/ours-l.bin" "$work/out/curl-l.bin"
  t0=$(now); wine "$bin/coredriver.exe" segdownload stop=600 "http://127.0.0.1:$nport/big.bin" "$(winpath "$work/out/ours-l.bin")" 8 0 >"$work/ours-l.txt" </dev/null; t1=$(now)
  check "$work/out/ours-l.bin" "ours (loopback)"; runs_o+=("$(elapsed "$t0" "$t1")")
  t0=$(now); curl -s -o "$work/out/curl-l.bin" "http://127.0.0.1:$nport/big.bin"; t1=$(now)
  check "$work/out/curl-l.bin" "curl (loopback)"; runs_c+=("$(elapsed "$t0" "$t1")")
done
ours_l=$(best "${runs_o[@]}"); curl_l=$(best "${runs_c[@]}")
peak=$(grep -h '^peakws=' "$work/ours-t.txt" "$work/ours-l.txt" | cut -d= -f2 | sort -n | tail -1)

# --- files
sed "s|^|http://127.0.0.1:$nport/files/|; s|\t.*||" "$work/records.txt" >"$work/aria-list.txt"
t0=$(now); wine "$bin/coredriver.exe" schedule stop=600 threadcount=8 "$(winpath "$work/out/ours-files")" "http://127.0.0.1:$nport/files" "$(winpath "$work/records.txt")" 1 >"$work/ours-f.txt" </dev/null; t1=$(now)
grep -q '^done=500' "$work/ours-f.txt" || { echo "bench: ours (files) did not fetch all 500 files" >&2; exit 1; }
ours_f=$(elapsed "$t0" "$t1")
t0=$(now); aria2c -q -j8 --allow-overwrite=true --file-allocation=none -d "$work/out/aria-files" -i "$work/aria-list.txt"; t1=$(now)
[ "$(ls "$work/out/aria-files" | wc -l)" -eq 500 ] || { echo "bench: aria2c (files) did not fetch all 500 files" >&2; exit 1; }
aria_f=$(elapsed "$t0" "$t1")

# --- signed lists: what verification costs on the 500-file case. The same 500 files packed by
# mirovane-pack twice, unsigned and signed; each installed into an empty application directory
# by the core driver's whole update session (check, download, local check, copy), best of two.
# The signed run adds the two signatures' requests and checks and a SHA-256 of every file.
mkdir -p "$work/sig"
hours=$(python3 -c 'import datetime as d; print((d.datetime.now() - d.datetime(2011, 1, 1)) // d.timedelta(hours=1))')
wine "$bin/mirovane-pack.exe" --new-key "$(winpath "$work/sig/vendor")" >"$work/sig/key.txt" </dev/null
listkey=$(sed -n 's/^ListKey=//p' "$work/sig/key.txt" | tr -d '\r')
wine "$bin/mirovane-pack.exe" --no-zip --list list.xml --main-list main.xml "$(winpath "$work/www/files")" "$(winpath "$work/www/plain")" >/dev/null </dev/null
wine "$bin/mirovane-pack.exe" --no-zip --list list.xml --main-list main.xml --key "$(winpath "$work/sig/vendor.key")" \
  "$(winpath "$work/www/files")" "$(winpath "$work/www/signed")" >/dev/null </dev/null
session_run() {  # session_run <plain|signed> <run>: prints the seconds of one whole session
  local app=$work/sig/app-$1-$2 temp=$work/sig/temp-$1-$2 key=""
  mkdir -p "$app" "$temp"
  [ "$1" = signed ] && key=$listkey
  printf '[Mirovane]\r\nOwerCheckTm=%s\r\n' "$hours" >"$temp/mirovane.ini"
  printf '[Mirovane]\r\nLog=inst.log\r\nTempPath=%s\r\nQuickCheck=0\r\nTimeOut=60\r\n[UPDATEINFO]\r\nListURL=http://127.0.0.1:%s/%s/list.xml\r\nMainListURL=http://127.0.0.1:%s/%s/main.xml\r\nListKey=%s\r\n[APPLICATION]\r\nName=Bench\r\nApplication=\r\n' \
    "$(winpath "$temp")" "$nport" "$1" "$nport" "$1" "$key" >"$app/mirovane.ini"
  local t0 t1
  t0=$(now); wine "$bin/coredriver.exe" update "$(winpath "$app")" >"$app/out.txt" </dev/null; t1=$(now)
  grep -q '^copy=12' "$app/out.txt" || { echo "bench: the $1 session did not install (see $app)" >&2; exit 1; }
  [ "$(ls "$app"/f*.bin | wc -l)" -eq 500 ] || { echo "bench: the $1 session installed the wrong files" >&2; exit 1; }
  elapsed "$t0" "$t1"
}
runs_p=(); runs_s=()
for i in 1 2; do runs_p+=("$(session_run plain "$i")"); runs_s+=("$(session_run signed "$i")"); done
plain_s=$(best "${runs_p[@]}"); signed_s=$(best "${runs_s[@]}")
echo "signed lists, 500 files (check, download, install): unsigned ${plain_s} s, signed and verified ${signed_s} s, verification $(python3 -c "print(f'{$signed_s - $plain_s:+.2f}')") s ($(python3 -c "print(f'{($signed_s / $plain_s - 1) * 100:+.1f}')") %)"

printf '%-10s %-44s %9s %9s %7s\n' case what ours_s other_s ratio
printf '%-10s %-44s %9s %9s %7s\n' throttled "50 MB, 2 MB/s per connection, vs aria2c -x8 -s8" "$ours_t" "$aria_t" "$(ratio "$ours_t" "$aria_t")"
printf '%-10s %-44s %9s %9s %7s\n' loopback "50 MB from nginx, vs curl -o (best of 3)" "$ours_l" "$curl_l" "$(ratio "$ours_l" "$curl_l")"
printf '%-10s %-44s %9s %9s %7s\n' files "500 files of 4-64 KiB, 8 at once, vs aria2c -j8" "$ours_f" "$aria_f" "$(ratio "$ours_f" "$aria_f")"
echo "peak working set (50 MB file): $(python3 -c "print(f'{$peak / 1048576:.1f}')") MB"
echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(wine --version)"
echo "ratios: throttled=$(ratio "$ours_t" "$aria_t") loopback=$(ratio "$ours_l" "$curl_l") files=$(ratio "$ours_f" "$aria_f")"
