#!/usr/bin/env bash
# build.sh DIR [SANITIZERS] [TARGET...]: configure and build into DIR (all
# targets unless some are named).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-build}
san=${2:-}
shift $(( $# > 2 ? 2 : $# ))
# ccache, where installed, serves objects again across build folders and
# checkouts of the tree (paths are taken relative to the checkout).
launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$root" -B "$root/$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMOX_SANITIZE="$san" "${launcher[@]}" >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "$root/$dir" -j"$(nproc)" "${targets[@]}"
