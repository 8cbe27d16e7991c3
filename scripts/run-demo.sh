#!/usr/bin/env bash
# The main job: builds the updater and runs it under Wine with its built-in settings
# against the demo update list served on loopback, then reports what it did.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh"

source "$root/scripts/wine-env.sh"
# The demo settings choose the built-in Simplified Chinese texts; a Wine whose ANSI code page
# is 936 writes them to the log as a Chinese Windows would.
export LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8 2>/dev/null
work=$(mktemp -d /tmp/mirovane-demo.XXXXXX)
wine_env_start "$work/wine"

# The built-in settings point at http://127.0.0.1:18473/update/.
port=18473
mkdir -p "$work/www/update" "$work/nginx"
cp -r "$root/demo/release/." "$work/www/update/" 2>/dev/null || true
cat > "$work/nginx/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 64; }
http {
  access_log $work/nginx/access.log;
  client_body_temp_path $work/nginx;
  server { listen 127.0.0.1:$port; root $work/www; }
}
CONF
nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" &
nginx_pid=$!
trap 'kill $nginx_pid 2>/dev/null; wait $nginx_pid 2>/dev/null; wine_env_stop; rm -rf "$work"' EXIT
sleep 0.5

appdir="$WINEPREFIX/drive_c/Brenwick/omra/Mirovane Demo"
out=$(wine "$root/build/bin/runexit.exe" 300000 'Z:'"${root//\//\\}"'\build\bin\mirovane.exe' </dev/null)
echo "Application directory: C:\\Brenwick\\omra\\Mirovane Demo\\  ($appdir)"
echo "Settings file written: $appdir/mirovane.ini"
sed 's/\r$//; s/^/    /' "$appdir/mirovane.ini"
if [ -f "$appdir/inst.log" ]; then
  echo "Log (code page 936):"
  iconv -f cp936 -t utf-8 "$appdir/inst.log" | sed 's/\r$//; s/^/    /'
fi
if [ -s "$work/nginx/access.log" ]; then echo "Requests served:"; sed 's/^/    /' "$work/nginx/access.log"; fi
echo "Exit code: ${out#exit=}"
