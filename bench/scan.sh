#!/usr/bin/env bash
# Directory walk: `moxvolscan scan --count` against `find -printf` over a
# generated tree of 200,000 files in 2,220 folders (page cache warm), side by
# side with hyperfine. Usage: bench/scan.sh [BUILD_DIR]  (default build-bench)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build-bench}
tree=${MOX_BENCH_TREE:-/tmp/moxvolscan-bench-tree}
out="$root/bench/out"
mkdir -p "$out"

[ -x "$root/$build/moxvolscan" ] || "$root/scripts/build.sh" "$build" >/dev/null

# 20 x 10 x 10 leaf folders with 100 files each; sizes vary, content is sparse.
if [ ! -f "$tree/.complete" ]; then
  rm -rf "$tree"
  python3 - "$tree" <<'PY'
import os, sys
top = sys.argv[1]
n = 0
for a in range(20):
    for b in range(10):
        for c in range(10):
            d = os.path.join(top, f"dir{a:02d}", f"sub{b}", f"leaf{c}")
            os.makedirs(d)
            for f in range(100):
                p = os.path.join(d, f"file{f:03d}.dat")
                with open(p, "wb") as h:
                    h.truncate((n * 7919) % 100000)
                n += 1
open(os.path.join(top, ".complete"), "w").close()
PY
fi

files=$(find "$tree" -type f ! -name .complete | wc -l)
dirs=$(find "$tree" -type d | wc -l)
echo "tree: $tree ($files files, $dirs folders)"

# Warm the cache, then compare.
find "$tree" -printf '%s %T@ %p\n' >/dev/null
"$root/$build/moxvolscan" scan --count "$tree" >/dev/null
hyperfine --warmup 3 --runs 15 --export-json "$out/scan.json" \
  -n find "find '$tree' -printf '%s %T@ %p\n' >/dev/null" \
  -n moxvolscan "'$root/$build/moxvolscan' scan --count '$tree' >/dev/null"

python3 - "$out/scan.json" <<'PY'
import json, sys
r = {x["command"]: x for x in json.load(open(sys.argv[1]))["results"]}
f, m = r["find"]["median"], r["moxvolscan"]["median"]
print(f"median find {f*1000:.1f} ms, moxvolscan {m*1000:.1f} ms, ratio moxvolscan/find = {m/f:.2f}")
PY
