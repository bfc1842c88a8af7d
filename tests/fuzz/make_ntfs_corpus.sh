#!/usr/bin/env bash
# make_ntfs_corpus.sh DIR: small NTFS images for the NTFS fuzzer to start
# from: 512-byte and 4 KiB clusters, Win32 and POSIX names, a folder with an
# index allocation, resident and non-resident files, deleted items. Filling
# needs an ntfs-3g mount (FUSE and root); without one the images stay empty.
# Shapes no formatter makes come from the committed seeds beside this script:
# ntfs_mft_far_list, an MFT whose own attribute list names far records
# hundreds of times (remade by MOX_WRITE_SEED=FILE test_ntfs
# --gtest_filter='NtfsMftList.*').
set -euo pipefail
dir=${1:?usage: make_ntfs_corpus.sh DIR}
mkdir -p "$dir"
tmp=$(mktemp -d)
trap 'mountpoint -q "$tmp/mnt" && umount "$tmp/mnt"; rm -rf "$tmp"' EXIT
mkdir "$tmp/mnt"
make() {  # make NAME CLUSTER
  local img=$dir/$1.img
  rm -f "$img"
  truncate -s 2M "$img"
  mkntfs -F -f -q -c "$2" -s 512 -H 1 -S 32 -L fuzz "$img" >/dev/null 2>&1
  if ntfs-3g "$img" "$tmp/mnt" 2>/dev/null; then
    (
      cd "$tmp/mnt"
      echo hello >a.txt
      setfattr -n system.ntfs_dos_name -v A.TXT a.txt 2>/dev/null || true
      head -c 3000 </dev/urandom >b.bin
      mkdir Sub
      for i in $(seq 1 40); do echo "$i" >"Sub/file$i.txt"; done
      head -c 2000 </dev/urandom >Sub/del.bin
      echo x >gone.txt
      rm Sub/del.bin gone.txt Sub/file3*.txt
    )
    umount "$tmp/mnt"
  else
    echo "make_ntfs_corpus.sh: no ntfs-3g mount here; $1 stays empty" >&2
  fi
  # The boot sector and the MFT lie in the first 160 KiB; the fuzzer pads the rest.
  truncate -s 160K "$img"
}
make ntfs512 512
make ntfs4k 4096
for seed in "$(dirname "$0")"/seeds/*.img.xz; do
  xz -dc "$seed" >"$dir/$(basename "$seed" .xz)"
done
