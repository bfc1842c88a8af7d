#!/usr/bin/env bash
# FAT32 listing, scan and read against The Sleuth Kit, side by side with
# hyperfine: a FAT32 image with 100,000 files in 1,010 folders (1,500 of the
# files deleted, 5 folders of them deleted as trees) and a 64 MiB file.
#   moxvolscan ls --deleted        vs  fls -r -p     (full listings, deleted included)
#   moxvolscan ls --deleted-only   vs  fls -r -p -d  (deleted items only)
#   moxvolscan scan --api vfat     vs  fls -r -p     (the raw FAT scanner; live files)
#   moxvolscan cat (64 MiB)        vs  icat
# Usage: bench/fat.sh [BUILD_DIR]  (default build-bench)
set -euo pipefail
source "$(dirname "$0")/program.bash"
image=${MOX_BENCH_FAT_IMAGE:-/tmp/moxvolscan-bench-fat32.img}
export MTOOLS_SKIP_CHECK=1

build_image() {
  local stage
  stage=$(mktemp -d)
  trap 'rm -rf "$stage"' RETURN
  # Mixed-case names get a long-name record and a plain 8.3 alias (no ~N
  # search), as most files on real volumes have.
  python3 - "$stage" <<'PY'
import os, sys
top = sys.argv[1]
for a in range(10):
    for d in range(100):
        p = os.path.join(top, "tree", f"Area{a:02d}", f"Dir{d:03d}")
        os.makedirs(p)
        for f in range(100):
            with open(os.path.join(p, f"File{f:04d}.txt"), "wb") as fh:
                fh.write(b"x" * ((a * 7919 + d * 104729 + f * 31) % 1800))
PY
  head -c 67108864 /dev/urandom >"$stage/tree/Big file.bin"
  rm -f "$image.tmp"
  mkfs.fat -F 32 -s 2 -n BENCH -C "$image.tmp" $((384 * 1024)) >/dev/null
  mcopy -i "$image.tmp" -s -Q "$stage/tree"/* ::/
  local a d f
  for a in 0 3 6 9; do
    for d in $(seq 0 24); do
      for f in 0 7 14 21 28 35 42 49 56 63 70 77 84 91 98; do
        printf '::/Area%02d/Dir%03d/File%04d.txt\n' "$a" "$d" "$f"
      done
    done
  done | xargs mdel -i "$image.tmp"
  for d in 50 51 52 53 54; do mdeltree -i "$image.tmp" "::/Area05/Dir0$d"; done
  mv "$image.tmp" "$image"
}

[ -f "$image" ] || build_image
cat "$image" >/dev/null
inode=$(fls -p "$image" | awk -F'\t' '$2 == "Big file.bin" {split($1, h, " "); sub(":", "", h[2]); print h[2]}')

hyperfine -N --warmup 2 --runs 10 --export-json "$out/fat-list.json" \
  -n "fls -r -p" "fls -r -p '$image'" \
  -n "moxvolscan ls --deleted" "'$tool' ls '$image' --deleted" \
  -n "fls -r -p -d" "fls -r -p -d '$image'" \
  -n "moxvolscan ls --deleted-only" "'$tool' ls '$image' --deleted-only" \
  -n "moxvolscan scan --api vfat" "'$tool' scan '$image' --api vfat"
hyperfine -N --warmup 2 --runs 10 --export-json "$out/fat-cat.json" \
  -n "icat" "icat '$image' $inode" \
  -n "moxvolscan cat" "'$tool' cat '$image' 'Big file.bin'"

python3 - "$out/fat-list.json" "$out/fat-cat.json" <<'PY'
import json, sys
r = {}
for f in sys.argv[1:]:
    r.update({x["command"]: x for x in json.load(open(f))["results"]})
def ratio(ours, theirs):
    o, t = r[ours], r[theirs]
    print(f"{ours:30s} {o['median']*1000:8.1f} ms  vs {theirs:14s} {t['median']*1000:8.1f} ms"
          f"  ratio {o['median']/t['median']:.2f} wall, {(o['user']+o['system'])/(t['user']+t['system']):.2f} CPU")
ratio("moxvolscan ls --deleted", "fls -r -p")
ratio("moxvolscan ls --deleted-only", "fls -r -p -d")
ratio("moxvolscan scan --api vfat", "fls -r -p")
ratio("moxvolscan cat", "icat")
PY
