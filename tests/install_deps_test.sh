#!/usr/bin/env bash
# The set-up script's decisions, with stand-ins for apt-get, dpkg, dpkg-query,
# id and sleep first on PATH: no network, no package changes. Each case sets
# what apt-get update, install and download answer (the texts are those of a
# Debian mirror caught mid-sync, and of a machine without network) and checks
# what the script ran, how it ended and what it said.
# Usage: install_deps_test.sh SOURCE_DIR
set -uo pipefail
source=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL [$case_name]: $*"
  failures=$((failures + 1))
}

mkdir -p "$work/bin"
# Every stand-in logs its call; the answers come from files in $STATE.
cat >"$work/bin/apt-get" <<'EOF'
#!/usr/bin/env bash
echo "apt-get $*" >>"$STATE/calls"
case $1 in
update)
  n=$(($(cat "$STATE/updates" 2>/dev/null || echo 0) + 1))
  echo "$n" >"$STATE/updates"
  answer=$(sed -n "${n}p" "$STATE/update_answers")
  answer=${answer:-$(tail -n 1 "$STATE/update_answers")}
  case $answer in
  mid-sync)
    echo "E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 203.0.113.80 80]"
    echo "   Hashes of expected file:"
    echo "    - Filesize:376004 [weak]"
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
    exit 100 ;;
  offline)
    echo "W: Failed to fetch http://deb.debian.org/debian/dists/bookworm/InRelease  Temporary failure resolving 'deb.debian.org'"
    echo "W: Some index files failed to download. They have been ignored, or old ones used instead."
    exit 0 ;;
  esac ;;
install)
  case $(cat "$STATE/install_answer") in
  held)
    echo "Some packages could not be installed. This may mean that you have"
    echo "requested an impossible situation or if you are using the unstable"
    echo "distribution that some required packages have not yet been created"
    echo "or been moved out of Incoming."
    echo "The following packages have unmet dependencies:"
    echo " libgbm1:i386 : Depends: libexpat1:i386 (>= 2.0.1) but it is not going to be installed"
    echo "E: Unable to correct problems, you have held broken packages."
    exit 100 ;;
  offline)
    echo "E: Failed to fetch http://deb.debian.org/debian/pool/main/s/sdl12-compat/libsdl1.2-compat-dev_1.2.60-2_i386.deb  Temporary failure resolving 'deb.debian.org'"
    exit 100 ;;
  esac
  shift
  for p in "$@"; do
    case $p in -*) ;; *) echo "$p" >>"$STATE/installed" ;; esac
  done ;;
download)
  if [ "$(cat "$STATE/download_answer")" != ok ]; then
    echo "E: Can't select candidate version from package libsdl1.2debian:i386 as it has no candidate" >&2
    exit 100
  fi
  touch libsdl1.2debian_1.2.15+dfsg2-8_i386.deb ;;
esac
EOF
cat >"$work/bin/dpkg" <<'EOF'
#!/usr/bin/env bash
echo "dpkg $*" >>"$STATE/calls"
case $1 in
--print-foreign-architectures) cat "$STATE/architectures" ;;
--add-architecture) echo "$2" >>"$STATE/architectures" ;;
-x) mkdir -p "$3/usr/lib/i386-linux-gnu" && touch "$3/usr/lib/i386-linux-gnu/libSDL-1.2.so.0" ;;
esac
EOF
cat >"$work/bin/dpkg-query" <<'EOF'
#!/bin/sh
for package; do :; done
if grep -qxF -e "$package" -e '*' "$STATE/installed" 2>/dev/null; then
  printf 'install ok installed'
else
  exit 1
fi
EOF
printf '#!/bin/sh\necho 0\n' >"$work/bin/id"
printf '#!/bin/sh\necho "sleep $*" >>"$STATE/calls"\n' >"$work/bin/sleep"
chmod +x "$work/bin/"*

# run_case NAME UPDATE_ANSWERS INSTALL DOWNLOAD INSTALLED LIBRARY: runs the
# script; its output goes to $out, its status to $status, the calls to $calls.
run_case() {
  case_name=$1
  export STATE=$work/$1
  mkdir -p "$STATE"
  printf '%s\n' $2 >"$STATE/update_answers"
  echo "$3" >"$STATE/install_answer"
  echo "$4" >"$STATE/download_answer"
  echo "$5" >"$STATE/installed"
  echo i386 >"$STATE/architectures"
  if [ "$6" = present ]; then
    mkdir -p "$STATE/deps/classic-sdl/usr/lib/i386-linux-gnu"
    touch "$STATE/deps/classic-sdl/usr/lib/i386-linux-gnu/libSDL-1.2.so.0"
  fi
  out=$(PATH="$work/bin:$PATH" LUMOX_DEPS_DIR=$STATE/deps bash "$source/scripts/install-deps.sh" 2>&1)
  status=$?
  calls=$(cat "$STATE/calls" 2>/dev/null || true)
}
expect_status() { [ "$status" -eq "$1" ] || fail "status $status, expected $1; output:"$'\n'"$out"; }
expect_said() { [[ "$out" == *"$1"* ]] || fail "did not say '$1'; output:"$'\n'"$out"; }
expect_not_said() { [[ "$out" != *"$1"* ]] || fail "said '$1'; output:"$'\n'"$out"; }
count() { grep -c -- "$1" <<<"$calls" || true; }

# Nothing missing: apt is not touched at all.
run_case all-present ok ok ok '*' present
expect_status 0
expect_said "all packages present"
[ -z "$(grep apt-get <<<"$calls")" ] || fail "apt-get ran: $calls"

# The mirror is mid-sync twice, then reads: two pauses, then the install and
# the classic library.
run_case recovers "mid-sync mid-sync ok" ok ok '' absent
expect_status 0
[ "$(count 'apt-get update')" -eq 3 ] || fail "updates: $calls"
[ "$(count '^sleep ')" -eq 2 ] || fail "pauses: $calls"
[ "$(count 'apt-get install')" -eq 1 ] || fail "installs: $calls"
[ -e "$STATE/deps/classic-sdl/usr/lib/i386-linux-gnu/libSDL-1.2.so.0" ] ||
  fail "the classic library was not unpacked"
expect_said "Mirror sync in progress?"

# Mid-sync on every try, and the i386 packages cannot be matched with the
# amd64 ones: a few tries, then what is missing, why, and to retry later.
run_case mid-sync "mid-sync" held ok 'cmake' absent
expect_status 1
[ "$(count 'apt-get update')" -eq 3 ] || fail "updates: $calls"
[ "$(count '^sleep ')" -eq 2 ] || fail "pauses: $calls"
expect_said "the package mirror could not be read or was mid-sync"
expect_said "File has unexpected size (374820 != 376004). Mirror sync in progress?"
expect_said "apt-get said: E: Unable to correct problems, you have held broken packages."
expect_said "missing: build-essential g++-multilib make"
expect_said "libsdl1.2-compat-dev:i386"
expect_not_said "missing: cmake"
expect_said "run make deps again later"

# A failed index that the packages do not come from: they install anyway.
run_case index-not-needed "mid-sync" ok ok '' absent
expect_status 0
expect_not_said "missing:"

# No network: the mirror cannot be reached.
run_case offline "offline" offline fail '' absent
expect_status 1
expect_said "the package mirror cannot be reached"
expect_not_said "mid-sync"
expect_said "missing: build-essential"
expect_said "run make deps again later"

# Every package present but the classic library: the lists are updated once
# and the download tried again; a mirror without it is named.
run_case library-only ok ok fail '*' absent
expect_status 1
[ "$(count 'apt-get download')" -eq 2 ] || fail "downloads: $calls"
[ "$(count 'apt-get install')" -eq 0 ] || fail "installed: $calls"
expect_said "missing: libsdl1.2debian:i386"
expect_said "no candidate"

# The lists were just updated for an install: a failed download of the
# classic library is named, without updating them again.
run_case install-then-library ok ok fail '' absent
expect_status 1
[ "$(count 'apt-get update')" -eq 1 ] || fail "updates: $calls"
[ "$(count 'apt-get download')" -eq 1 ] || fail "downloads: $calls"
expect_said "missing: libsdl1.2debian:i386"

# A machine without the i386 architecture gets it added, then the lists.
run_case architecture ok ok ok '*' present
: >"$STATE/architectures"
rm -f "$STATE/calls"
out=$(PATH="$work/bin:$PATH" LUMOX_DEPS_DIR=$STATE/deps bash "$source/scripts/install-deps.sh" 2>&1)
status=$?
calls=$(cat "$STATE/calls")
expect_status 0
[ "$(count 'dpkg --add-architecture i386')" -eq 1 ] || fail "architecture: $calls"
[ "$(count 'apt-get update')" -eq 1 ] || fail "updates: $calls"

if [ "$failures" -gt 0 ]; then
  echo "$failures failed"
  exit 1
fi
echo "install-deps: every case as expected"
