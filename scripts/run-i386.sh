#!/usr/bin/env bash
# Makes sure this machine can run 32-bit x86 programs: the host, the sample
# guest's tools and every test are such programs. Some kernels are built or
# booted without 32-bit emulation ("32-bit emulation disabled" in the kernel
# log); there the programs run under qemu's user-mode emulator, registered
# for 32-bit x86 executables through binfmt_misc, as cross-architecture
# builds do. Idempotent; needs root (or sudo) only when it must register.
#   run-i386.sh              set up (as above)
#   run-i386.sh --emulated   exit 0 when 32-bit programs run under the emulator
#   run-i386.sh --report     one line: how they run, and whether make asan-test runs
#   run-i386.sh --asan-skip  exit 0 when make asan-test is to be skipped (saying
#                            why), 1 when it runs, 2 when CI would skip it on a
#                            kernel that runs 32-bit programs itself
# A machine whose kernel runs them natively is the one AddressSanitizer can run
# on, so in CI (CI=true) it must never skip: --report and --asan-skip fail there.
set -euo pipefail

if [ "${1:-}" = "--emulated" ]; then
  for entry in /proc/sys/fs/binfmt_misc/*; do
    if [ -f "$entry" ] && grep -qx enabled "$entry" 2>/dev/null &&
      grep -q '^interpreter .*qemu-i386' "$entry" 2>/dev/null; then
      exit 0
    fi
  done
  exit 1
fi

if [ "$(id -u)" -eq 0 ]; then
  sudo=()
else
  sudo=(sudo)
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# With an argument it waits, to be looked at while it runs.
printf '#include <unistd.h>\nint main(int argc, char **argv) { (void)argv; if (argc > 1) pause(); return 0; }\n' >"$work/probe.c"
gcc -m32 "$work/probe.c" -o "$work/probe"

# Whether the kernel itself runs a 32-bit program: a running one is its own
# executable, where under the emulator it is qemu's. Asked of the process,
# not of binfmt_misc's entries, so it holds whatever they say.
runs_natively() {
  local probe shell exe= pid tries
  probe=$(realpath "$work/probe")
  shell=$(readlink /proc/$$/exe)
  "$probe" wait 2>/dev/null &
  pid=$!
  # Until the exec, the child is still this shell.
  for ((tries = 0; tries < 400; tries++)); do
    exe=$(readlink "/proc/$pid/exe" 2>/dev/null) || break
    [ "$exe" != "$shell" ] && break
    sleep 0.05
  done
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  [ "$exe" = "$probe" ]
}

# Skipped only where 32-bit programs run under the emulator; in CI only where
# the kernel does not run them itself either.
asan_skips() {
  if ! bash "$0" --emulated; then
    return 1
  fi
  if [ "${CI:-}" = true ] && runs_natively; then
    echo "run-i386: CI on a kernel that runs 32-bit programs natively, yet they are taken for emulated:" >&2
    echo "run-i386: the sanitizer suite (make asan-test) would be skipped; it must run here" >&2
    return 2
  fi
  return 0
}

case ${1:-} in
--report)
  status=0
  asan_skips || status=$?
  case $status in
  0) echo "make test: 32-bit programs run under qemu's user-mode emulator here: the sanitizer suite (make asan-test) is skipped" ;;
  1) echo "make test: 32-bit programs run natively here: the sanitizer suite (make asan-test) runs after the plain one" ;;
  *) exit 1 ;;
  esac
  exit 0
  ;;
--asan-skip)
  status=0
  asan_skips || status=$?
  if [ "$status" -eq 0 ]; then
    echo "asan-test: skipped: 32-bit programs run under qemu's user-mode emulator on this"
    echo "asan-test: kernel, where AddressSanitizer's runtime does not start"
  fi
  exit "$status"
  ;;
esac

if "$work/probe" 2>/dev/null; then
  exit 0
fi

emulator=/usr/bin/qemu-i386-static
if [ ! -x "$emulator" ]; then
  echo "run-i386: this kernel does not run 32-bit programs and $emulator is missing" >&2
  echo "run-i386: install qemu-user-static (scripts/install-deps.sh does)" >&2
  exit 1
fi
binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e "$binfmt/register" ]; then
  "${sudo[@]}" mount -t binfmt_misc binfmt_misc "$binfmt"
fi
if [ ! -e "$binfmt/lumox-i386" ]; then
  # The ELF header of a 32-bit little-endian x86 executable or shared
  # object; F opens the emulator now, so it serves every mount namespace.
  magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  printf '%s' ":lumox-i386:M::$magic:$mask:$emulator:F" | "${sudo[@]}" tee "$binfmt/register" >/dev/null
fi
if ! "$work/probe"; then
  echo "run-i386: 32-bit programs still do not run, even under $emulator" >&2
  exit 1
fi
echo "run-i386: this kernel does not run 32-bit programs; they run under $emulator"
