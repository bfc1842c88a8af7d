#!/usr/bin/env bash
# make_ntfs_corpus.sh DIR: small NTFS images for the NTFS fuzzer to start
# from: 512-byte and 4 KiB clusters, Win32 and POSIX names, a folder with an
# index allocation, resident and non-resident files, deleted items. Filling
# needs an ntfs-3g mount (FUSE and root); without one the images stay empty.
# Written into every image's free records 19-23 (which ntfs-3g leaves alone):
# deleted files whose data or name lie in extension records; and a copy of
# each image without the MFT bitmap, whose free records only their headers tell.
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
# Deleted files spread over extension records: 20 holds the name and a list
# naming $DATA in 21 and 22 (two pieces); 23 holds $DATA and a list naming
# its name in 19. Then NAME-nobitmap.img: the MFT bitmap's type overwritten.
extensions() {  # extensions NAME
  python3 - "$dir/$1.img" "$dir/$1-nobitmap.img" <<'PY'
import struct, sys
img = bytearray(open(sys.argv[1], 'rb').read())
cluster = struct.unpack_from('<H', img, 11)[0] * img[13]
mft = struct.unpack_from('<q', img, 0x30)[0] * cluster

def attribute(kind, body, nonresident=False, low=0, clusters=0, size=0):
    header = 0x40 if nonresident else 0x18
    a = bytearray(header) + body
    a += bytes(-len(a) % 8)
    struct.pack_into('<IIBBH', a, 0, kind, len(a), nonresident, 0, header)
    if nonresident:
        struct.pack_into('<qqH', a, 0x10, low, low + clusters - 1, header)
        struct.pack_into('<qqq', a, 0x28, 2 * cluster, size, size)
    else:
        struct.pack_into('<IH', a, 0x10, len(body), header)
    return bytes(a)

def name(text):
    units = text.encode('utf-16-le')
    v = bytearray(0x42) + units
    struct.pack_into('<Q', v, 0, 5 | 5 << 48)
    struct.pack_into('<qI', v, 0x30, 100, 0x20)
    v[0x40], v[0x41] = len(text), 1
    return attribute(0x30, bytes(v))

def entry(kind, low, record):
    return struct.pack('<IHBBQQH6x', kind, 0x20, 0, 0x1A, low, record | 2 << 48, 0)

def record(n, attributes, base=0):
    r = bytearray(1024)
    body = b''.join(attributes) + struct.pack('<II', 0xFFFFFFFF, 0)
    r[0:4] = b'FILE'
    struct.pack_into('<HH', r, 4, 0x30, 3)
    struct.pack_into('<HHHHII', r, 0x10, 3, 0 if base else 1, 0x38, 0, 0x38 + len(body), 1024)
    struct.pack_into('<Q', r, 0x20, base and base | 2 << 48)
    r[0x38:0x38 + len(body)] = body
    for i in (1, 2):  # update sequence array
        r[0x30 + 2 * i:0x32 + 2 * i] = r[512 * i - 2:512 * i]
        r[512 * i - 2:512 * i] = b'\x07\x00'
    r[0x30:0x32] = b'\x07\x00'
    img[mft + 1024 * n:mft + 1024 * (n + 1)] = r

run = lambda lcn: bytes([0x11, 1, lcn, 0])
record(20, [name('split.bin'), attribute(0x20, entry(0x30, 0, 20) + entry(0x80, 0, 21) + entry(0x80, 1, 22))])
record(21, [attribute(0x80, run(30), True, 0, 1, cluster + 10)], base=20)
record(22, [attribute(0x80, run(31), True, 1, 1)], base=20)
record(19, [name('named.txt')], base=23)
record(23, [attribute(0x20, entry(0x30, 0, 19) + entry(0x80, 0, 23)), attribute(0x80, b'kept in 23\n')])
open(sys.argv[1], 'wb').write(img)
at = mft + struct.unpack_from('<H', img, mft + 0x14)[0]
while struct.unpack_from('<I', img, at)[0] not in (0xB0, 0xFFFFFFFF):
    at += struct.unpack_from('<I', img, at + 4)[0]
if struct.unpack_from('<I', img, at)[0] == 0xB0:
    struct.pack_into('<I', img, at, 0x100)
open(sys.argv[2], 'wb').write(img)
PY
}
make ntfs512 512
make ntfs4k 4096
extensions ntfs512
extensions ntfs4k
for seed in "$(dirname "$0")"/seeds/*.img.xz; do
  xz -dc "$seed" >"$dir/$(basename "$seed" .xz)"
done
