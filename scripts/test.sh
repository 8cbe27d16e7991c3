#!/usr/bin/env bash
# Runs every test: installs what is missing, builds, runs the script tests, starts a private
# Wine world (prefix, Xvfb, wineserver), runs the unit tests and the black-box tests, stops it all.
# Arguments go to pytest (for example -k <expression>).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# Wine takes its ANSI code page from the Unix locale; the tests run under one fixed locale
# (English, code page 1252) whatever the machine's is.
export LANG=C.UTF-8 LC_ALL=C.UTF-8
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh"

status=0
echo "== script tests"
for t in "$root"/tests/scripts/*_test.sh; do bash "$t" </dev/null || status=1; done

source "$root/scripts/win-arch.sh"
win_arch_detect "$root"
[ "$MV_WIN_BITS" = 64 ] && echo "test: this machine runs no 32-bit code; the tests run the 64-bit build ($MV_RUN_BIN)"
source "$root/scripts/wine-env.sh"
prefix=$(mktemp -d /tmp/mirovane-test.XXXXXX)
wine_env_start "$prefix/wine"
trap 'wine_env_stop; rm -rf "$prefix"' EXIT

echo "== unit tests"
# Bounded, so that a hung test fails the run instead of holding it.
(cd "$MV_RUN_BIN" && timeout 1200 wine unit_tests.exe --gtest_brief=1 </dev/null) || { echo "test: the unit tests failed or did not end in 20 minutes" >&2; status=1; }
echo "== black-box tests"
# In parallel, one worker per CPU (at most four): each worker starts a Wine world of its own
# (tests/blackbox/wine_world.py). Every test is bounded (--timeout), so a hang fails the run
# instead of holding it; -rs lists every skipped test with its reason (a skip fails the run
# unless the platform cannot show the behaviour).
workers=${MIROVANE_TEST_WORKERS:-$(nproc)}
[ "$workers" -le 4 ] || workers=4
MIROVANE_BIN="$MV_RUN_BIN" /usr/bin/python3 -m pytest -q -rs -p no:cacheprovider -n "$workers" --timeout 900 \
  "$root/tests/blackbox" "$@" </dev/null || status=1
[ $status -eq 0 ] || echo "test: some tests failed" >&2
exit $status
