#!/usr/bin/env bash
# Runs every test: installs what is missing, builds, starts a private Wine world
# (prefix, Xvfb, wineserver), runs the unit tests and the black-box tests, stops it all.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh"

source "$root/scripts/wine-env.sh"
prefix=$(mktemp -d /tmp/mirovane-test.XXXXXX)
wine_env_start "$prefix/wine"
trap 'wine_env_stop; rm -rf "$prefix"' EXIT

status=0
echo "== unit tests"
(cd "$root/build/bin" && wine unit_tests.exe --gtest_brief=1 </dev/null) || status=1
echo "== black-box tests"
MIROVANE_BIN="$root/build/bin" /usr/bin/python3 -m pytest -q -p no:cacheprovider "$root/tests/blackbox" "$@" </dev/null || status=1
exit $status
