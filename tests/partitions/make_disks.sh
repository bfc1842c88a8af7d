#!/usr/bin/env bash
# Builds whole-disk images in DIR: mbr.img (FAT32 primary 1, NTFS logical 5
# in extended 2), gpt.img (FAT32 1, NTFS 2), and gpt4k.img, a disk of
# 4096-byte sectors holding at sectors 256 and 69376 a FAT32 and an NTFS
# volume made for such sectors; its GPT is written by the test (sfdisk writes
# 512-byte sectors into files). The 512-byte FAT32 volume is made with
# mkfs.fat and filled with mtools; its NTFS one is a committed fixture.
set -euo pipefail
dir=$1
src=$2
cd "$dir"
mkfs.fat -F 32 -n FATPART -C fat.img 33792 >/dev/null
mkdir -p tree/Docs/Deep
echo "hello from a partition" > tree/Hello.txt
head -c 70000 /dev/urandom > "tree/Docs/A long name.bin"
echo deep > "tree/Docs/Deep/Leaf note.txt"
echo gone > tree/gone.txt
export MTOOLS_SKIP_CHECK=1
mcopy -s -i fat.img tree/* ::/
mdel -i fat.img ::/gone.txt
xz -dc "$src/tests/fixtures/ntfs/ntfs512.img.xz" > ntfs.img

truncate -s 44M mbr.img
sfdisk -q mbr.img <<'T'
label: dos
start=2048, size=67584, type=c
start=69632, size=20480, type=5
start=71680, size=16384, type=7
T
truncate -s 45M gpt.img
sfdisk -q gpt.img <<'T'
label: gpt
start=2048, size=67584, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, name="fat"
start=69632, size=16384, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, name="ntfs"
T
for disk in mbr gpt; do
  dd if=fat.img of=$disk.img bs=512 seek=2048 conv=notrunc status=none
done
dd if=ntfs.img of=mbr.img bs=512 seek=71680 conv=notrunc status=none
dd if=ntfs.img of=gpt.img bs=512 seek=69632 conv=notrunc status=none

# FAT32 wants 65525 clusters: 270 MiB of 4 KiB ones, kept sparse.
mkfs.fat -F 32 -S 4096 -s 1 -n FAT4K -C fat4k.img 276480 >/dev/null
mcopy -s -i fat4k.img tree/* ::/
mdel -i fat4k.img ::/gone.txt
truncate -s 16M ntfs4k.img
mkntfs -F -q -s 4096 -p 69376 -L NTFS4K ntfs4k.img 2>/dev/null
ntfscp -q -f ntfs4k.img tree/Hello.txt Hello.txt
ntfscp -q -f ntfs4k.img "tree/Docs/A long name.bin" "A long name.bin"
truncate -s 288M gpt4k.img
dd if=fat4k.img of=gpt4k.img bs=4096 seek=256 conv=sparse,notrunc status=none
dd if=ntfs4k.img of=gpt4k.img bs=4096 seek=69376 conv=sparse,notrunc status=none
rm -rf tree fat.img ntfs.img fat4k.img ntfs4k.img
