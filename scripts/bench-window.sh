#!/usr/bin/env bash
# The cost of a live frame's flip in a real window, under a virtual X server,
# with both SDL 1.2 libraries: the sample guest in the default window and in
# full screen on a 1920x1080 screen, each flip timed by the av_probe that the
# tests preload. Prints the median and the 90th percentile in milliseconds.
# Usage: bench-window.sh BUILD_DIR CLASSIC_SDL_DIR
set -euo pipefail
build=$1 classic=$2
work=$(mktemp -d)
xvfb_pid=
cleanup() {
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
Xvfb :93 -screen 0 1920x1080x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
sleep 1
cp "$build/sample/fix/lumox.exe" "$work/"
printf 'frames 90\n' > "$work/lumox.scr"
flips() { # label, library folder or "", options...
  local label=$1 lib=$2
  shift 2
  rm -f "$work/av.log"
  (cd "$work" && LD_LIBRARY_PATH=$lib DISPLAY=:93 SDL_VIDEODRIVER=x11 SDL_AUDIODRIVER=dummy \
    LUMOX_AV_LOG="$work/av.log" LD_PRELOAD="$build/tests/av_probe.so" \
    timeout 120 "$build/sample/lumoxrun-sample" "$@" >/dev/null 2>&1) || true
  awk '$1 == "F" { n++; if (n > 10) print $4 }' "$work/av.log" | sort -n |
    awk -v label="$label" '{ t[NR] = $1 } END {
      if (NR == 0) { printf "%-44s no flips\n", label; exit }
      printf "%-44s %.2f ms (median), %.2f ms (p90) over %d flips\n", label,
        t[int(NR / 2) + 1] / 1000, t[int(NR * 0.9) + 1] / 1000, NR }'
}
flips "flip, sdl12-compat, 1280x960 window" ""
flips "flip, sdl12-compat, 1920x1080 full screen" "" -f
if [ -e "$classic/libSDL-1.2.so.0" ]; then
  flips "flip, classic SDL, 1280x960 window" "$classic"
  flips "flip, classic SDL, 1920x1080 full screen" "$classic" -f
else
  echo "classic SDL 1.2 library not found in $classic (make deps fetches it)"
fi
