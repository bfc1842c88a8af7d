#!/usr/bin/env bash
# NTFS listing, deleted search and read against The Sleuth Kit and
# ntfsundelete, side by side in one hyperfine run, on an NTFS image made by
# mkntfs and filled through ntfs-3g (cached in bench/out/): 50,000 files in
# 100 folders, 5,000 of them deleted after all were written, and a 256 MiB
# file.
#   moxvolscan ls --deleted        vs  fls -r -p          (full listing)
#   moxvolscan ls --deleted-only   vs  ntfsundelete --scan (deleted items)
#   moxvolscan cat (256 MiB)       vs  icat
# Making the image needs root and FUSE (once; skipped without). Where moxvolscan does not read
# the image yet, only the other tools are timed, and the script says so.
# Usage: bench/ntfs.sh [BUILD_DIR]  (default build-bench)
set -euo pipefail
source "$(dirname "$0")/program.bash"
image=${MOX_BENCH_NTFS_IMAGE:-$out/ntfs-50k.img}


build_image() {
  if [ "$(id -u)" != 0 ] || [ ! -w /dev/fuse ]; then
    # Not a failure of ours: bench/run.sh goes on with the other topics.
    echo "bench/ntfs.sh: skipped, making $image needs root and /dev/fuse (ntfs-3g)" >&2
    exit 0
  fi
  local mnt
  mnt=$(mktemp -d)
  trap 'mountpoint -q "$mnt" && umount "$mnt"; rmdir "$mnt"' RETURN
  rm -f "$image.tmp"
  truncate -s 1G "$image.tmp"
  mkntfs -F -q -f -c 4096 -L BENCH "$image.tmp" >/dev/null 2>&1
  ntfs-3g "$image.tmp" "$mnt"
  # Long names with DOS names beside them, as on volumes written by Windows:
  # two index entries per file. Half the files are small enough to be
  # resident in their records.
  python3 - "$mnt" <<'PY'
import os, sys
top = sys.argv[1]
for d in range(100):
    p = os.path.join(top, f"Folder {d:03d}")
    os.mkdir(p)
    os.setxattr(p, "system.ntfs_dos_name", f"F{d:07d}".encode())
    for f in range(500):
        name = os.path.join(p, f"Report {f:04d} of folder {d:03d}.txt")
        with open(name, "wb") as fh:
            fh.write(b"x" * ((d * 7919 + f * 104729) % 1800))
        os.setxattr(name, "system.ntfs_dos_name", f"R{f:07d}.TXT".encode())
PY
  head -c 268435456 /dev/urandom >"$mnt/Big file.bin"
  # Deleted after everything was written: every tenth file.
  local d
  for d in $(seq -f %03g 0 99); do
    rm -f "$mnt/Folder $d"/Report\ ???0\ *
  done
  umount "$mnt"
  local kept
  kept=$(fls -r -p -u "$image.tmp" | grep -c '/Report ')
  [ "$kept" = 45000 ] || { echo "bench/ntfs.sh: $kept files left instead of 45000" >&2; exit 1; }
  mv "$image.tmp" "$image"
}

[ -f "$image" ] || build_image
cat "$image" >/dev/null
inode=$(fls -p "$image" | awk -F'\t' '$2 == "Big file.bin" {split($1, h, " "); split(h[2], r, "-"); print r[1]}')
# grep -c reads to the end, so the listing is never cut off by a closed pipe.
if "$tool" ls "$image" 2>/dev/null | grep -c "Big file.bin" >/dev/null; then ours=1; else ours=0; fi

args=(-n "fls -r -p" "fls -r -p '$image'" -n "ntfsundelete --scan" "ntfsundelete --scan '$image'")
cat_args=(-n "icat" "icat '$image' $inode")
if [ "$ours" = 1 ]; then
  args+=(-n "moxvolscan ls --deleted" "'$tool' ls '$image' --deleted"
    -n "moxvolscan ls --deleted-only" "'$tool' ls '$image' --deleted-only")
  cat_args+=(-n "moxvolscan cat" "'$tool' cat '$image' 'Big file.bin'")
else
  echo "bench/ntfs.sh: $tool does not list NTFS images yet; timing the other tools only" >&2
fi
hyperfine -N --warmup 2 --runs 10 --export-json "$out/ntfs-list.json" "${args[@]}"
hyperfine -N --warmup 2 --runs 10 --export-json "$out/ntfs-cat.json" "${cat_args[@]}"

python3 - "$ours" "$out/ntfs-list.json" "$out/ntfs-cat.json" <<'PY'
import json, sys
r = {}
for f in sys.argv[2:]:
    r.update({x["command"]: x for x in json.load(open(f))["results"]})
for name, x in r.items():
    print(f"{name:30s} median {x['median']*1000:8.1f} ms  CPU {(x['user']+x['system'])*1000:8.1f} ms")
if sys.argv[1] == "1":
    for ours, theirs in [("moxvolscan ls --deleted", "fls -r -p"),
                         ("moxvolscan ls --deleted-only", "ntfsundelete --scan"),
                         ("moxvolscan cat", "icat")]:
        o, t = r[ours], r[theirs]
        print(f"{ours:30s} vs {theirs:20s} ratio {o['median']/t['median']:.2f} wall, "
              f"{(o['user']+o['system'])/(t['user']+t['system']):.2f} CPU")
PY
