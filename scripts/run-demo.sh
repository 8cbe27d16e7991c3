#!/usr/bin/env bash
# The main job: a real update of a small host program from version 1 to version 2.
#   1. builds everything; makes the two releases of the demo host program (demo/release-1 and
#      demo/release-2, each with demohost.exe, the sample host built as that version) and
#      publishes version 2 with mirovane-pack, served by nginx at the address of the built-in
#      settings (http://127.0.0.1:18473/update/);
#   2. installs version 1 (its files and its list as mirovane.xml) into the application
#      directory and starts demohost.exe, which asks for the updater's messages;
#   3. runs mirovane.exe /silence /<host window>, as the host program would, and answers its
#      question "close the main program?" with Yes, as a person would;
#   4. prints the stages the host received, the files that changed, the backups made and
#      removed, the log, the exit code, and the restarted demohost.exe saying "version 2".
# Fails loudly (non-zero exit, "run-demo: FAILED: ...") when any of that did not happen.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh"
source "$root/scripts/win-arch.sh"
win_arch_detect "$root"
# The shipped 32-bit build, or its 64-bit twin on a machine that runs no 32-bit code.
bin=$MV_RUN_BIN

die() {
  echo "run-demo: FAILED: $*" >&2
  if [ -n "${appdir:-}" ] && [ -f "$appdir/inst.log" ]; then
    echo "The updater's log:" >&2
    iconv -f cp936 -t utf-8 "$appdir/inst.log" | sed 's/\r$//; s/^/    /' >&2
  fi
  exit 1
}
source "$root/scripts/wine-env.sh"
# The built-in settings choose the built-in Simplified Chinese texts; a Wine whose ANSI code
# page is 936 writes them to the log as a Chinese Windows would. Wine reads the code page from
# the locale's name, so the locale need not be installed (bash's warning about that is dropped).
{ export LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8; } 2>/dev/null
work=$(mktemp -d /tmp/mirovane-demo.XXXXXX)
nginx_pid=
cleanup() {
  [ -z "$nginx_pid" ] || { kill "$nginx_pid" 2>/dev/null; wait "$nginx_pid" 2>/dev/null; } || true
  wine_env_stop
  rm -rf "$work"
}
wine_env_start "$work/wine"
trap cleanup EXIT   # after wine_env_start, which sets a trap of its own
w() { echo "Z:${1//\//\\}"; }   # Windows form of a Linux path

# --- 1. the two releases, version 2 published
for v in 1 2; do
  mkdir -p "$work/release-$v"
  cp -r "$root/demo/release-$v/." "$work/release-$v/"
done
cp "$bin/mirovane-sample-host.exe" "$work/release-1/demohost.exe"
cp "$bin/mirovane-sample-host-2.exe" "$work/release-2/demohost.exe"
port=18473
base=http://127.0.0.1:$port/update
mkdir -p "$work/www" "$work/nginx"
chmod 755 "$work"   # nginx's workers run as an unprivileged user and must reach www/
echo "== Publishing version 2 with mirovane-pack"
wine "$bin/mirovane-pack.exe" --list mirovane-demo.xml --main-list mirovane-main.xml \
  --description "Mirovane demo host 2: a new program, new settings, a new data file." \
  "$(w "$work/release-2")" "$(w "$work/www/update")" </dev/null | tr -d '\r' | sed "s|Z:.*\\\\www\\\\update\\\\|    update/|" ||
  die "mirovane-pack did not publish version 2"
[ -f "$work/www/update/mirovane-demo.xml" ] || die "mirovane-pack wrote no list"
# The list of version 1 is what an installer of version 1 leaves as mirovane.xml.
wine "$bin/mirovane-pack.exe" --no-zip "$(w "$work/release-1")" "$(w "$work/v1-packed")" </dev/null >/dev/null ||
  die "mirovane-pack did not pack version 1"

cat >"$work/nginx/nginx.conf" <<CONF
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
nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" 2>>"$work/nginx/error.log" &
nginx_pid=$!
deadline=$((SECONDS + 10))
until /usr/bin/python3 -c "import urllib.request as u; u.urlopen('$base/mirovane-demo.xml', timeout=1).read()" 2>/dev/null; do
  if ! kill -0 "$nginx_pid" 2>/dev/null || [ $SECONDS -ge $deadline ]; then
    tail -n 20 "$work/nginx/error.log" | sed 's/^/    /' >&2
    die "nginx did not serve $base/mirovane-demo.xml"
  fi
  sleep 0.1
done
: >"$work/nginx/access.log"
echo "Serving version 2 at $base/ (nginx, pid $nginx_pid)"

# --- 2. version 1 installed and running
appdir="$WINEPREFIX/drive_c/Brenwick/omra/Mirovane Demo"
mkdir -p "$appdir"
cp -r "$work/release-1/." "$appdir/"
cp "$work/v1-packed/mirovane.xml" "$appdir/mirovane.xml"
cp "$bin/mirovane.exe" "$appdir/mirovane.exe"
echo
echo "== Version 1 installed in C:\\Brenwick\\omra\\Mirovane Demo:"
(cd "$appdir" && find . -type f ! -name mirovane.exe | sort | sed 's|^\./|    |')

host_out=$work/host-1.txt
restarted_out=$work/host-restarted.txt
export MIROVANE_SAMPLE_HOST_OUT
MIROVANE_SAMPLE_HOST_OUT=$(w "$restarted_out")
wine "$appdir/demohost.exe" --timeout 120 --out "$(w "$host_out")" </dev/null >/dev/null 2>&1 &
host_pid=$!
deadline=$((SECONDS + 20))
until grep -q '^window ' "$host_out" 2>/dev/null; do
  [ $SECONDS -lt $deadline ] || die "demohost.exe (version 1) did not open its window"
  sleep 0.1
done
handle=$(sed -n 's/^window \([0-9]*\).*/\1/p' "$host_out" | head -1)
grep -q '^version 1' "$host_out" || die "the installed demohost.exe is not version 1"
echo "demohost.exe version 1 is running, window $handle"

# --- 3. the update, run as the host program runs it
# The silent update asks whether to close the running program; a person answers Yes.
wine "$bin/clickbox.exe" 60000 "Mirovane Demo" yes </dev/null >"$work/clickbox.txt" 2>/dev/null &
click_pid=$!
echo
echo "== Ran: mirovane.exe /silence /$handle   (from the application directory, LANG=$LANG)"
rc=0
out=$(wine "$bin/runexit.exe" 180000 "C:\\Brenwick\\omra\\Mirovane Demo\\mirovane.exe" /silence "/$handle" </dev/null | tr -d '\r') || rc=$?
[ $rc -ne 124 ] || die "the updater did not end within 180 s and was killed"
[ $rc -eq 0 ] && [[ $out =~ ^exit=-?[0-9]+$ ]] || die "the updater did not run (runexit status $rc: '$out')"
code=${out#exit=}
wait "$click_pid" || true
wait "$host_pid" 2>/dev/null || true

# --- 4. what happened
changed=0
for f in $(cd "$work/release-2" && find . -type f | sed 's|^\./||' | sort); do
  cmp -s "$work/release-1/$f" "$work/release-2/$f" 2>/dev/null || changed=$((changed + 1))
done
echo
echo "== Stages demohost.exe version 1 received (it was closed for the copy):"
grep '^stage ' "$host_out" | sed 's/^/    /'
grep -q '^clicked' "$work/clickbox.txt" && echo "    (the question to close it was answered Yes)"
stages=$(grep '^stage ' "$host_out" | awk '{print $2}' | tr '\n' ' ')
[[ $stages == "0 1 3 4 6 7 "* ]] || die "the host did not receive the stages 0 1 3 4 6 7 in order (got: $stages)"

log=$(iconv -f cp936 -t utf-8 "$appdir/inst.log" | sed 's/\r$//')
echo
echo "== Files that changed (application directory compared with version 2, byte for byte):"
for f in $(cd "$work/release-2" && find . -type f | sed 's|^\./||' | sort); do
  cmp -s "$work/release-2/$f" "$appdir/$f" || die "$f differs from version 2 after the update"
  if cmp -s "$work/release-1/$f" "$work/release-2/$f" 2>/dev/null; then
    echo "    $f: unchanged"
  elif [ -e "$work/release-1/$f" ]; then
    echo "    $f: replaced by version 2"
  else
    echo "    $f: added"
  fi
done
# The installed list is the served list merged with the main list: the same files, versions.
files_of() {
  /usr/bin/python3 -c 'import sys, xml.etree.ElementTree as E
print(sorted((f.get("path"), f.get("ver")) for f in E.parse(sys.argv[1]).iter("file")))' "$1"
}
[ "$(files_of "$work/www/update/mirovane-demo.xml")" = "$(files_of "$appdir/mirovane.xml")" ] ||
  die "mirovane.xml does not name the files and versions of the served list"
echo "    mirovane.xml: now the list of version 2 (same files and SHA-256 versions as served)"

echo
echo "== Backups made and removed (from the log):"
grep -E '备份文件\[|已删除备份\[|备份正在使用' <<<"$log" | sed 's/^\[[^]]*\]/    /' || true
made=$(grep -c '备份文件\[' <<<"$log" || true)
removed=$(grep -c '已删除备份\[' <<<"$log" || true)
[ "$made" -ge 3 ] || die "expected a backup of each of the 3 replaced files, the log shows $made"
[ "$removed" -eq "$made" ] || die "$made backups made but $removed removed"
leftover=$(find "$appdir" -name '*.__old*' | wc -l)
[ "$leftover" -eq 0 ] || die "$leftover backup files are left in the application directory"

echo
echo "== Log C:\\Brenwick\\omra\\Mirovane Demo\\inst.log (code page 936):"
sed 's/^/    /' <<<"$log"
echo
echo "== Requests nginx saw:"
sed 's/^/    /' "$work/nginx/access.log"

echo
echo "== Exit code: $code (the number of files that needed updating; $changed files differ between the releases)"
[ "$code" -eq "$changed" ] || die "exit code $code, expected $changed"

deadline=$((SECONDS + 30))
until grep -q '^version ' "$restarted_out" 2>/dev/null; do
  [ $SECONDS -lt $deadline ] || die "the updater did not start demohost.exe again"
  sleep 0.1
done
echo "== demohost.exe started again by the updater says: $(grep '^version ' "$restarted_out" | head -1)"
grep -q '^version 2$' "$restarted_out" || die "the restarted demohost.exe is not version 2"
echo
echo "run-demo: done (version 1 updated to version 2; $code files; version 2 is running)"
