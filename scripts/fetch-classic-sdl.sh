#!/usr/bin/env bash
# Unpacks Debian's classic SDL 1.2 library (libsdl1.2debian:i386) into DEST, so
# that the window tests can run a second time against it through
# LD_LIBRARY_PATH. The build itself is against sdl12-compat, whose -dev package
# conflicts with the classic one; only the shared library is needed here.
# Run by scripts/install-deps.sh (the set-up step), never by the build: it
# needs the package lists and the mirror. Its own run-time dependencies come
# from scripts/install-deps.sh too.
# Usage: fetch-classic-sdl.sh DEST
set -euo pipefail

dest=$(realpath -m "${1:?usage: fetch-classic-sdl.sh DEST}")
lib="$dest/usr/lib/i386-linux-gnu/libSDL-1.2.so.0"
if [ -e "$lib" ]; then
  exit 0
fi

# Next to DEST, so that the final move is a rename on one file system.
mkdir -p "$(dirname "$dest")"
work=$(mktemp -d "$(dirname "$dest")/.classic-sdl.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
if ! apt-get download -qq libsdl1.2debian:i386; then
  echo "fetch-classic-sdl: apt-get download libsdl1.2debian:i386 failed" >&2
  exit 1
fi
deb=$(echo libsdl1.2debian_*_i386.deb)
dpkg -x "$deb" unpacked
test -e "unpacked/usr/lib/i386-linux-gnu/libSDL-1.2.so.0"
# Into place in one step: a build that is interrupted leaves no half tree.
rm -rf "$dest"
mv unpacked "$dest"
echo "fetch-classic-sdl: $deb unpacked into $dest"
