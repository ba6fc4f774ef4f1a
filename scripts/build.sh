#!/usr/bin/env bash
# build.sh DIR [cmake options...]: configures (once) and builds the project into DIR.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="$1"; shift
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/quelmar-ccache}"
export CCACHE_BASEDIR="$root"
export CCACHE_NOHASHDIR=1  # debug info paths differ between checkouts; keep hits across clones
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S "$root" -B "$dir" -G Ninja "$@" >/dev/null
else
  cmake "$dir" "$@" >/dev/null
fi
cmake --build "$dir" -j"$(nproc)"
