#!/usr/bin/env bash
# Download benchmark on loopback (not part of the tests). Compares the updater's downloader,
# driven through build/bin/coredriver.exe under Wine, with curl and aria2c:
#   throttled  one 50 MB file, a server of ours limiting each connection to 2 MB/s, 8 connections
#   loopback   the same file from nginx, unthrottled
#   files      500 files of 4-64 KiB from nginx, 8 files at once
#   check      the remote check with nothing to update (/checkforupdates, a 500-record list and
#              a 200-entry main list on nginx) beside a bare start (/emptytemp), and the bytes
#              nginx sent for a first check and for a second check of the unchanged release
#   signed     the 500 files as a whole update session, unsigned list vs signed list (printed
#              on a line of its own before the table)
#   sessions   whole sessions through mirovane.exe /silence (check, download, local check, copy,
#              finish) into an empty application directory: the 50 MB file from nginx, the same
#              throttled, the 500 files; beside aria2c's download alone, with a breakdown by step
#              from the updater's own log ([Mirovane] LogTiming=1), best of three (throttled: one)
#   delta      binary patches for two release pairs: the 32-bit mirovane.exe at HEAD (build/bin)
#              and at an older commit (DELTA_OLD, default HEAD~5: built once in a temporary
#              worktree, kept in build/delta-bench/; DELTA_NEW names another new file), and the
#              sample host, versions 1 and 2;
#              bytes of the file, its zipped copy, our patch (mirovane-pack --previous) and
#              bsdiff's, and seconds on a throttled server (2 MB/s per connection): the zipped
#              copy fetched, against the patch fetched and applied
# Prints a table, the peak working sets, and as its last line
#   ratios: session=<50 MB session/aria2c -x8> session_throttled=<.../aria2c> session_files=<.../aria2c -j8>
#           peak=<50 MB session/baseline.exe> throttled=<ours/aria2c> loopback=<ours/curl>
#           files=<ours/aria2c> check=<check/bare> nochange_bytes=<n> exe_bytes=<n>
#           delta=<our patch/zipped copy, mirovane.exe pair>
# (exe_bytes: the shipped 32-bit build/bin/mirovane.exe; baseline.exe only loads what the
# updater loads, the floor under this Wine).
# Times are wall-clock times of whole processes (Wine's start included for ours).
# `bash scripts/bench.sh check` runs the check case alone, `bash scripts/bench.sh delta` the delta case.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/win-arch.sh"
win_arch_detect "$root"
bin=$MV_RUN_BIN

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo -n"
missing=()
command -v curl >/dev/null || missing+=(curl)
command -v aria2c >/dev/null || missing+=(aria2)
command -v nginx >/dev/null || missing+=(nginx-light)
command -v bsdiff >/dev/null || missing+=(bsdiff)
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

# --- delta: patches for real release pairs
# The 32-bit mirovane.exe built at <commit>, once: a temporary worktree, kept in build/delta-bench/.
delta_exe_at() {
  local commit cache wt
  commit=$(git -C "$root" rev-parse --verify "$1^{commit}")
  cache=$root/build/delta-bench/mirovane-$commit.exe
  if [ ! -f "$cache" ]; then
    echo "delta: building mirovane.exe at $commit (once)" >&2
    wt=$(mktemp -d /tmp/mirovane-delta.XXXXXX)
    git -C "$root" worktree add -q --detach "$wt/src" "$commit"
    cp -r "$root/third_party" "$wt/src/"
    cmake -S "$wt/src" -B "$wt/build" -DCMAKE_TOOLCHAIN_FILE="$wt/src/cmake/mingw-i686.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DMIROVANE_TESTS=OFF >/dev/null
    cmake --build "$wt/build" -j2 --target mirovane -- --no-print-directory >/dev/null
    mkdir -p "$(dirname "$cache")"
    cp "$wt/build/bin/mirovane.exe" "$cache"
    git -C "$root" worktree remove --force "$wt/src"
    rm -rf "$wt"
  fi
  echo "$cache"
}
dwin() { local p=${1//\//\\}; echo "Z:$p"; }
bench_delta() {
  local dw=$work/delta old new name pair out zip_b patch_b bs_b port_file dport t0 t1 zip_s patch_s apply_ms
  local old_commit=${DELTA_OLD:-HEAD~5}
  [ -f "$root/build/bin/mirovane.exe" ] || bash "$root/scripts/build.sh"
  command -v bsdiff >/dev/null || { echo "bench: bsdiff is missing (Debian package bsdiff)" >&2; exit 1; }
  mkdir -p "$dw/www"
  printf '%-12s %9s %9s %9s %9s %8s %8s %7s %7s %8s\n' pair file zipped ours bsdiff ours/zip bs/zip zip_s patch_s apply_ms
  for pair in mirovane sample-host; do
    if [ "$pair" = mirovane ]; then
      old=$(delta_exe_at "$old_commit"); new=${DELTA_NEW:-$root/build/bin/mirovane.exe}; name=mirovane.exe
    else
      old=$root/build/bin/mirovane-sample-host.exe; new=$root/build/bin/mirovane-sample-host-2.exe; name=host.exe
    fi
    mkdir -p "$dw/$pair/old" "$dw/$pair/new"
    cp "$old" "$dw/$pair/old/$name"; cp "$new" "$dw/$pair/new/$name"
    out=$(wine "$bin/mirovane-pack.exe" --previous "$(dwin "$dw/$pair/old")" "$(dwin "$dw/$pair/new")" \
          "$(dwin "$dw/$pair/out")" </dev/null | tr -d '\r')
    zip_b=$(stat -c %s "$dw/$pair/out/$name._.zip")
    # The patch's bytes, also when it was not worth writing ("no patch ... N bytes, more than half").
    patch_b=$(printf '%s\n' "$out" | sed -n -e 's/^wrote .*\.zpatch (\([0-9]*\) bytes)$/\1/p' \
              -e 's/^no patch for .*: \([0-9]*\) bytes, more than half.*/\1/p' | head -1)
    [ -n "$patch_b" ] || { echo "bench: mirovane-pack made no patch for $pair: $out" >&2; exit 1; }
    bsdiff "$dw/$pair/old/$name" "$dw/$pair/new/$name" "$dw/$pair/bsdiff.patch"
    bs_b=$(stat -c %s "$dw/$pair/bsdiff.patch")
    zip_s=- patch_s=- apply_ms=-
    if ls "$dw/$pair/out/"*.zpatch >/dev/null 2>&1; then
      cp "$dw/$pair/out/$name._.zip" "$dw/www/$pair.zip"
      cp "$dw/$pair/out/"*.zpatch "$dw/www/$pair.zpatch"
      # The throttled case's server: 2 MB/s per connection, ranges honoured.
      port_file=$dw/port-$pair
      PYTHONPATH=$root/tests/blackbox /usr/bin/python3 - "$dw/www" "$pair" "$port_file" >/dev/null 2>&1 <<'EOF' &
import pathlib, sys, time
from servers import FaultServer
server = FaultServer()
for ext in ("zip", "zpatch"):
    f = pathlib.Path(sys.argv[1]) / f"{sys.argv[2]}.{ext}"
    server.add("/" + f.name, f.read_bytes(), rate=2 * 1024 * 1024)
pathlib.Path(sys.argv[3]).write_text(str(server.port))
while True:
    time.sleep(3600)
EOF
      pids+=($!)
      for _ in $(seq 100); do [ -s "$port_file" ] && break; sleep 0.1; done
      [ -s "$port_file" ] || { echo "bench: the delta server did not start" >&2; exit 1; }
      dport=$(cat "$port_file")
      t0=$(date +%s.%N)
      wine "$bin/coredriver.exe" segdownload stop=120 "http://127.0.0.1:$dport/$pair.zip" "$(dwin "$dw/$pair/got.zip")" 8 0 >/dev/null </dev/null
      t1=$(date +%s.%N)
      cmp -s "$dw/$pair/got.zip" "$dw/www/$pair.zip" || { echo "bench: the zipped $pair arrived damaged" >&2; exit 1; }
      zip_s=$(python3 -c "print(f'{$t1 - $t0:.2f}')")
      t0=$(date +%s.%N)
      wine "$bin/coredriver.exe" segdownload stop=120 "http://127.0.0.1:$dport/$pair.zpatch" "$(dwin "$dw/$pair/got.zpatch")" 8 0 >/dev/null </dev/null
      t1=$(date +%s.%N)
      # Applying is timed inside the process, from the bytes in memory to the file written.
      apply_ms=$(wine "$bin/coredriver.exe" applypatch "$(dwin "$dw/$pair/old/$name")" "$(dwin "$dw/$pair/got.zpatch")" \
                 "$(dwin "$dw/$pair/rebuilt")" </dev/null | tr -d '\r' | sed -n 's/^ms=//p')
      cmp -s "$dw/$pair/rebuilt" "$new" || { echo "bench: the patch for $pair did not rebuild the new file" >&2; exit 1; }
      patch_s=$(python3 -c "print(f'{$t1 - $t0 + $apply_ms / 1000:.2f}')")
    fi
    printf '%-12s %9s %9s %9s %9s %8s %8s %7s %7s %8s\n' "$pair" "$(stat -c %s "$new")" "$zip_b" "$patch_b" "$bs_b" \
      "$(python3 -c "print(f'{$patch_b / $zip_b:.3f}')")" "$(python3 -c "print(f'{$bs_b / $zip_b:.3f}')")" \
      "$zip_s" "$patch_s" "$apply_ms"
    if [ "$pair" = mirovane ]; then delta_ratio=$(python3 -c "print(f'{$patch_b / $zip_b:.3f}')"); fi
  done
  echo "delta: mirovane.exe at $(git -C "$root" rev-parse --short "$old_commit") -> ${DELTA_NEW:-build/bin (HEAD $(git -C "$root" rev-parse --short HEAD))}; zip_s: the zipped copy fetched (one process, Wine's start included); patch_s: the patch fetched the same way plus the time its applying took; goal: ours/zip <= 0.15 and ours <= bsdiff for mirovane.exe, patch_s < zip_s"
}
if [ "${1:-}" = delta ]; then
  bench_delta
  echo "ratios: delta=$delta_ratio"
  exit 0
fi

# --- check: the remote check with nothing to update (its own nginx, whose access log counts bytes)
bench_check() {
  local runs=${CHECK_RUNS:-5} cw=$work/check name="Mirovane Bench" cport exe
  mkdir -p "$cw/www" "$cw/nginx" "$cw/temp" "$cw/prod"
  cport=$(free_port)
  cat >"$cw/nginx/nginx.conf" <<EOF
daemon off; master_process off; worker_processes 1;
pid $cw/nginx/nginx.pid; error_log $cw/nginx/error.log warn;
events { worker_connections 64; }
http {
  log_format bytes '\$status \$bytes_sent \$request_uri';
  client_body_temp_path $cw/nginx/b; proxy_temp_path $cw/nginx/p; fastcgi_temp_path $cw/nginx/f;
  uwsgi_temp_path $cw/nginx/u; scgi_temp_path $cw/nginx/s;
  server { listen 127.0.0.1:$cport; root $cw/www; access_log $cw/nginx/access.log bytes; location / { } }
}
EOF
  nginx -p "$cw/nginx" -c "$cw/nginx/nginx.conf" </dev/null >/dev/null 2>&1 &
  pids+=($!)
  wait_port "$cport"
  local appdir="$WINEPREFIX/drive_c/Brenwick/omra/$name"
  mkdir -p "$appdir"
  python3 - "$cw/www" "$appdir" <<'PY'
import pathlib, sys
www, app = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
rec = ['<file path="bin\\f%03d.dll" ver="1.0.%d" desname="f%03d.dll"/>' % (i, i, i) for i in range(500)]
main = ['<file path="m/g%03d.dat" ver="2.%d"/>' % (i, i) for i in range(200)]
www.joinpath("list.xml").write_text("<update>\n" + "\n".join(rec) + "\n</update>\n")
www.joinpath("main.xml").write_text("<update>\n" + "\n".join(main) + "\n</update>\n")
# The installed list already holds every record: nothing to update.
app.joinpath("mirovane.xml").write_text("<update>\n" + "\n".join(rec + main[::-1]) + "\n</update>\n")
PY
  printf '[Mirovane]\r\nMode=\r\nShowWhenCheck=0\r\nQuickCheck=0\r\nCheckLostFile=0\r\nLog=inst.log\r\nTempPath=%s\r\n[UPDATEINFO]\r\nListURL=http://127.0.0.1:%s/list.xml\r\nMainListURL=http://127.0.0.1:%s/main.xml\r\n[APPLICATION]\r\nName=%s\r\n' \
    "$(winpath "$cw/temp")" "$cport" "$cport" "$name" >"$cw/prod/settings.ini"
  wine "$bin/mirovane-embed.exe" "$(winpath "$bin/mirovane.exe")" "$(winpath "$cw/prod/settings.ini")" \
    "$(winpath "$cw/prod/bench.exe")" </dev/null >/dev/null
  exe=$(winpath "$cw/prod/bench.exe")
  # The last refresh is this hour, so that no hidden copy runs beside the measured check.
  check_stamp() {
    local hours
    hours=$(python3 -c 'import datetime as d; print((d.datetime.now()-d.datetime(2011,1,1))//d.timedelta(hours=1))')
    printf '[Mirovane]\r\nOwerCheckTm=%s\r\n' "$hours" >"$cw/temp/mirovane.ini"
  }
  # A first check: the cached lists forgotten, the stamp kept.
  check_cold() { find "$cw/temp" -mindepth 1 ! -name mirovane.ini -delete; check_stamp; }
  # Median wall time in milliseconds of `runs` runs; `prep` runs before each.
  check_measure() {
    local word=$1 prep=$2 times=() t0 t1 out
    for _ in $(seq "$runs"); do
      $prep
      t0=$(date +%s%N)
      out=$(wine "$bin/runexit.exe" 120000 "$exe" "$word" </dev/null | tr -d "\r")
      t1=$(date +%s%N)
      [ "${out#exit=}" = 0 ] || { echo "bench: unexpected exit code for $word: $out" >&2; exit 1; }
      times+=($(((t1 - t0) / 1000000)))
    done
    printf '%s\n' "${times[@]}" | sort -n | sed -n "$(((runs + 1) / 2))p"
  }
  # Bytes nginx sent (headers included) for one check.
  check_bytes() {
    : >"$cw/nginx/access.log"
    wine "$bin/runexit.exe" 120000 "$exe" /checkforupdates </dev/null >/dev/null
    sleep 0.2
    awk '{ n += $2 } END { print n + 0 }' "$cw/nginx/access.log"
  }
  check_cold
  check_bare=$(check_measure /emptytemp true)
  check_first=$(check_measure /checkforupdates check_cold)
  check_again=$(check_measure /checkforupdates true)
  check_cold
  first_bytes=$(check_bytes)
  nochange_bytes=$(check_bytes)
  check_ratio=$(ratio "$check_first" "$check_bare")
  echo "check: bare start (/emptytemp) ${check_bare} ms; first check (/checkforupdates, 500 + 200 records) ${check_first} ms: ratio ${check_ratio} (goal: under 2)"
  echo "check: second check of the unchanged release ${check_again} ms: ratio $(ratio "$check_again" "$check_bare")"
  echo "check: bytes nginx sent: first check ${first_bytes}, second check ${nochange_bytes} (goal: at most 1024)"
}
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

winpath() { echo "Z:${1//\//\\}"; }
# The 50 MB file as a release of its own, for the whole-session cases.
mkdir -p "$work/rel/big"
ln "$work/www/big.bin" "$work/rel/big/big.bin"
wine "$bin/mirovane-pack.exe" --no-zip --list list.xml --main-list main.xml "$(winpath "$work/rel/big")" "$(winpath "$work/www/sbig")" >/dev/null </dev/null

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
# It also serves the 50 MB release packed for the whole-session case (the file throttled alike).
PYTHONPATH=$root/tests/blackbox /usr/bin/python3 - "$work/www/big.bin" "$tport_file" "$work/www/sbig" >/dev/null 2>&1 <<'EOF' &
import pathlib, sys, time
from servers import FaultServer
server = FaultServer()
server.add("/big.bin", pathlib.Path(sys.argv[1]).read_bytes(), rate=2 * 1024 * 1024)
for f in pathlib.Path(sys.argv[3]).iterdir():
    body = f.read_bytes()
    server.add("/sbig/" + f.name, body, rate=2 * 1024 * 1024 if len(body) > 1024 * 1024 else None)
pathlib.Path(sys.argv[2]).write_text(str(server.port))
while True:
    time.sleep(3600)
EOF
pids+=($!)
for _ in $(seq 100); do [ -s "$tport_file" ] && break; sleep 0.1; done
[ -s "$tport_file" ] || { echo "bench: the throttled server did not start" >&2; exit 1; }
tport=$(cat "$tport_file")

now() { date +%s.%N; }
elapsed() { python3 -c "print(f'{$2 - $1:.2f}')"; }
ratio() { python3 -c "print(f'{$1 / $2:.2f}')"; }
check() { cmp -s "$1" "$work/www/big.bin" || { echo "bench: $2 produced a wrong file" >&2; exit 1; }; }

bench_check
if [ "${1:-}" = check ]; then
  echo "ratios: check=$check_ratio nochange_bytes=$nochange_bytes exe_bytes=$(stat -c %s "$root/build/bin/mirovane.exe")"
  exit 0
fi

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
# The same driver fetching one 4 KiB file over one connection: what the process costs before
# any download (under Wine every thread adds about 1 MB of its own besides).
wine "$bin/coredriver.exe" segdownload stop=60 "http://127.0.0.1:$nport/files/f000.bin" "$(winpath "$work/out/small.bin")" 1 0 >"$work/ours-s.txt" </dev/null
base=$(grep -h '^peakws=' "$work/ours-s.txt" | cut -d= -f2)

# --- files
sed "s|^|http://127.0.0.1:$nport/files/|; s|\t.*||" "$work/records.txt" >"$work/aria-list.txt"
t0=$(now); wine "$bin/coredriver.exe" schedule stop=600 threadcount=8 "$(winpath "$work/out/ours-files")" "http://127.0.0.1:$nport/files" "$(winpath "$work/records.txt")" 1 >"$work/ours-f.txt" </dev/null; t1=$(now)
grep -q '^done=500' "$work/ours-f.txt" || { echo "bench: ours (files) did not fetch all 500 files" >&2; exit 1; }
ours_f=$(elapsed "$t0" "$t1")
runs_f=()
for i in 1 2 3; do
  rm -rf "$work/out/aria-files"
  t0=$(now); aria2c -q -j8 --allow-overwrite=true --file-allocation=none -d "$work/out/aria-files" -i "$work/aria-list.txt"; t1=$(now)
  [ "$(ls "$work/out/aria-files" | wc -l)" -eq 500 ] || { echo "bench: aria2c (files) did not fetch all 500 files" >&2; exit 1; }
  runs_f+=("$(elapsed "$t0" "$t1")")
done
aria_f=$(best "${runs_f[@]}")

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

# --- whole sessions through mirovane.exe /silence: the remote check, the download, the local
# check, the copy and the finish, as a user waits for them, beside aria2c's download alone.
# [Mirovane] LogTiming=1 times each step in the log and logs the peak working set at the end.
session_case() {  # session_case <name> <list base url> <expected files>: prints the seconds; log in $work/sess/<name>.log
  local name="Bench $1" app temp prod=$work/sess/prod-$1 t0 t1
  # No TempPath: the elevated updater (Wine runs it as administrator) works in its private
  # directory, as it does on the built-in settings.
  app="$WINEPREFIX/drive_c/Brenwick/omra/$name"; temp=$WINEPREFIX/drive_c/ProgramData/Mirovane
  rm -rf "$app" "$temp"; mkdir -p "$app" "$temp" "$prod"
  printf '[Mirovane]\r\nOwerCheckTm=%s\r\n' "$hours" >"$temp/mirovane.ini"
  if [ ! -f "$prod/bench.exe" ]; then
    printf '[Mirovane]\r\nLog=inst.log\r\nLogTiming=1\r\nQuickCheck=0\r\nTimeOut=120\r\n[UPDATEINFO]\r\nListURL=%s/list.xml\r\nMainListURL=%s/main.xml\r\n[APPLICATION]\r\nName=%s\r\nApplication=\r\n' \
      "$2" "$2" "$name" >"$prod/settings.ini"
    wine "$bin/mirovane-embed.exe" "$(winpath "$bin/mirovane.exe")" "$(winpath "$prod/settings.ini")" \
      "$(winpath "$prod/bench.exe")" </dev/null >/dev/null
  fi
  t0=$(now); out=$(wine "$bin/runexit.exe" 600000 "$(winpath "$prod/bench.exe")" /silence </dev/null | tr -d "\r"); t1=$(now)
  [ "$out" = "exit=$3" ] || { echo "bench: the $1 session ended with $out, not exit=$3 (see $app/inst.log)" >&2; exit 1; }
  grep -q 'stage 12 UpdateCopyOk' "$app/inst.log" || { echo "bench: the $1 session did not install (see $app/inst.log)" >&2; exit 1; }
  cp "$app/inst.log" "$work/sess/$1.log"
  python3 - "$work/sess/$1.log" "$t0" "$t1" >"$work/sess/$1.steps" <<'PY'
import datetime, re, sys
log, t0, t1 = sys.argv[1], float(sys.argv[2]), float(sys.argv[3])
times, stage, peak, made = [], {}, 0, None
for line in open(log, encoding="latin-1"):
    m = re.match(r"\[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})\](.*)", line.rstrip())
    if not m:
        continue
    t = datetime.datetime.strptime(m[1], "%Y-%m-%d %H:%M:%S.%f").timestamp()
    times.append(t)
    s = re.match(r"stage (\d+) ", m[2])
    if s:
        stage.setdefault(int(s[1]), t)
    a = re.match(r"process made (\d+) ms ago", m[2])
    if a:
        made = t - int(a[1]) / 1000
    p = re.match(r"peak working set (\d+) bytes", m[2])
    if p:
        peak = int(p[1])
marks = [t0, made, stage[0], stage[3], stage[6], stage[9], stage[12], t1]
print(" ".join(f"{b - a:.2f}" for a, b in zip(marks, marks[1:])), peak)
PY
  echo "$1 $(python3 -c "print(f'{$t1 - $t0:.2f}')") $(cat "$work/sess/$1.steps")" >>"$work/sess/runs.txt"
  elapsed "$t0" "$t1"
}
# best_session <name> <url> <files> <runs>: the best run's seconds; its steps in $work/sess/<name>.best
best_session() {
  local i
  for i in $(seq "$4"); do session_case "$1" "$2" "$3" >/dev/null; done
  grep "^$1 " "$work/sess/runs.txt" | sort -k2 -n | head -1 | cut -d' ' -f2- >"$work/sess/$1.best"
  cut -d' ' -f1 "$work/sess/$1.best"
}
mkdir -p "$work/sess"; : >"$work/sess/runs.txt"
sess_big=$(best_session big "http://127.0.0.1:$nport/sbig" 1 3)
sess_thr=$(best_session throttled "http://127.0.0.1:$tport/sbig" 1 1)
sess_files=$(best_session files "http://127.0.0.1:$nport/plain" 500 3)
runs_a=()
for i in 1 2 3; do
  rm -f "$work/out/aria-l.bin"
  t0=$(now); aria2c -q -x8 -s8 -k1M --allow-overwrite=true --file-allocation=none -d "$work/out" -o aria-l.bin "http://127.0.0.1:$nport/big.bin"; t1=$(now)
  check "$work/out/aria-l.bin" "aria2c (loopback)"; runs_a+=("$(elapsed "$t0" "$t1")")
done
aria_l=$(best "${runs_a[@]}")
base_peak=$(wine "$bin/baseline.exe" </dev/null | tr -d '\r' | sed -n 's/^peakws=//p')
sess_peak=$(cut -d' ' -f9 "$work/sess/big.best")
echo "whole sessions (mirovane.exe /silence), seconds by step: launch = to the process's creation (runexit and Wine), start = its start-up, check, download, local check, copy and finish, end = to the process's exit"
printf '%-10s %7s %7s %7s %7s %9s %7s %7s %7s\n' session total launch start check download local copy end
for c in big throttled files; do
  printf '%-10s %7s %7s %7s %7s %9s %7s %7s %7s\n' "$c" $(cut -d' ' -f1-8 "$work/sess/$c.best")
done
echo "peak working set: 50 MB session $(python3 -c "print(f'{$sess_peak / 1048576:.1f}')") MB; a program that only loads user32, WinINet, COM and MSXML (baseline.exe) $(python3 -c "print(f'{$base_peak / 1048576:.1f}')") MB"

printf '%-10s %-44s %9s %9s %7s\n' case what ours_s other_s ratio
printf '%-10s %-44s %9s %9s %7s\n' throttled "50 MB, 2 MB/s per connection, vs aria2c -x8 -s8" "$ours_t" "$aria_t" "$(ratio "$ours_t" "$aria_t")"
printf '%-10s %-44s %9s %9s %7s\n' loopback "50 MB from nginx, vs curl -o (best of 3)" "$ours_l" "$curl_l" "$(ratio "$ours_l" "$curl_l")"
printf '%-10s %-44s %9s %9s %7s\n' files "500 files of 4-64 KiB, 8 at once, vs aria2c -j8" "$ours_f" "$aria_f" "$(ratio "$ours_f" "$aria_f")"
printf '%-10s %-44s %9s %9s %7s\n' session "session, 50 MB, nginx, vs aria2c -x8 download" "$sess_big" "$aria_l" "$(ratio "$sess_big" "$aria_l")"
printf '%-10s %-44s %9s %9s %7s\n' session_t "session, 50 MB, 2 MB/s per conn., vs aria2c -x8" "$sess_thr" "$aria_t" "$(ratio "$sess_thr" "$aria_t")"
printf '%-10s %-44s %9s %9s %7s\n' session_f "session, 500 files, vs aria2c -j8 download" "$sess_files" "$aria_f" "$(ratio "$sess_files" "$aria_f")"
echo "peak working set (50 MB file): $(python3 -c "print(f'{$peak / 1048576:.1f}')") MB; of one 4 KiB file: $(python3 -c "print(f'{$base / 1048576:.1f}')") MB"
echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(wine --version)"
bench_delta
echo "ratios: session=$(ratio "$sess_big" "$aria_l") session_throttled=$(ratio "$sess_thr" "$aria_t") session_files=$(ratio "$sess_files" "$aria_f") peak=$(ratio "$sess_peak" "$base_peak") throttled=$(ratio "$ours_t" "$aria_t") loopback=$(ratio "$ours_l" "$curl_l") files=$(ratio "$ours_f" "$aria_f") check=$check_ratio nochange_bytes=$nochange_bytes exe_bytes=$(stat -c %s "$root/build/bin/mirovane.exe") delta=$delta_ratio"
