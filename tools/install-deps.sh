#!/usr/bin/env bash
# Installs the cross toolchain, Wine and the test tools when they are missing.
# Safe to run again: it does nothing when everything is already there.
set -euo pipefail

need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
for p in g++-mingw-w64-i686-posix mingw-w64-i686-dev g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev libz-mingw-w64-dev \
         wine wine32:i386 wine64 \
         msitools wixl python3-pytest python3-cryptography cmake make dpkg-dev xz-utils openssl curl; do
  have_pkg "$p" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  echo "Installing: ${need[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

# 32-bit Windows programs: natively, or through qemu-i386 user emulation
# (registered again after every reboot). Must come before the first prefix.
"$(dirname "$0")/setup-emulation.sh" || \
  echo "NOTE: 32-bit programs cannot run on this machine, not even through emulation." >&2
