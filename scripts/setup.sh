#!/usr/bin/env bash
# Installs everything the build and the tests need on a fresh Debian machine.
# Idempotent: each step is skipped when its result is already there.
# Needs root or password-less sudo; it never prompts.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
export DEBIAN_FRONTEND=noninteractive

die() { echo "setup: $*" >&2; exit 1; }
# Runs a command quietly; on failure shows everything it printed, then stops.
run() {
  local out
  if ! out=$("$@" 2>&1); then
    printf '%s\n' "$out" >&2
    die "failed: $*"
  fi
}

SUDO=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || die "not root and sudo is missing: run this script as root"
  sudo -n true 2>/dev/null ||
    die "not root and sudo needs a password: run this script as root or allow password-less sudo"
  SUDO=(sudo -n)
fi

apt_update=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  run "${SUDO[@]}" dpkg --add-architecture i386
  apt_update=1
fi

# apt-get source needs source entries. Both formats of the sources are handled: deb822
# files (*.sources, a "Types:" line per stanza) and one-line files (sources.list, *.list).
add_deb_src() { # <format> <file>
  local new
  new=$(mktemp)
  awk -v format="$1" -f "$here/scripts/apt-deb-src.awk" "$2" >"$new" || { rm -f "$new"; die "cannot read $2"; }
  if ! cmp -s "$new" "$2"; then
    echo "setup: adding deb-src entries to $2"
    run "${SUDO[@]}" cp "$new" "$2"
    apt_update=1
  fi
  rm -f "$new"
}
shopt -s nullglob
for f in /etc/apt/sources.list.d/*.sources; do add_deb_src deb822 "$f"; done
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [ -f "$f" ] && add_deb_src list "$f"
done
shopt -u nullglob

have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
need_pkgs=()
# The 64-bit compiler and Wine build and run the test twin on machines that run no 32-bit
# code (scripts/win-arch.sh).
for p in g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine wine32:i386 wine64 xvfb nginx-light \
         python3-pytest python3-pytest-xdist python3-pytest-timeout zip unzip cmake googletest x11-utils dpkg-dev \
         python3-pil imagemagick openssl ca-certificates; do
  have "$p" || need_pkgs+=("$p")
done
if [ "${#need_pkgs[@]}" -gt 0 ] || [ "$apt_update" -eq 1 ]; then
  run "${SUDO[@]}" apt-get update
fi
if [ "${#need_pkgs[@]}" -gt 0 ]; then
  echo "setup: installing ${need_pkgs[*]}"
  run "${SUDO[@]}" apt-get install -y --no-install-recommends "${need_pkgs[@]}"
fi

# Sources shipped only inside Debian source packages: the newest source the archive serves
# is taken (security releases patch them); the release this was first built with is the
# fallback. Each package is unpacked with dpkg-source so that Debian's patches are applied:
# the upstream tarball alone lacks the security fixes.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# Prints the directory of the unpacked source of <package> (the newest, else <pinned>);
# the version taken goes to $tmp/<package>.version and how it was chosen to .how.
fetch_debian_source() { # <package> <pinned version>
  local pkg=$1 pinned=$2 want out fetched="" how="" dsc version
  for want in "$pkg" "$pkg=$pinned"; do
    mkdir -p "$tmp/get/$want"
    if out=$(cd "$tmp/get/$want" && apt-get source --download-only "$want" 2>&1); then
      fetched="$tmp/get/$want"; how="the newest served"
      [ "$want" = "$pkg" ] || how="the fallback: the newest is not served"
      break
    fi
    printf '%s\n' "$out" | grep -E '^(E|Err):' >&2 || printf '%s\n' "$out" >&2
    echo "setup: apt-get source --download-only $want failed (apt's errors above)" >&2
  done
  [ -n "$fetched" ] || die "no $pkg source could be downloaded, neither the newest nor $pinned;
       check that the machine reaches its Debian archive and that deb-src entries are enabled"
  dsc=$(ls "$fetched"/*.dsc | head -1)
  version=$(sed -n 's/^Version: *//p' "$dsc" | head -1)
  run dpkg-source -x "$dsc" "$tmp/src-$pkg"
  echo "$version" >"$tmp/$pkg.version"
  echo "$how" >"$tmp/$pkg.how"
  echo "$tmp/src-$pkg"
}
third=$here/third_party

# minizip: inside zlib's source package.
zlib_pinned=1:1.2.13.dfsg-1
if [ -f "$third/minizip/unzip.c" ]; then
  echo "setup: minizip present (from zlib source $(cat "$third/minizip/DEBIAN-VERSION" 2>/dev/null || echo 'of unknown version'))"
else
  src=$(fetch_debian_source zlib "$zlib_pinned")
  version=$(cat "$tmp/zlib.version")
  [ -d "$src/contrib/minizip" ] || die "zlib source $version has no contrib/minizip"
  mkdir -p "$third/minizip"
  cp "$src"/contrib/minizip/{ioapi.c,ioapi.h,iowin32.c,iowin32.h,unzip.c,unzip.h,zip.c,zip.h,crypt.h} \
     "$third/minizip/"
  echo "$version" >"$third/minizip/DEBIAN-VERSION"
  echo "setup: minizip taken from zlib source $version ($(cat "$tmp/zlib.how"))"
fi

# zstd: the library part of its source package (common code, compressor for the publisher
# tool, decompressor for the updater), for the binary patches.
zstd_pinned=1.5.4+dfsg2-5
if [ -f "$third/zstd/zstd.h" ]; then
  echo "setup: zstd present (from libzstd source $(cat "$third/zstd/DEBIAN-VERSION" 2>/dev/null || echo 'of unknown version'))"
else
  src=$(fetch_debian_source libzstd "$zstd_pinned")
  version=$(cat "$tmp/libzstd.version")
  [ -f "$src/lib/zstd.h" ] || die "libzstd source $version has no lib/zstd.h"
  rm -rf "$third/zstd.new"
  mkdir -p "$third/zstd.new"
  cp -r "$src"/lib/{common,compress,decompress} "$src"/lib/{zstd.h,zstd_errors.h} "$third/zstd.new/"
  cp "$src/LICENSE" "$third/zstd.new/"
  echo "$version" >"$third/zstd.new/DEBIAN-VERSION"
  mv "$third/zstd.new" "$third/zstd"
  echo "setup: zstd taken from libzstd source $version ($(cat "$tmp/libzstd.how"))"
fi
# HTTPS in the tests: a localhost certificate from a test authority the machine trusts.
"${SUDO[@]}" bash "$here/scripts/test-ca.sh"
echo "setup: done"
