#!/usr/bin/env bash
# Exit 0 when this machine can run 32-bit Windows programs under Wine: its
# kernel runs Wine's 32-bit loader, natively or through the qemu-i386
# emulation that tools/setup-emulation.sh registers.
. "$(dirname "$0")/wine-env.sh"
[ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1
