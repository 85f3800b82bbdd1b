#!/usr/bin/env bash
# Exit 0 when this machine can run 32-bit Windows programs under Wine (its
# kernel runs 32-bit Linux programs, which Wine's 32-bit loader is).
[ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1
