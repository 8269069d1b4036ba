#!/usr/bin/env bash
# Makes sure this machine can run 32-bit x86 programs: the host, the sample
# guest's tools and every test are such programs. Some kernels are built or
# booted without 32-bit emulation ("32-bit emulation disabled" in the kernel
# log); there the programs run under qemu's user-mode emulator, registered
# for 32-bit x86 executables through binfmt_misc, as cross-architecture
# builds do. Idempotent; needs root (or sudo) only when it must register.
#   run-i386.sh             set up (as above)
#   run-i386.sh --emulated  exit 0 when 32-bit programs run under the emulator
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
printf 'int main(void) { return 0; }\n' > "$work/probe.c"
gcc -m32 "$work/probe.c" -o "$work/probe"

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
