#!/usr/bin/env bash
# Runs every benchmark program under Wine, each in a fresh prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
if tools/can-run-win32.sh; then
  tree=build/win32
else
  echo "NOTE: 32-bit programs cannot run on this machine; benchmarking the 64-bit build." >&2
  make --no-print-directory build64 >/dev/null
  tree=build/win64
fi
export ZRA_WINE_ROOT="$PWD/$tree/wine"
shopt -s nullglob
for bench in "$tree"/bench/bench_*.exe; do
  # The upload benchmark needs the stand-in service: run below.
  [ "$(basename "$bench")" = bench_Upload.exe ] && continue
  echo "== $(basename "$bench" .exe)"
  tools/wine-run.sh "$bench"
done
echo "== bench_Upload (against the stand-in service on loopback)"
/usr/bin/python3 bench/upload_bench.py "$tree"
echo "== Windows Installer removal: step 3 against msiexec /x"
(. tools/wine-env.sh && /usr/bin/python3 bench/msi_bench.py "$tree")
echo "== The cleanup cycle of the simulated agent and of one ten times its size, with the tool's own overhead"
(. tools/wine-env.sh && /usr/bin/python3 bench/cycle_bench.py "$tree")
