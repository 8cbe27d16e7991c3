#!/usr/bin/env bash
# Benchmark of the remote check with nothing to update: /checkforupdates against a 500-record
# list and a 200-entry main list on loopback nginx, beside a bare start of the program
# (/emptytemp). Prints the median wall time of each over a few runs and their ratio (goal: < 2).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${RUNS:-5}
bash "$root/scripts/build.sh" >/dev/null

source "$root/scripts/wine-env.sh"
work=$(mktemp -d /tmp/mirovane-bench.XXXXXX)
wine_env_start "$work/wine"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
mkdir -p "$work/www" "$work/nginx" "$work/temp" "$work/prod"
cat > "$work/nginx/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path $work/nginx;
  server { listen 127.0.0.1:$port; root $work/www; }
}
CONF
nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" </dev/null >/dev/null 2>&1 &
nginx_pid=$!
trap 'kill $nginx_pid 2>/dev/null; wait $nginx_pid 2>/dev/null; wine_env_stop; rm -rf "$work"' EXIT

name="Mirovane Bench"
appdir="$WINEPREFIX/drive_c/Brenwick/omra/$name"
mkdir -p "$appdir"
python3 - "$work/www" "$appdir" <<'PY'
import sys, pathlib
www, app = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
rec = ['<file path="bin\\f%03d.dll" ver="1.0.%d" desname="f%03d.dll"/>' % (i, i, i) for i in range(int(__import__("os").environ.get("NREC", "500")))]
main = ['<file path="m/g%03d.dat" ver="2.%d"/>' % (i, i) for i in range(int(__import__("os").environ.get("NMAIN", "200")))]
www.joinpath("list.xml").write_text("<update>\n" + "\n".join(rec) + "\n</update>\n")
www.joinpath("main.xml").write_text("<update>\n" + "\n".join(main) + "\n</update>\n")
# The installed list already holds every record: nothing to update.
app.joinpath("mirovane.xml").write_text("<update>\n" + "\n".join(rec + main[::-1]) + "\n</update>\n")
PY
winpath() { echo "Z:${1//\//\\}"; }
printf '[Mirovane]\r\nMode=\r\nShowWhenCheck=0\r\nQuickCheck=0\r\nCheckLostFile=0\r\nLog=inst.log\r\nTempPath=%s\r\n[UPDATEINFO]\r\nListURL=http://127.0.0.1:%s/list.xml\r\nMainListURL=http://127.0.0.1:%s/main.xml\r\n[APPLICATION]\r\nName=%s\r\n' \
  "$(winpath "$work/temp")" "$port" "$port" "$name" > "$work/prod/settings.ini"
# The last refresh is this hour, so that no hidden copy runs beside the measured check.
hours=$(python3 -c 'import datetime as d; print((d.datetime.now()-d.datetime(2011,1,1))//d.timedelta(hours=1))')
printf '[Mirovane]\r\nOwerCheckTm=%s\r\n' "$hours" > "$work/temp/mirovane.ini"
wine "$root/build/bin/mirovane-embed.exe" "$(winpath "$root/build/bin/mirovane.exe")" \
  "$(winpath "$work/prod/settings.ini")" "$(winpath "$work/prod/bench.exe")" </dev/null >/dev/null
exe=$(winpath "$work/prod/bench.exe")

# Median wall time in milliseconds of `runs` runs of the product with the given word.
measure() {
  local word=$1 expect=$2 times=() t0 t1 out
  for _ in $(seq "$runs"); do
    t0=$(date +%s%N)
    out=$(wine "$root/build/bin/runexit.exe" 120000 "$exe" "$word" </dev/null | tr -d "\r")
    t1=$(date +%s%N)
    [ "${out#exit=}" = "$expect" ] || { echo "unexpected exit code for $word: $out" >&2; exit 1; }
    times+=($(( (t1 - t0) / 1000000 )))
  done
  printf '%s\n' "${times[@]}" | sort -n | sed -n "$(( (runs + 1) / 2 ))p"
}

bare=$(measure /emptytemp 0)
check=$(measure /checkforupdates 0)
echo "bare start (/emptytemp):                      ${bare} ms"
echo "check, nothing to update (/checkforupdates):  ${check} ms  (500 records + 200 main-list entries)"
python3 -c "print('ratio check / bare start:                     %.2f  (goal: under 2)' % ($check / max($bare, 1)))"
