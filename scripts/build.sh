#!/usr/bin/env bash
# Configures (once) and builds everything into build/; the programs land in build/bin/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
[ -f "$root/third_party/minizip/unzip.c" ] || bash "$root/scripts/setup.sh"
if [ ! -f "$root/build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$root/build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
        -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$root/build" -j"$(nproc)" -- --no-print-directory 2>&1 | grep -v -E '^\[|^-- ' || true
test -f "$root/build/bin/mirovane.exe"
