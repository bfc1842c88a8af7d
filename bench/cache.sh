#!/usr/bin/env bash
# Sector cache: single-sector TDevice.ReadSec reads per second over a 256 MiB
# image, cache off against cache on (line size from DetectCacheLineSize), page
# cache warm. Five alternating runs per mode, medians compared; then the
# random-sector worst case once per mode.
# Usage: bench/cache.sh [BUILD_DIR]  (default build-bench)
set -euo pipefail
BUILD_DIR=${1:-build-bench}
source "$(dirname "$0")/image256.bash" bench_cache

log="$out/cache.txt"
: >"$log"
for _ in 1 2 3 4 5; do
  for mode in off on; do "$root/$build/bench_cache" "$image" "$mode" seq | tee -a "$log"; done
done
for mode in off on; do "$root/$build/bench_cache" "$image" "$mode" random | tee -a "$log"; done

python3 - "$log" <<'PY'
import re, statistics, sys
rates = {}
for line in open(sys.argv[1]):
    m = re.match(r"(on|off) (seq|random): .* = (\d+) reads/s", line)
    if m:
        rates.setdefault((m[1], m[2]), []).append(int(m[3]))
med = {k: statistics.median(v) for k, v in rates.items()}
off, on = med[("off", "seq")], med[("on", "seq")]
print(f"sequential: off {off:.0f} reads/s, on {on:.0f} reads/s, cached/uncached = {on/off:.1f}")
roff, ron = med[("off", "random")], med[("on", "random")]
print(f"random:     off {roff:.0f} reads/s, on {ron:.0f} reads/s, cached/uncached = {ron/roff:.3f}")
PY
