#!/usr/bin/env bash
# The Debian package as a user gets it: built from the build tree into a
# scratch folder, its control fields and contents read back with dpkg-deb,
# unpacked into a scratch root and run from there.
# Usage: package_test.sh BUILD_DIR SOURCE_DIR VERSION
set -euo pipefail
build=$1 source=$2 version=$3
scratch=$(mktemp -d /tmp/lumoxpkg.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
expect_eq() { # what expected actual
  [ "$2" = "$3" ] || fail "$1: expected '$2', got '$3'"
}

cpack -G DEB -B "$scratch" --config "$build/CPackConfig.cmake" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log"; exit 1; }
deb=$scratch/lumoxrun_${version}_i386.deb
[ -f "$deb" ] || { cat "$scratch/cpack.log"; ls "$scratch"; exit 1; }

# Control fields.
expect_eq Package lumoxrun "$(dpkg-deb -f "$deb" Package)"
expect_eq Version "$version" "$(dpkg-deb -f "$deb" Version)"
expect_eq Architecture i386 "$(dpkg-deb -f "$deb" Architecture)"
[[ "$(dpkg-deb -f "$deb" Maintainer)" =~ ^[^\<]+\ \<[^\>@]+@[^\>]+\>$ ]] ||
  fail "Maintainer is not 'Name <address>': $(dpkg-deb -f "$deb" Maintainer)"
description=$(dpkg-deb -f "$deb" Description)
[ "$(wc -l <<<"$description")" -ge 2 ] || fail "Description has no long text"

depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libmd0 libavformat59 libavcodec59 libavutil57 libswresample4; do
  [[ ",$depends," =~ ,\ ?$library[\ ,] ]] || fail "Depends lacks $library: $depends"
done
# The clause for SDL 1.2 must be met by Debian's classic library and by the
# sdl12-compat shim, which provides libsdl1.2debian at version 1.2.15-1.
satisfies() { # clause package version [provided-name provided-version]
  local alternative name op wanted
  IFS='|' read -ra alternatives <<<"$1"
  for alternative in "${alternatives[@]}"; do
    read -r name op wanted <<<"$(echo "$alternative" | tr -d '()')"
    for candidate in "$2 $3" "${4:-} ${5:-}"; do
      read -r cname cversion <<<"$candidate"
      [ "$name" = "$cname" ] || continue
      if [ -z "${op:-}" ] || dpkg --compare-versions "$cversion" "$op" "$wanted"; then
        return 0
      fi
    done
  done
  return 1
}
sdl_clause=""
IFS=',' read -ra clauses <<<"$depends"
for clause in "${clauses[@]}"; do
  [[ "$clause" == *libsdl* ]] && sdl_clause=$clause
done
if [ -z "$sdl_clause" ]; then
  fail "Depends names no SDL 1.2 library: $depends"
else
  satisfies "$sdl_clause" libsdl1.2debian 1.2.15+dfsg2-8 ||
    fail "the classic SDL 1.2 does not meet '$sdl_clause'"
  satisfies "$sdl_clause" libsdl1.2-compat-shim 1.2.60-1 libsdl1.2debian 1.2.15-1 ||
    fail "the sdl12-compat shim does not meet '$sdl_clause'"
fi

# Contents: the program, its manual page and documents, nothing of the
# sample host or the tools.
expected_files="./usr/bin/lumoxrun
./usr/share/doc/lumoxrun/LICENSE
./usr/share/doc/lumoxrun/README.md
./usr/share/doc/lumoxrun/copyright
./usr/share/man/man1/lumoxrun.1.gz"
# Read whole first: grep -q would stop reading early and, under pipefail, the
# writer's broken pipe would count as a failure.
listing=$(dpkg-deb -c "$deb")
grep -q '^-rwxr-xr-x root/root .* \./usr/bin/lumoxrun$' <<<"$listing" ||
  fail "lumoxrun is not an executable owned by root"
expect_eq "files" "$expected_files" "$(awk '$1 !~ /^d/ {print $6}' <<<"$listing" | sort)"

# Unpacked and run from the scratch root, in an empty working directory.
dpkg -x "$deb" "$scratch/root"
root=$scratch/root/usr
mkdir "$scratch/work"
cd "$scratch/work"
status=0
usage=$(SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy "$root/bin/lumoxrun" -h) || status=$?
expect_eq "-h status" 0 "$status"
expect_eq "usage first line" "Virtual Lumox v0.90" "${usage%%$'\n'*}"
status=0
shown=$("$root/bin/lumoxrun" --version 2>&1) || status=$?
expect_eq "--version status" 0 "$status"
expect_eq "--version" "lumoxrun $version" "$shown"

cmp -s "$root/share/doc/lumoxrun/README.md" "$source/README.md" || fail "README differs"
cmp -s "$root/share/doc/lumoxrun/LICENSE" "$source/LICENSE" || fail "LICENSE differs"
man_source=$(gzip -dc "$root/share/man/man1/lumoxrun.1.gz")
grep -q "^\.TH LUMOXRUN 1 .*\"lumoxrun $version\"" <<<"$man_source" ||
  fail "the installed manual page does not carry version $version"
warnings=$(groff -man -Tascii -ww -z 2>&1 <<<"$man_source")
expect_eq "groff warnings on the installed manual page" "" "$warnings"

[ "$failures" -eq 0 ] || exit 1
echo "package lumoxrun_${version}_i386.deb: fields, contents and a run from a scratch root pass"
