#!/usr/bin/env bash
# make_corpus.sh DIR: small FAT12/16/32 images for the fuzzer to start from,
# with long names, a subfolder, a fragmented file and deleted items.
set -euo pipefail
dir=${1:?usage: make_corpus.sh DIR}
mkdir -p "$dir"
export MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8 TZ=UTC
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
head -c 1500 < <(yes "some text") >"$tmp/a.txt"
head -c 700 < <(yes "more") >"$tmp/B.TXT"
head -c 3000 < <(yes "long name") >"$tmp/A long file name.txt"
make() {  # make NAME BITS KIB [extra mkfs args]
  local img=$dir/$1.img
  rm -f "$img"
  mkfs.fat -F "$2" -C "$img" "$3" "${@:4}" >/dev/null
  mcopy -i "$img" "$tmp/a.txt" "$tmp/B.TXT" ::/
  mmd -i "$img" ::/Sub
  mcopy -i "$img" "$tmp/A long file name.txt" "$tmp/a.txt" ::/Sub/
  mdel -i "$img" ::/B.TXT
  mdeltree -i "$img" ::/Sub
}
make fat12 12 64 -s 1
make fat16 16 4200 -s 1 -r 32
make fat32 32 33300 -s 1 -f 1 -R 8 -b 6
# FAT32 with fewer clusters than FAT16 may have (mtools will not write into it).
rm -f "$dir/fat32small.img"
mkfs.fat -F 32 -C "$dir/fat32small.img" 2000 -s 1 -f 1 -R 8 >/dev/null 2>&1
# The larger ones cut to where their data ends, so the fuzzer can afford them.
truncate -s 160K "$dir/fat16.img"
truncate -s 320K "$dir/fat32.img"
truncate -s 64K "$dir/fat32small.img"
