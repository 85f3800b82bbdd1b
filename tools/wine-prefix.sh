#!/usr/bin/env bash
# Wine prefixes for the tests and the demo.
#
#   wine-prefix.sh template DIR        create the 64-bit template prefix once
#   wine-prefix.sh clone TEMPLATE DIR  copy the template to DIR (replaced if present)
#   wine-prefix.sh seal DIR            remove the Z: drive, so programs in the
#                                      prefix cannot reach the Linux file system
#   wine-prefix.sh start DIR           start the prefix's wineserver (kept alive)
#   wine-prefix.sh stop DIR            stop the prefix's wineserver
#
# Wine links the profile's Desktop, Documents and other shell folders to the
# Linux home folder; the template replaces those links with plain folders so
# that nothing run in a prefix can reach the real home folder through them.
set -euo pipefail

# The 64-bit loader starts a 64-bit prefix; it hands 32-bit programs to the
# 32-bit loader where the kernel can run it.
WINE64=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64

wine_env() {
  . "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh" "$1"
  export WINEARCH=win64
}

start_server() {
  wine_env "$1"
  # The server inherits our output: detach it, or callers waiting on the
  # pipe (CTest, pytest) never see the end of file.
  "$WINESERVER" -p </dev/null >/dev/null 2>&1
  # Wine's background services start with the first program of a prefix
  # and keep its standard handles open: start them here, detached.
  "$WINE64" wineboot </dev/null >/dev/null 2>&1 || true
  # So does the desktop process (explorer /desktop), started by the first
  # program that creates a window or loads the shell: a program creating a
  # window here brings it up with our detached handles.
  "$WINE64" rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1 || true
}

stop_server() {
  [ -d "$1" ] || return 0
  wine_env "$1"
  "$WINESERVER" -k </dev/null >/dev/null 2>&1 || true
}

unlink_profile_folders() {
  local link
  while IFS= read -r -d '' link; do
    rm -f "$link"
    mkdir -p "$link"
  done < <(find "$1/drive_c/users" -type l -print0 2>/dev/null)
}

case "${1:-}" in
  template)
    dir="$2"
    if [ -f "$dir/.zra-template-ready" ]; then
      # Templates made before the drivers folder was added get it now.
      mkdir -p "$dir/drive_c/windows/syswow64/drivers"
      exit 0
    fi
    rm -rf "$dir"
    mkdir -p "$dir"
    dir=$(cd "$dir" && pwd)
    wine_env "$dir"
    # No persistent server here: wait until the server has saved the new
    # registry and gone.
    "$WINE64" wineboot -i </dev/null >/dev/null 2>&1
    "$WINESERVER" -w </dev/null >/dev/null 2>&1 || true
    unlink_profile_folders "$dir"
    # Windows has a drivers folder in SysWOW64 too; Wine 8 does not create
    # it, and paths redirected there from System32\drivers would fail.
    mkdir -p "$dir/drive_c/windows/syswow64/drivers"
    touch "$dir/.zra-template-ready"
    ;;
  clone)
    template="$2" dir="$3"
    [ -f "$template/.zra-template-ready" ] || { echo "no template prefix at $template" >&2; exit 1; }
    stop_server "$dir"
    rm -rf "$dir"
    mkdir -p "$(dirname "$dir")"
    # The system DLL folders are large and never written by the tests: hard
    # links make a clone cheap. Everything else is copied.
    local_links=(drive_c/windows/system32 drive_c/windows/syswow64)
    excludes=()
    for d in "${local_links[@]}"; do excludes+=(--exclude "./$d"); done
    mkdir -p "$dir"
    tar -C "$template" "${excludes[@]}" -cf - . | tar -C "$dir" -xf -
    for d in "${local_links[@]}"; do
      [ -d "$template/$d" ] && cp -al "$template/$d" "$dir/$d"
    done
    rm -f "$dir/.zra-template-ready"
    unlink_profile_folders "$dir"
    ;;
  seal)
    rm -f "$2/dosdevices/z:"
    ;;
  start)
    start_server "$2"
    ;;
  stop)
    stop_server "$2"
    ;;
  *)
    echo "usage: $0 template DIR | clone TEMPLATE DIR | seal DIR | start DIR | stop DIR" >&2
    exit 2
    ;;
esac
