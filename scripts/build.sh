#!/usr/bin/env bash
# build.sh DIR [SANITIZERS]: configure and build into DIR.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-build}
san=${2:-}
cmake -S "$root" -B "$root/$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMOX_SANITIZE="$san" >/dev/null
cmake --build "$root/$dir" -j"$(nproc)"
