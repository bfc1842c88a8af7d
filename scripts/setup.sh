#!/usr/bin/env bash
# Installs what building, testing and benchmarking need (Debian packages),
# the Windows cross build and wine included. Quiet and idempotent: packages
# already present are not fetched again.
set -euo pipefail
pkgs=(cmake ninja-build ccache g++ clang libgtest-dev libclang-rt-14-dev
      dosfstools fdisk mtools sleuthkit ntfs-3g attr hyperfine xxd xz-utils pkgconf
      tzdata liburing-dev liburing2
      # Windows: the posix-thread mingw compilers, GoogleTest's sources to build
      # for them, and wine to run what they make (32-bit wine is an i386 package).
      g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix googletest
      wine wine64 wine32:i386)
SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
added_arch=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
  added_arch=1
fi
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] || [ $added_arch -eq 1 ]; then
  $SUDO apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
