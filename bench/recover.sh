#!/usr/bin/env bash
# Recovering every deleted file against The Sleuth Kit's tsk_recover (and, on
# NTFS, ntfsundelete --undelete), side by side in one hyperfine run per
# volume, on the images bench/fat.sh and bench/ntfs.sh make. Every run writes
# into a folder removed just before it. The folders are on tmpfs where there
# is one: ext4 makes new files slowly for a while after thousands were removed
# (the same for every tool), which would hide what the programs themselves do.
# Usage: bench/recover.sh [BUILD_DIR]  (default build-bench)
set -euo pipefail
source "$(dirname "$0")/program.bash"
fat=${MOX_BENCH_FAT_IMAGE:-/tmp/moxvolscan-bench-fat32.img}
ntfs=${MOX_BENCH_NTFS_IMAGE:-$out/ntfs-50k.img}
base=${MOX_BENCH_RECOVER_DIR:-$([ -w /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")}
scratch=$(mktemp -d "$base/moxvolscan-recover.XXXXXX")
trap 'rm -rf "$scratch"' EXIT


# recover NAME IMAGE: one hyperfine run over the tools, results in bench/out/recover-NAME.json.
recover() {
  local name=$1 image=$2
  if [ ! -f "$image" ]; then
    echo "bench/recover.sh: $image is missing (bench/$name.sh makes it); $name skipped" >&2
    return
  fi
  cat "$image" >/dev/null
  local args=(-n "moxvolscan recover" --prepare "rm -rf '$scratch/mox'" "'$tool' recover '$image' '$scratch/mox'"
    -n "tsk_recover" --prepare "rm -rf '$scratch/tsk'" "tsk_recover '$image' '$scratch/tsk'")
  if [ "$name" = ntfs ]; then
    args+=(-n "ntfsundelete" --prepare "sh -c 'rm -rf \"\$0\" && mkdir \"\$0\"' '$scratch/nu'" \
      "ntfsundelete '$image' --undelete --match '*' --force --destination '$scratch/nu'")
  fi
  hyperfine -N --warmup 1 --runs 10 --export-json "$out/recover-$name.json" "${args[@]}"
  local who counts=""
  for who in mox tsk nu; do
    if [ -d "$scratch/$who" ]; then
      counts+=" $who $(find "$scratch/$who" -type f | wc -l) files $(find "$scratch/$who" -type f -printf '%s\n' | awk '{n += $1} END {print n + 0}') bytes;"
    fi
  done
  echo "$name written:$counts"
}

recover fat "$fat"
recover ntfs "$ntfs"

python3 - "$out"/recover-*.json <<'PY'
import json, os, sys
for f in sys.argv[1:]:
    if not os.path.exists(f):
        continue
    r = {x["command"]: x for x in json.load(open(f))["results"]}
    print(os.path.basename(f)[:-5])
    for name, x in r.items():
        print(f"  {name:20s} median {x['median']*1000:8.1f} ms  CPU {(x['user']+x['system'])*1000:8.1f} ms")
    o, t = r["moxvolscan recover"], r["tsk_recover"]
    print(f"  moxvolscan recover vs tsk_recover: ratio {o['median']/t['median']:.2f} wall, "
          f"{(o['user']+o['system'])/(t['user']+t['system']):.2f} CPU")
PY
