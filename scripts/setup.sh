#!/usr/bin/env bash
# Installs what building, testing and benchmarking need (Debian packages).
# Quiet and idempotent: packages already present are not fetched again.
set -euo pipefail
pkgs=(cmake ninja-build ccache g++ clang libgtest-dev libclang-rt-14-dev
      dosfstools fdisk mtools sleuthkit ntfs-3g attr hyperfine xxd xz-utils pkgconf
      tzdata)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
