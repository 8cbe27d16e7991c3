#!/usr/bin/env bash
# Installs everything the build and the tests need on a fresh Debian machine.
# Idempotent: each step is skipped when its result is already there.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive

need_pkgs=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
  apt_updated=0
fi

# deb-src is needed for the minizip sources in Debian's zlib source package.
src_list=/etc/apt/sources.list.d/debian.sources
if [ -f "$src_list" ] && ! grep -q '^Types: deb deb-src' "$src_list"; then
  $SUDO sed -i 's/^Types: deb$/Types: deb deb-src/' "$src_list"
  apt_updated=0
fi

for p in g++-mingw-w64-i686-posix libz-mingw-w64-dev wine wine32:i386 xvfb nginx-light \
         python3-pytest zip unzip cmake googletest x11-utils dpkg-dev; do
  have "$p" || need_pkgs+=("$p")
done
if [ "${#need_pkgs[@]}" -gt 0 ] || [ "${apt_updated:-1}" -eq 0 ]; then
  $SUDO apt-get update -qq
fi
if [ "${#need_pkgs[@]}" -gt 0 ]; then
  $SUDO apt-get install -y -qq --no-install-recommends "${need_pkgs[@]}" >/dev/null
fi

# minizip: shipped only as source, inside zlib's Debian source package.
third=$here/third_party
if [ ! -f "$third/minizip/unzip.c" ]; then
  tmp=$(mktemp -d)
  (cd "$tmp" && apt-get source --download-only zlib=1:1.2.13.dfsg-1 >/dev/null 2>&1)
  tarball=$(ls "$tmp"/zlib_1.2.13.dfsg.orig.tar.* | head -1)
  mkdir -p "$third/minizip"
  tar -xf "$tarball" -C "$tmp"
  cp "$tmp"/zlib-1.2.13*/contrib/minizip/{ioapi.c,ioapi.h,iowin32.c,iowin32.h,unzip.c,unzip.h,zip.c,zip.h,crypt.h} "$third/minizip/"
  rm -rf "$tmp"
fi
echo "setup: done"
