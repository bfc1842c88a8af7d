#!/usr/bin/env bash
# The million-file NTFS volume: listing, deleted search and recovery of every
# deleted file against The Sleuth Kit and ntfsundelete, with peak memory.
# The image is made once by mkntfs and ntfs-3g (bench/ntfs1m_fill.py) and kept
# in bench/out/ntfs-1m.img: 1,000,000 files in 4,040 folders, about a tenth of
# them deleted after all were written, 40 folders with them.
#   moxvolscan ls --deleted-only   vs  ntfsundelete --scan  (hyperfine)
#   moxvolscan ls --deleted        vs  fls -r -p            (alternating rounds)
#   moxvolscan recover IMG D       vs  tsk_recover IMG D, ntfsundelete --undelete
#                                      (alternating rounds, medians)
#   peak memory of each            (/usr/bin/time -v)
# Making the image needs root and FUSE and takes a while (skipped without);
# MOX_BENCH_IMAGE_ONLY=1 makes it and stops. MOX_BENCH_ROUNDS sets the rounds
# of the slow comparisons (default 3; fls alone takes minutes a run).
# Usage: bench/ntfs1m.sh [BUILD_DIR]  (default build-bench)
set -euo pipefail
source "$(dirname "$0")/program.bash"
image=${MOX_BENCH_NTFS1M_IMAGE:-$out/ntfs-1m.img}

build_image() {
  if [ "$(id -u)" != 0 ] || [ ! -w /dev/fuse ]; then
    echo "bench/ntfs1m.sh: skipped, making $image needs root and /dev/fuse (ntfs-3g)" >&2
    exit 0
  fi
  local mnt
  mnt=$(mktemp -d)
  # EXIT as well: a failing step ends the script, which RETURN does not see.
  # Both are cleared once run, or every later function's return would run it.
  trap 'mountpoint -q "$mnt" && umount "$mnt"; rmdir "$mnt"; trap - RETURN EXIT' RETURN EXIT
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

rounds=${MOX_BENCH_ROUNDS:-3}
dest="$out/ntfs-1m-recovered"
rm -f "$out"/ntfs-1m-time.*
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"

# The deleted search against ntfsundelete: hyperfine, side by side; the
# warm-up run brings the MFT into the page cache.
hyperfine -N --warmup 1 --runs 10 --export-json "$out/ntfs-1m-list.json" \
  -n "ntfsundelete --scan" "ntfsundelete --scan '$image'" \
  -n "moxvolscan ls --deleted-only" "'$tool' ls '$image' --deleted-only"

# Wall time, CPU time and peak memory of one run under /usr/bin/time -v.
measure() {  # NAME COMMAND...
  local name=$1
  shift
  /usr/bin/time -v -o "$out/ntfs-1m-time.$name.$round" "$@" >/dev/null 2>"$out/ntfs-1m-stderr.$name"
}
round=0
measure ls-deleted-only "$tool" ls "$image" --deleted-only
measure scan ntfsundelete --scan "$image"

# fls takes minutes over a million files, and each recovery minutes too:
# alternating rounds, each destination emptied first, medians of the rounds.
for round in $(seq 1 "$rounds"); do
  measure ls "$tool" ls "$image" --deleted
  measure fls fls -r -p "$image"
  rm -rf "$dest"
  mkdir -p "$dest/undelete"  # ntfsundelete makes no folder of its own
  measure recover "$tool" recover "$image" "$dest/mox"
  measure tsk_recover tsk_recover "$image" "$dest/tsk"
  measure undelete ntfsundelete "$image" --undelete --match '*' --force --destination "$dest/undelete"
  [ "$round" = "$rounds" ] || continue
  for d in mox tsk undelete; do
    find "$dest/$d" -type f -printf '%s\n' | awk -v d="$d" '{n++; b += $1} END {print d ": " n " files, " b " bytes"}'
  done
done
rm -rf "$dest"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"

python3 - "$out" <<'PY'
import glob, json, re, statistics, sys
out = sys.argv[1]
def median(name):
    rows = []
    for f in glob.glob(f"{out}/ntfs-1m-time.{name}.*"):
        t = open(f).read()
        get = lambda key: re.search(key + ": (.*)", t).group(1)
        h, m, s = (["0", "0"] + get(r"Elapsed \(wall clock\) time \(h:mm:ss or m:ss\)").split(":"))[-3:]
        rows.append((int(h) * 3600 + int(m) * 60 + float(s),
                     float(get(r"User time \(seconds\)")) + float(get(r"System time \(seconds\)")),
                     int(get(r"Maximum resident set size \(kbytes\)")) / 1024))
    return len(rows), [statistics.median(c) for c in zip(*rows)]
hf = {x["command"]: x for x in json.load(open(f"{out}/ntfs-1m-list.json"))["results"]}
for name, x in hf.items():
    print(f"{name:30s} hyperfine median {x['median']:8.3f} s, CPU {x['user'] + x['system']:7.3f} s")
o, t = hf["moxvolscan ls --deleted-only"], hf["ntfsundelete --scan"]
print(f"ls --deleted-only / ntfsundelete --scan: {o['median'] / t['median']:.3f} wall, "
      f"{(o['user'] + o['system']) / (t['user'] + t['system']):.3f} CPU")
m = {}
for name in ["ls-deleted-only", "scan", "ls", "fls", "recover", "tsk_recover", "undelete"]:
    n, m[name] = median(name)
    print(f"{name:20s} median of {n}: {m[name][0]:8.2f} s wall, {m[name][1]:8.2f} s CPU, "
          f"{m[name][2]:7.1f} MiB peak")
for ours, theirs in [("ls", "fls"), ("ls-deleted-only", "scan"), ("recover", "tsk_recover"),
                     ("recover", "undelete")]:
    a, b = m[ours], m[theirs]
    print(f"{ours} / {theirs}: {a[0] / b[0]:.3f} wall, {a[1] / b[1]:.3f} CPU, {a[2] / b[2]:.2f} memory")
PY
