#!/usr/bin/env bash
# Builds two whole-disk images in DIR: mbr.img (FAT32 primary 1, NTFS logical
# 5 in extended 2) and gpt.img (FAT32 1, NTFS 2). The FAT32 volume is made
# with mkfs.fat and filled with mtools; the NTFS one is a committed fixture.
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
rm -rf tree fat.img ntfs.img
