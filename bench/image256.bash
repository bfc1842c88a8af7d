# Sourced by the sector benchmarks: sets root, build, image and out, builds
# the benchmark program named by $1 when missing, and makes the shared 256 MiB
# image (real data rather than a hole, so the page cache holds every page),
# read once so the cache is warm.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-build-bench}
image=${MOX_BENCH_IMAGE:-/tmp/moxvolscan-bench-256m.img}
out="$root/bench/out"
mkdir -p "$out"
[ -x "$root/$build/$1" ] || "$root/scripts/build.sh" "$build" >/dev/null
if [ ! -f "$image" ] || [ "$(stat -c %s "$image")" != 268435456 ]; then
  head -c 268435456 /dev/urandom >"$image.tmp" && mv "$image.tmp" "$image"
fi
cat "$image" >/dev/null
