#!/usr/bin/env bash
# Runs every test under Wine: the shipped 32-bit build where this machine can
# run 32-bit programs (natively or through qemu-i386 emulation, see
# tools/setup-emulation.sh), else the 64-bit build of the same sources.
set -euo pipefail
cd "$(dirname "$0")/.."
if tools/can-run-win32.sh; then
  tree=build/win32
else
  cat <<'NOTE'
NOTE: this machine cannot run 32-bit programs (its kernel has no 32-bit user
mode and the qemu-i386 emulation could not be set up), so Wine cannot start
the 32-bit ZRACleanupUtility.exe here. The tests
run the 64-bit build of the same sources (build/win64); checks that only a
32-bit process under WOW64 can show are reported as skipped.
NOTE
  make --no-print-directory build64
  tree=build/win64
fi
. tools/wine-env.sh
cd "$tree"
ctest --output-on-failure -j 2 "$@"
