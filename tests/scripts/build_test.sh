#!/usr/bin/env bash
# scripts/build.sh must exit non-zero when the build fails, also when an earlier build left
# its programs behind. Runs the real script on a scratch copy holding a one-file project.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
scratch=$(mktemp -d /tmp/mirovane-buildtest.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/scripts" "$scratch/cmake" "$scratch/third_party/minizip" "$scratch/third_party/zstd"
cp "$root/scripts/build.sh" "$root/scripts/win-arch.sh" "$scratch/scripts/"
cp "$root/cmake/mingw-i686.cmake" "$root/cmake/mingw-x86_64.cmake" "$scratch/cmake/"
# present, so build.sh does not run setup
touch "$scratch/third_party/minizip/unzip.c" "$scratch/third_party/zstd/zstd.h"
cat >"$scratch/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.20)
project(scratch LANGUAGES CXX)
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
add_executable(mirovane main.cpp)
CMAKE

fail=0
expect() { # <wanted status: 0 or nonzero> <what> ; runs build.sh in the scratch copy
  local rc=0
  bash "$scratch/scripts/build.sh" >"$scratch/out" 2>&1 || rc=$?
  if { [ "$1" = 0 ] && [ $rc -ne 0 ]; } || { [ "$1" != 0 ] && [ $rc -eq 0 ]; }; then
    echo "FAIL build.sh: $2: exit $rc, wanted $1"; sed 's/^/    /' "$scratch/out"; fail=1
  else
    echo "ok   build.sh: $2: exit $rc"
  fi
}

echo 'int main() { return 0; }' >"$scratch/main.cpp"
expect 0 "a good source builds"
echo 'int main() { return undeclared_name; }' >"$scratch/main.cpp"
expect nonzero "a broken source fails although the last good program is still there"
grep -q undeclared_name "$scratch/out" || { echo "FAIL build.sh: the compiler's error is not shown"; fail=1; }
echo 'int main() { return 0; }' >"$scratch/main.cpp"
expect 0 "the mended source builds again"
rm -rf "$scratch/build" "$scratch/build64"
echo 'this_is_no_command()' >>"$scratch/CMakeLists.txt"
expect nonzero "a broken configuration fails"
exit $fail
