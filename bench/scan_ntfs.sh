#!/usr/bin/env bash
# `moxvolscan scan` on ntfs-3g mounts, where the automatic choice reads the
# volume's MFT raw through NtfsLib, side by side with hyperfine:
#   scan --count MOUNT              vs  find MOUNT -printf (the same walk a
#                                       user would run on the mount)
#   scan --count MOUNT              vs  fls -r -p IMAGE (a raw listing)
#   scan --count M1 M2 M3 M4        vs  four scans one after the other
# on the 50,000-file image of bench/ntfs.sh (made there when missing), mounted
# read-only; the four volumes are sparse copies of it. Needs root and FUSE.
# Usage: bench/scan_ntfs.sh [BUILD_DIR]  (default build-bench)
set -euo pipefail
source "$(dirname "$0")/program.bash"
image=${MOX_BENCH_NTFS_IMAGE:-$out/ntfs-50k.img}

if [ "$(id -u)" != 0 ] || [ ! -w /dev/fuse ]; then
  echo "bench/scan_ntfs.sh: skipped, mounting with ntfs-3g needs root and /dev/fuse" >&2
  exit 0
fi
[ -f "$image" ] || "$root/bench/ntfs.sh" "$build"
[ -f "$image" ] || exit 0  # bench/ntfs.sh could not make it and said why

work=$(mktemp -d)
cleanup() {
  for m in "$work"/m*; do mountpoint -q "$m" && umount "$m"; done
  rm -rf "$work"
}
trap cleanup EXIT
mounts=()
for i in 1 2 3 4; do
  copy=$image
  if [ "$i" != 1 ]; then
    copy="$out/ntfs-50k-copy$i.img"
    [ -f "$copy" ] || cp --sparse=always "$image" "$copy"
  fi
  mkdir "$work/m$i"
  ntfs-3g -o ro "$copy" "$work/m$i"
  mounts+=("$work/m$i")
  cat "$copy" >/dev/null  # page cache warm for every reader
done
m1=${mounts[0]}

"$tool" scan --verbose --count "$m1" >/dev/null
find_count=$(find "$m1" -type f | wc -l)
echo "mount: $m1 ($("$tool" scan --count "$m1"), find sees $find_count files)"

# The first scan after mounting, as a user runs it: ntfs-3g's and the
# kernel's caches of the mount start empty for both (the image stays in the
# page cache; the prepare step waits until ntfs-3g answers).
remount="umount '$m1' && ntfs-3g -o ro '$image' '$m1' && stat '$m1' >/dev/null"
hyperfine --runs 5 --prepare "$remount" --export-json "$out/scan_ntfs_fresh.json" \
  -n "moxvolscan scan" "'$tool' scan --count '$m1' >/dev/null" \
  -n "find -printf" "find '$m1' -printf '%s %T@ %p\n' >/dev/null"

# Again and again on one mount: find now gets much of the mount from caches.
hyperfine --warmup 1 --runs 7 --export-json "$out/scan_ntfs.json" \
  -n "moxvolscan scan" "'$tool' scan --count '$m1' >/dev/null" \
  -n "find -printf" "find '$m1' -printf '%s %T@ %p\n' >/dev/null" \
  -n "fls -r -p" "fls -r -p '$image' >/dev/null"

hyperfine --warmup 1 --runs 10 --export-json "$out/scan_ntfs_four.json" \
  -n "four at once" "'$tool' scan --count ${mounts[*]} >/dev/null" \
  -n "one after the other" "for m in ${mounts[*]}; do '$tool' scan --count \$m >/dev/null; done"

python3 - "$out/scan_ntfs_fresh.json" "$out/scan_ntfs.json" "$out/scan_ntfs_four.json" <<'PY'
import json, sys
def medians(path):
    return {r["command"]: r["median"] for r in json.load(open(path))["results"]}
fresh, one, four = (medians(p) for p in sys.argv[1:4])
ours = fresh["moxvolscan scan"]
print(f"fresh mount: median moxvolscan {ours*1000:.0f} ms, find {fresh['find -printf']*1000:.0f} ms,"
      f" find / moxvolscan = {fresh['find -printf']/ours:.1f} (target >= 20)")
ours = one["moxvolscan scan"]
print(f"median moxvolscan {ours*1000:.0f} ms, find {one['find -printf']*1000:.0f} ms, fls {one['fls -r -p']*1000:.0f} ms")
print(f"same mount again: find / moxvolscan = {one['find -printf']/ours:.1f}")
print(f"moxvolscan / fls = {ours/one['fls -r -p']:.3f} (target <= 0.25)")
together, apart = four["four at once"], four["one after the other"]
print(f"four volumes: at once {together*1000:.0f} ms, one after the other {apart*1000:.0f} ms,"
      f" at once / one after the other = {together/apart:.2f}")
PY
