#!/usr/bin/env bash
# Lets this machine run 32-bit Windows programs under Wine.
#
# Where the kernel runs 32-bit Linux programs, Wine's 32-bit loader just
# works and nothing is done. Where it cannot (a kernel without a 32-bit user
# code segment), every i386 Linux program is started through qemu-i386 user
# emulation: qemu-user from bookworm-backports (static, fast start-up) is
# installed through a private apt source list, and a binfmt_misc handler for
# i386 ELF executables and shared objects is registered with the F flag.
# The registration does not survive a reboot, so this runs before any use of
# Wine and is safe to run again.
#
# It also builds the preload library that repairs the trap number qemu
# leaves in the i386 signal context (see tools/emu/trapfix.c) into
# build/emu/$LIB/, one copy per architecture; tools/wine-env.sh loads it.
#
# Exit status: 0 when 32-bit Windows programs can run, 1 when they cannot.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
emu="$root/build/emu"
binfmt=/proc/sys/fs/binfmt_misc
entry=zra-qemu-i386
qemu=/usr/bin/qemu-i386
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

# The i386 ld.so, started the way Wine starts its 32-bit loader.
runs_i386() { /lib/ld-linux.so.2 --version >/dev/null 2>&1; }

install_qemu() {
  if [ -x "$qemu" ] && "$qemu" --version 2>/dev/null | grep -q 'version \(9\|1[0-9]\)\.'; then
    return 0
  fi
  echo "Installing qemu-user from bookworm-backports (private source list)" >&2
  local apt_dir="$root/.cache/apt-backports"
  mkdir -p "$apt_dir/sources" "$apt_dir/lists/partial"
  echo "deb http://deb.debian.org/debian bookworm-backports main" > "$apt_dir/sources/backports.list"
  local opts=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$apt_dir/sources"
              -o Dir::State::Lists="$apt_dir/lists" -o APT::Sandbox::User=root)
  $SUDO apt-get "${opts[@]}" update -qq >&2
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get "${opts[@]}" install -y -qq --no-install-recommends \
    qemu-user >/dev/null
}

register_binfmt() {
  if ! [ -e "$binfmt/register" ]; then
    $SUDO mount -t binfmt_misc binfmt_misc "$binfmt"
  fi
  if [ -e "$binfmt/$entry" ]; then
    grep -q "^interpreter $qemu\$" "$binfmt/$entry" && grep -qx enabled "$binfmt/$entry" && return 0
    echo -1 | $SUDO tee "$binfmt/$entry" >/dev/null
  fi
  # i386 ELF, ET_EXEC or ET_DYN (the mask ignores the low bit of e_type).
  local magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  local mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  printf '%s' ":$entry:M::$magic:$mask:$qemu:F" | $SUDO tee "$binfmt/register" >/dev/null
}

build_trapfix() {
  local src="$root/tools/emu/trapfix.c" lib32 lib64
  lib32="$emu/lib/i386-linux-gnu/libzra-trapfix.so"
  lib64="$emu/lib/x86_64-linux-gnu/libzra-trapfix.so"
  if [ -f "$lib32" ] && [ -f "$lib64" ] && [ "$lib32" -nt "$src" ] && [ "$lib64" -nt "$src" ]; then
    return 0
  fi
  mkdir -p "$(dirname "$lib32")" "$(dirname "$lib64")"
  gcc -m32 -O2 -fPIC -ffreestanding -fno-stack-protector -nostdlib -shared \
      -o "$lib32" "$src" /lib/i386-linux-gnu/libc.so.6
  gcc -O2 -fPIC -nostdlib -shared -o "$lib64" "$src"
}

if [ "$(uname -m)" != x86_64 ]; then
  runs_i386
  exit
fi
# The library is harmless where 32-bit code runs natively: build it anyway.
build_trapfix || { echo "the trap-number preload library could not be built" >&2; exit 1; }
if [ ! -e "$binfmt/$entry" ] && runs_i386; then
  exit 0   # the kernel runs 32-bit programs itself
fi
install_qemu || { echo "qemu-user could not be installed" >&2; exit 1; }
register_binfmt || { echo "the binfmt_misc handler could not be registered" >&2; exit 1; }
runs_i386
