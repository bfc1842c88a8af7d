#!/usr/bin/env bash
# build.sh DIR [SANITIZERS] [TARGET...]: configure and build into DIR (all
# targets unless some are named).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-build}
san=${2:-}
shift $(( $# > 2 ? 2 : $# ))
cmake -S "$root" -B "$root/$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMOX_SANITIZE="$san" >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "$root/$dir" -j"$(nproc)" "${targets[@]}"
