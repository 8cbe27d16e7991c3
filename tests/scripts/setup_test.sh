#!/usr/bin/env bash
# scripts/setup.sh: source entries added in both apt formats (and only once), a clear failure
# with apt's own errors when no zlib source can be fetched, zstd fetched when only minizip is
# there, and no password prompt.
# The apt and dpkg commands are stand-ins on PATH; nothing outside a scratch directory changes
# (the machine's sources are read and are already complete after setup has run).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
scratch=$(mktemp -d /tmp/mirovane-setuptest.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
fail=0
ok() { echo "ok   setup: $1"; }
bad() { echo "FAIL setup: $1"; fail=1; }

# --- deb-src entries: {format, input, expected}
deb822_in='Types: deb
# a comment
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates

Types: deb deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security

Types: deb
URIs: https://download.example.com/linux/debian
Suites: bookworm'
deb822_out='Types: deb deb-src
# a comment
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates

Types: deb deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security

Types: deb
URIs: https://download.example.com/linux/debian
Suites: bookworm'
list_in='# deb-src http://deb.debian.org/debian bookworm main
deb [arch=amd64 signed-by=/k.gpg] http://deb.debian.org/debian bookworm main
deb http://security.debian.org/debian-security  bookworm-security main
deb-src http://security.debian.org/debian-security bookworm-security main
deb https://download.example.com/linux/debian bookworm stable'
list_out='# deb-src http://deb.debian.org/debian bookworm main
deb [arch=amd64 signed-by=/k.gpg] http://deb.debian.org/debian bookworm main
deb-src [arch=amd64 signed-by=/k.gpg] http://deb.debian.org/debian bookworm main
deb http://security.debian.org/debian-security  bookworm-security main
deb-src http://security.debian.org/debian-security bookworm-security main
deb https://download.example.com/linux/debian bookworm stable'
for format in deb822 list; do
  in=${format}_in out=${format}_out
  printf '%s\n' "${!in}" >"$scratch/in"
  printf '%s\n' "${!out}" >"$scratch/want"
  awk -v format=$format -f "$root/scripts/apt-deb-src.awk" "$scratch/in" >"$scratch/once"
  awk -v format=$format -f "$root/scripts/apt-deb-src.awk" "$scratch/once" >"$scratch/twice"
  if ! diff -u "$scratch/want" "$scratch/once"; then bad "$format sources: deb-src added wrongly"
  elif ! cmp -s "$scratch/once" "$scratch/twice"; then bad "$format sources: a second run changes them"
  else ok "$format sources: deb-src added to Debian's entries only, once"; fi
done

# --- setup.sh in a scratch copy (no third_party yet), with stand-in commands.
mkdir -p "$scratch/tree/scripts" "$scratch/bin"
cp "$root/scripts/setup.sh" "$root/scripts/apt-deb-src.awk" "$scratch/tree/scripts/"
stub() { printf '#!/bin/sh\n%s\n' "$2" >"$scratch/bin/$1"; chmod +x "$scratch/bin/$1"; }
stub dpkg-query 'echo "install ok installed"'
stub dpkg '[ "$1" = --print-foreign-architectures ] && echo i386'
stub apt-get 'echo "E: Failed to fetch http://deb.example/zlib.dsc  404  Not Found" >&2; exit 100'

rc=0; PATH="$scratch/bin:$PATH" bash "$scratch/tree/scripts/setup.sh" >"$scratch/out" 2>&1 || rc=$?
if [ $rc -eq 0 ]; then bad "no zlib source: exit 0"
elif ! grep -q 'no zlib source could be downloaded' "$scratch/out"; then bad "no zlib source: no clear message"
elif [ "$(grep -c '404  Not Found' "$scratch/out")" -ne 2 ]; then bad "no zlib source: apt's errors of both tries not shown"
else ok "no zlib source: exit $rc, apt's errors and a clear message shown"; fi
[ $rc -ne 0 ] || sed 's/^/    /' "$scratch/out"

# minizip present but not zstd (a clone set up before zstd came): zstd is still fetched.
mkdir -p "$scratch/tree/third_party/minizip"
: >"$scratch/tree/third_party/minizip/unzip.c"
rc=0; PATH="$scratch/bin:$PATH" bash "$scratch/tree/scripts/setup.sh" >"$scratch/out" 2>&1 || rc=$?
if [ $rc -eq 0 ] || ! grep -q 'minizip present' "$scratch/out" || ! grep -q 'no libzstd source could be downloaded' "$scratch/out"
then bad "zstd missing beside minizip: exit $rc"; sed 's/^/    /' "$scratch/out"
else ok "zstd missing beside minizip: fetched (and its failure said clearly)"; fi
rm -rf "$scratch/tree/third_party"

# Not root, and sudo would ask for a password: stop at once and say so.
stub id 'echo 1000'
stub sudo '[ "$1" = -n ] || { echo "sudo prompted" >&2; exit 99; }; echo "sudo: a password is required" >&2; exit 1'
rc=0; PATH="$scratch/bin:$PATH" bash "$scratch/tree/scripts/setup.sh" >"$scratch/out" 2>&1 </dev/null || rc=$?
if [ $rc -eq 0 ] || grep -q prompted "$scratch/out" || ! grep -q 'sudo needs a password' "$scratch/out"; then
  bad "sudo with a password: exit $rc"; sed 's/^/    /' "$scratch/out"
else ok "sudo with a password: exit $rc without prompting"; fi
exit $fail
