#!/usr/bin/env bash
# Configures (once) and builds everything into build/; the programs land in build/bin/.
# On a machine that runs no 32-bit code (scripts/win-arch.sh) the same sources are also
# built for 64-bit Windows into build64/, which is what runs there.
# Exits non-zero when any step fails, so that nothing runs stale programs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
[ -f "$root/third_party/minizip/unzip.c" ] && [ -f "$root/third_party/zstd/zstd.h" ] || bash "$root/scripts/setup.sh"
source "$root/scripts/win-arch.sh"
win_arch_detect "$root"

build_tree() { # <build dir> <toolchain file>
  local dir=$1
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$2" -DCMAKE_BUILD_TYPE=Release >/dev/null
  fi
  # Progress lines are filtered out; compiler messages pass. grep exits 1 when it passes
  # nothing, which is success here; the build's own status decides (pipefail).
  cmake --build "$dir" -j"$(nproc)" -- --no-print-directory 2>&1 |
    { grep -v -E '^\[|^-- ' || [ $? -eq 1 ]; }
  test -f "$dir/bin/mirovane.exe" || { echo "build: $dir/bin/mirovane.exe is missing" >&2; exit 1; }
}

build_tree "$root/build" "$root/cmake/mingw-i686.cmake"
if [ "$MV_WIN_BITS" = 64 ]; then
  build_tree "$root/build64" "$root/cmake/mingw-x86_64.cmake"
fi
