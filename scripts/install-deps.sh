#!/usr/bin/env bash
# Installs everything the 32-bit build, the tests, the benchmarks and the demo need,
# and fetches the classic SDL 1.2 library that the window tests run against a second
# time (into .deps/classic-sdl, or $LUMOX_DEPS_DIR/classic-sdl).
# Idempotent: packages already present are skipped, and apt is not touched at all
# when nothing is missing.
# A package mirror caught in the middle of a sync serves an index that does not
# match its release file: apt-get update is then tried again after a pause, and
# packages that still cannot be installed are named at the end, with the cause.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
deps_dir=${LUMOX_DEPS_DIR:-$root/.deps}
classic_dir=$deps_dir/classic-sdl
classic_lib=$classic_dir/usr/lib/i386-linux-gnu/libSDL-1.2.so.0

packages=(
  build-essential g++-multilib cmake make pkg-config clang-format
  clang-14 libclang-rt-14-dev
  libsdl1.2-compat-dev:i386 libmd-dev:i386 libgtest-dev:i386 libgmock-dev:i386
  libbenchmark-dev:i386 zlib1g-dev:i386 libpng-dev:i386 libasan8:i386
  # Rendering to a video file, and the tools its tests decode and check with.
  libavformat-dev:i386 libavcodec-dev:i386 libavutil-dev:i386 libswresample-dev:i386
  libswscale-dev:i386 ffmpeg mediaconch
  # What the classic SDL 1.2 library needs at run time; the library itself is
  # unpacked by scripts/fetch-classic-sdl.sh.
  libasound2:i386 libcaca0:i386 libpulse0:i386 libx11-6:i386 libxext6:i386
  xvfb xdotool x11-apps x11-utils netpbm sox valgrind libc6-dbg:i386 binutils
  dpkg-dev file groff-base gzip
  # For kernels that run no 32-bit programs themselves (scripts/run-i386.sh).
  qemu-user-static
)

update_tries=3
update_pause_seconds=20

if [ "$(id -u)" -eq 0 ]; then
  sudo=()
else
  sudo=(sudo)
fi

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

missing_packages() {
  local p
  for p in "${packages[@]}"; do
    installed "$p" || echo "$p"
  done
}

need_update=
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo[@]}" dpkg --add-architecture i386
  need_update=1
fi
mapfile -t missing < <(missing_packages)

if [ ${#missing[@]} -eq 0 ] && [ -z "$need_update" ] && [ -e "$classic_lib" ]; then
  echo "install-deps: all packages present"
  bash "$root/scripts/run-i386.sh"
  exit 0
fi

export DEBIAN_FRONTEND=noninteractive
update_log=$(mktemp)
log=$(mktemp)
trap 'rm -f "$update_log" "$log"' EXIT

# What apt-get update said about the mirror: ok, unreachable (no network or no
# name resolution) or unreadable (an index that failed, as while the mirror
# syncs). Until it has run, nothing is known against the mirror.
mirror=ok
mirror_error=
index_failed='^(E:|Err:|W: Failed to fetch|W: Some index files failed)'
judge_mirror() {
  mirror_error=$(grep -m1 -E "$index_failed" "$update_log" || true)
  if grep -qE 'Temporary failure resolving|Could not resolve|Could not connect|Network is unreachable|No route to host|Connection timed out|Connection refused' "$update_log"; then
    mirror=unreachable
  else
    mirror=unreadable
  fi
}

# apt-get update until it reads every index, a few times with a pause. An
# index that failed is ignored by apt, so installing may still work.
lists_updated=
update_lists() {
  lists_updated=1
  local try
  for ((try = 1; try <= update_tries; try++)); do
    if "${sudo[@]}" apt-get update -qq >"$update_log" 2>&1 && ! grep -qE "$index_failed" "$update_log"; then
      mirror=ok
      return 0
    fi
    judge_mirror
    echo "install-deps: apt-get update failed (try $try of $update_tries): ${mirror_error:-no message}"
    if [ "$try" -lt "$update_tries" ]; then
      echo "install-deps: trying again in $update_pause_seconds s"
      sleep "$update_pause_seconds"
    fi
  done
  return 1
}

# The closing message when something could not be had: why, what is missing,
# and what to do. $log holds what the failed apt-get said.
give_up() {
  local what=$1
  case $mirror in
  unreachable)
    echo "install-deps: the package mirror cannot be reached (no network, or its name does not resolve)." >&2
    ;;
  unreadable)
    echo "install-deps: the package mirror could not be read or was mid-sync: $mirror_error" >&2
    ;;
  esac
  echo "install-deps: apt-get said: $(grep -m1 '^E:' "$log" || echo 'see above')" >&2
  echo "install-deps: missing: $what" >&2
  if [ "$mirror" != ok ]; then
    echo "install-deps: nothing here is broken; run make deps again later, once the mirror can be read." >&2
  fi
  exit 1
}

if [ ${#missing[@]} -gt 0 ] || [ -n "$need_update" ]; then
  update_lists || true
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" 2>&1 | tee "$log" || true
  mapfile -t missing < <(missing_packages)
  if [ ${#missing[@]} -gt 0 ]; then
    give_up "${missing[*]}"
  fi
fi

# The classic library comes with apt-get download, which needs the package
# lists: a machine that had every package may not have them any more.
fetch_classic() {
  bash "$root/scripts/fetch-classic-sdl.sh" "$classic_dir" 2>"$log"
}
if [ ! -e "$classic_lib" ]; then
  if ! fetch_classic && { [ -n "$lists_updated" ] || ! update_lists || ! fetch_classic; }; then
    cat "$log" >&2
    give_up "libsdl1.2debian:i386 (the classic SDL 1.2 library, for $classic_dir)"
  fi
fi
bash "$root/scripts/run-i386.sh"
