#!/usr/bin/env bash
# Runs a Windows test program under Wine in a prefix of its own, cloned from
# the template prefix, with one wineserver kept alive for the run.
# Usage: wine-run.sh PROGRAM [ARGS...]   (ZRA_WINE_ROOT names the prefix folder)
set -uo pipefail
tools=$(cd "$(dirname "$0")" && pwd)
root=${ZRA_WINE_ROOT:?ZRA_WINE_ROOT must name the folder of the template prefix}
name=$(basename "$1" .exe)
prefix="$root/run-$name"

"$tools/wine-prefix.sh" template "$root/template" || exit 1
"$tools/wine-prefix.sh" clone "$root/template" "$prefix" || exit 1
"$tools/wine-prefix.sh" start "$prefix"
. "$tools/wine-env.sh" "$prefix"
/usr/lib/wine/wine64 "$@" </dev/null
rc=$?
"$tools/wine-prefix.sh" stop "$prefix"
exit $rc
