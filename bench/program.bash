# Sourced by the benchmarks of the program with the build folder as $1
# (default build-bench): sets root, build, out and tool, makes out, builds the
# program when it is missing, and pins the locale and zone that every tool's
# output is read in.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-build-bench}
out="$root/bench/out"
tool="$root/$build/moxvolscan"
mkdir -p "$out"
export LC_ALL=C.UTF-8 TZ=UTC
[ -x "$tool" ] || "$root/scripts/build.sh" "$build" >/dev/null
