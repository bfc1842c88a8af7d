#!/usr/bin/env bash
# Sequential throughput: a 256 MiB image read through ReadLogicalSectors in
# 1000-sector transfers against dd reading the same bytes in the same block
# size (page cache warm), side by side with hyperfine.
# Usage: bench/sequential.sh [BUILD_DIR]  (default build-bench)
set -euo pipefail
BUILD_DIR=${1:-build-bench}
source "$(dirname "$0")/image256.bash" bench_sequential
hyperfine -N --warmup 3 --runs 30 --export-json "$out/sequential.json" \
  -n dd "dd 'if=$image' of=/dev/null bs=512000 status=none" \
  -n ReadLogicalSectors "'$root/$build/bench_sequential' '$image'"

python3 - "$out/sequential.json" <<'PY'
import json, sys
r = {x["command"]: x for x in json.load(open(sys.argv[1]))["results"]}
d, m = r["dd"], r["ReadLogicalSectors"]
cpu = lambda x: x["user"] + x["system"]
mib = 256
print(f"median dd {d['median']*1000:.1f} ms ({mib/d['median']:.0f} MiB/s), "
      f"ReadLogicalSectors {m['median']*1000:.1f} ms ({mib/m['median']:.0f} MiB/s); "
      f"throughput ratio ReadLogicalSectors/dd = {d['median']/m['median']:.2f} wall, {cpu(d)/cpu(m):.2f} CPU")
PY
