#!/usr/bin/env bash
# build-windows.sh ARCH DIR [TARGET...]: configures and builds the Windows
# build for ARCH (i686 or x86_64) into DIR with the mingw cross compilers (all
# targets unless some are named). Its tests run under wine in DIR/wine and
# compare with the Linux program of build/ when that exists.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
arch=$1
dir=$2
shift 2
launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$root" -B "$root/$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/mingw-$arch.cmake" \
  -DMOX_LINUX_TOOL="$root/build/moxvolscan" "${launcher[@]}" >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "$root/$dir" -j"$(nproc)" "${targets[@]}"
