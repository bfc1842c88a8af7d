#!/usr/bin/env bash
# Starting inputs for fuzz_partitions in DIR: small whole disks made with
# sfdisk, an MBR one with an extended chain of three logicals and a GPT one
# (primary and backup tables), and that GPT in 4096-byte sectors, each 256 KiB.
set -euo pipefail
dir=$1
mkdir -p "$dir"
cd "$dir"
truncate -s 256K mbr.bin gpt.bin
sfdisk -q mbr.bin <<'T'
label: dos
start=8, size=64, type=c
start=80, size=400, type=5
start=96, size=32, type=7
start=144, size=32, type=83
start=192, size=32, type=b
T
sfdisk -q gpt.bin <<'T'
label: gpt
first-lba: 34
start=40, size=100, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, name="data"
start=200, size=100, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4
T
# The same GPT moved to 4096-byte sectors (its header names LBA 1 and its
# array LBA 2, which hold in either unit), so the 4Kn path starts covered.
truncate -s 256K gpt4k.bin
dd if=gpt.bin of=gpt4k.bin bs=512 count=1 conv=notrunc status=none
dd if=gpt.bin of=gpt4k.bin bs=512 skip=1 seek=8 count=1 conv=notrunc status=none
dd if=gpt.bin of=gpt4k.bin bs=512 skip=2 seek=16 count=32 conv=notrunc status=none
