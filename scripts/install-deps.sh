#!/usr/bin/env bash
# Installs everything the 32-bit build, the tests, the benchmarks and the demo need.
# Idempotent: packages already present are skipped, and apt is not touched at all
# when nothing is missing.
set -euo pipefail

packages=(
  build-essential g++-multilib cmake make pkg-config clang-format
  clang-14 libclang-rt-14-dev
  libsdl1.2-compat-dev:i386 libmd-dev:i386 libgtest-dev:i386 libgmock-dev:i386
  libbenchmark-dev:i386 zlib1g-dev:i386 libpng-dev:i386 libasan8:i386
  # Rendering to a video file, and the tools its tests decode with.
  libavformat-dev:i386 libavcodec-dev:i386 libavutil-dev:i386 libswscale-dev:i386 ffmpeg
  # What the classic SDL 1.2 library needs at run time; the library itself is
  # unpacked into the build tree by scripts/fetch-classic-sdl.sh.
  libasound2:i386 libcaca0:i386 libpulse0:i386 libx11-6:i386 libxext6:i386
  xvfb xdotool x11-apps x11-utils netpbm sox valgrind libc6-dbg:i386 binutils
  dpkg-dev file groff-base gzip
  # For kernels that run no 32-bit programs themselves (scripts/run-i386.sh).
  qemu-user-static
)

if [ "$(id -u)" -eq 0 ]; then
  sudo=()
else
  sudo=(sudo)
fi

missing=()
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo[@]}" dpkg --add-architecture i386
  need_update=1
fi
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

here=$(dirname "$0")
if [ ${#missing[@]} -eq 0 ] && [ -z "${need_update:-}" ]; then
  echo "install-deps: all packages present"
  bash "$here/run-i386.sh"
  exit 0
fi

export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
bash "$here/run-i386.sh"
