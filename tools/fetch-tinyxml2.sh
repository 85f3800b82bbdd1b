#!/usr/bin/env bash
# Fetches Debian's tinyxml2 source package into a cache folder (never committed)
# and prints the folder that holds tinyxml2.cpp and tinyxml2.h.
# Usage: fetch-tinyxml2.sh CACHE_DIR
set -euo pipefail
cache=$(mkdir -p "$1" && cd "$1" && pwd)
found() { find "$cache/src" -maxdepth 2 -name tinyxml2.cpp -printf '%h\n' 2>/dev/null | head -n 1; }
dir=$(found || true)
if [ -z "$dir" ]; then
  apt_dir="$cache/apt"
  mkdir -p "$apt_dir/sources" "$apt_dir/lists/partial" "$cache/src"
  # A private deb-src list, so the machine's own apt configuration stays untouched.
  suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
  echo "deb-src http://deb.debian.org/debian $suite main" > "$apt_dir/sources/debsrc.list"
  opts=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$apt_dir/sources"
        -o Dir::State::Lists="$apt_dir/lists" -o APT::Sandbox::User=root)
  apt-get "${opts[@]}" update -qq >&2
  (cd "$cache/src" && apt-get "${opts[@]}" source --download-only -qq tinyxml2 >&2)
  tarball=$(ls "$cache/src"/tinyxml2_*.orig.tar.* | head -n 1)
  tar -xf "$tarball" -C "$cache/src"
  dir=$(found)
fi
[ -n "$dir" ] || { echo "tinyxml2 source not found" >&2; exit 1; }
echo "$dir"
