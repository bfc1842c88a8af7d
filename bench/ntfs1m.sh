#!/usr/bin/env bash
# The million-file NTFS volume: listing, deleted search and recovery of every
# deleted file against The Sleuth Kit and ntfsundelete, with peak memory.
# The image is made once by mkntfs and ntfs-3g (bench/ntfs1m_fill.py) and kept
# in bench/out/ntfs-1m.img: 1,000,000 files in 4,040 folders, about a tenth of
# them deleted after all were written, 40 folders with them.
#   moxvolscan ls --deleted        vs  fls -r -p            (hyperfine)
#   moxvolscan ls --deleted-only   vs  ntfsundelete --scan  (hyperfine)
#   moxvolscan recover IMG D       vs  tsk_recover IMG D, ntfsundelete --undelete
#                                      (alternating runs, medians)
#   peak memory of each            (/usr/bin/time -v)
# Making the image needs root and FUSE and takes a while (skipped without);
# MOX_BENCH_IMAGE_ONLY=1 makes it and stops. MOX_BENCH_RECOVER_RUNS sets the
# recovery rounds (default 3).
# Usage: bench/ntfs1m.sh [BUILD_DIR]  (default build-bench)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build-bench}
out="$root/bench/out"
image=${MOX_BENCH_NTFS1M_IMAGE:-$out/ntfs-1m.img}
tool="$root/$build/moxvolscan"
mkdir -p "$out"
export LC_ALL=C.UTF-8 TZ=UTC

build_image() {
  if [ "$(id -u)" != 0 ] || [ ! -w /dev/fuse ]; then
    echo "bench/ntfs1m.sh: skipped, making $image needs root and /dev/fuse (ntfs-3g)" >&2
    exit 0
  fi
  local mnt
  mnt=$(mktemp -d)
  # EXIT as well: a failing step ends the script, which RETURN does not see.
  trap 'mountpoint -q "$mnt" && umount "$mnt"; rmdir "$mnt"; trap - EXIT' RETURN EXIT
  rm -f "$image.tmp"
  # Sparse: about 5 GiB get written, 1 GiB of it the MFT.
  truncate -s 8G "$image.tmp"
  mkntfs -F -q -f -c 4096 -L BENCH1M "$image.tmp" >/dev/null 2>&1
  ntfs-3g -o noatime,big_writes "$image.tmp" "$mnt"
  python3 "$root/bench/ntfs1m_fill.py" "$mnt" "${MOX_BENCH_WORKERS:-3}" >"$image.counts"
  umount "$mnt"
  local kept want
  kept=$(fls -r -p -u "$image.tmp" | grep -c '^r/r .*/.*/')
  want=$(python3 -c 'import json,sys; c=json.load(open(sys.argv[1])); print(c["files"]-c["deleted"])' "$image.counts")
  [ "$kept" = "$want" ] || { echo "bench/ntfs1m.sh: $kept files left instead of $want" >&2; exit 1; }
  mv "$image.tmp" "$image"
}

[ -f "$image" ] || build_image
[ "${MOX_BENCH_IMAGE_ONLY:-0}" = 1 ] && exit 0
[ -x "$tool" ] || "$root/scripts/build.sh" "$build" >/dev/null

recover_runs=${MOX_BENCH_RECOVER_RUNS:-3}
dest="$out/ntfs-1m-recovered"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"

# Listings: hyperfine, side by side; the warm-up run brings the MFT and the
# folders' indexes into the page cache.
hyperfine -N --warmup 1 --runs "${MOX_BENCH_LIST_RUNS:-5}" --export-json "$out/ntfs-1m-list.json" \
  -n "fls -r -p" "fls -r -p '$image'" \
  -n "moxvolscan ls --deleted" "'$tool' ls '$image' --deleted" \
  -n "ntfsundelete --scan" "ntfsundelete --scan '$image'" \
  -n "moxvolscan ls --deleted-only" "'$tool' ls '$image' --deleted-only"

# Peak memory and wall time of one run under /usr/bin/time -v.
measure() {  # NAME COMMAND...
  local name=$1 stats="$out/ntfs-1m-time.$1.$round"
  shift
  /usr/bin/time -v -o "$stats" "$@" >/dev/null 2>"$out/ntfs-1m-stderr.$name"
}
rm -f "$out"/ntfs-1m-time.*
round=0
measure fls fls -r -p "$image"
measure ls "$tool" ls "$image" --deleted
measure scan ntfsundelete --scan "$image"
measure ls-deleted-only "$tool" ls "$image" --deleted-only

# Recovery takes minutes a run: alternating rounds, each destination emptied
# first, medians of the rounds.
for round in $(seq 1 "$recover_runs"); do
  rm -rf "$dest"; mkdir -p "$dest"
  measure recover "$tool" recover "$image" "$dest/mox"
  measure tsk_recover tsk_recover "$image" "$dest/tsk"
  measure undelete ntfsundelete "$image" --undelete --match '*' --force --destination "$dest/undelete"
  [ "$round" = "$recover_runs" ] || continue
  for d in mox tsk undelete; do
    echo "$d: $(find "$dest/$d" -type f | wc -l) files, $(du -sb "$dest/$d" | cut -f1) bytes"
  done
done
rm -rf "$dest"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"

python3 - "$out" "$recover_runs" <<'PY'
import glob, json, re, statistics, sys
out, runs = sys.argv[1], int(sys.argv[2])
def stats(name):
    rows = []
    for f in sorted(glob.glob(f"{out}/ntfs-1m-time.{name}.*")):
        t = open(f).read()
        get = lambda key: re.search(rf"{key}: (.*)", t).group(1)
        h, m, s = (["0", "0"] + get(r"Elapsed \(wall clock\) time \(h:mm:ss or m:ss\)").split(":"))[-3:]
        rows.append((int(h) * 3600 + int(m) * 60 + float(s),
                     float(get("User time \(seconds\)")) + float(get("System time \(seconds\)")),
                     int(get(r"Maximum resident set size \(kbytes\)")) / 1024))
    return rows
lists = {x["command"]: x for x in json.load(open(f"{out}/ntfs-1m-list.json"))["results"]}
for name, x in lists.items():
    print(f"{name:30s} median {x['median']:8.3f} s  CPU {x['user'] + x['system']:8.3f} s")
mem = {n: stats(n)[0][2] for n in ["fls", "ls", "scan", "ls-deleted-only"]}
for ours, theirs, a, b in [("moxvolscan ls --deleted", "fls -r -p", "ls", "fls"),
                           ("moxvolscan ls --deleted-only", "ntfsundelete --scan", "ls-deleted-only", "scan")]:
    o, t = lists[ours], lists[theirs]
    print(f"{ours:30s} vs {theirs:20s} ratio {o['median'] / t['median']:.3f} wall, "
          f"{(o['user'] + o['system']) / (t['user'] + t['system']):.3f} CPU; "
          f"peak memory {mem[a]:.0f} / {mem[b]:.0f} MiB")
rec = {n: [r for r in stats(n) if r] for n in ["recover", "tsk_recover", "undelete"]}
med = {n: [statistics.median(c) for c in zip(*rows)] for n, rows in rec.items()}
for n, (wall, cpu, rss) in med.items():
    print(f"{n:30s} median of {runs}: {wall:8.2f} s wall, {cpu:8.2f} s CPU, {rss:7.0f} MiB peak")
for theirs in ["tsk_recover", "undelete"]:
    print(f"recover vs {theirs:20s} ratio {med['recover'][0] / med[theirs][0]:.3f} wall, "
          f"{med['recover'][1] / med[theirs][1]:.3f} CPU")
PY
