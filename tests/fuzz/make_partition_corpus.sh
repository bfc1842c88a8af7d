#!/usr/bin/env bash
# Starting inputs for fuzz_partitions in DIR: small whole disks made with
# sfdisk, an MBR one with an extended chain of three logicals and a GPT one
# (primary and backup tables), each 256 KiB.
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
