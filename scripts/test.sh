#!/usr/bin/env bash
# The whole test suite: builds under AddressSanitizer + UndefinedBehaviorSanitizer
# and runs every suite in UTC, runs the plain build's suites once more in a
# zone with daylight saving (times must not depend on where the program runs),
# then builds the scanner and NtfsLib suites under ThreadSanitizer, runs a
# short pass of every fuzzer over its corpus, and last the Windows builds:
# 32-bit with its suites, its host and its program compared with the plain
# Linux build's under wine; 64-bit with the DLLs, the program and the
# installed package used by a Windows host.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
export TZ=UTC
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# A short fuzzing pass: each libFuzzer target (clang, MOX_BUILD_FUZZERS) for
# MOX_FUZZ_SECONDS (60; 0 skips it) from the inputs tests/fuzz makes, its
# committed seeds included, and what earlier passes found (kept in
# build-fuzz/corpus). A crash, hang or leak fails the run; the input that
# caused it is left in build-fuzz/artifacts.
fuzz_pass() {
  local dir=$root/build-fuzz seconds=${MOX_FUZZ_SECONDS:-60}
  [ "$seconds" -gt 0 ] || return 0
  local launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  CC=clang CXX=clang++ cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DMOX_BUILD_FUZZERS=ON "${launcher[@]}" >/dev/null
  cmake --build "$dir" -j"$(nproc)" --target fuzz_fat fuzz_ntfs fuzz_ntfslib fuzz_partitions
  rm -rf "$dir/seeds"
  "$root/tests/fuzz/make_corpus.sh" "$dir/seeds/fat"
  "$root/tests/fuzz/make_ntfs_corpus.sh" "$dir/seeds/ntfs"
  "$root/tests/fuzz/make_partition_corpus.sh" "$dir/seeds/partitions"
  mkdir -p "$dir/artifacts"
  local entry target seeds max
  for entry in fat:fat:65536 ntfs:ntfs:163840 ntfslib:ntfs:163840 partitions:partitions:262144; do
    IFS=: read -r target seeds max <<<"$entry"
    mkdir -p "$dir/corpus/$target"
    echo "fuzz_$target: ${seconds}s"
    # A fixed seed makes the pass repeatable: the same inputs in the same
    # order, so a failure comes from a change of the code, not from luck.
    if ! "$dir/tests/fuzz/fuzz_$target" -seed=1 -max_total_time="$seconds" -max_len="$max" -timeout=30 \
        -rss_limit_mb=2048 -artifact_prefix="$dir/artifacts/$target-" \
        "$dir/corpus/$target" "$dir/seeds/$seeds" 2>"$dir/fuzz_$target.log"; then
      tail -n 40 "$dir/fuzz_$target.log"
      echo "fuzz_$target failed; its input is in $dir/artifacts" >&2
      return 1
    fi
  done
}

"$root/scripts/build.sh" build-asan address,undefined
(cd "$root/build-asan" && ctest --output-on-failure -j2 --timeout 600)
"$root/scripts/build.sh" build
(cd "$root/build" && TZ=America/New_York ctest --output-on-failure -j2 --timeout 600)
"$root/scripts/build.sh" build-tsan thread test_scanner test_ntfslib moxvolscan
(cd "$root/build-tsan" && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j2 -L "scanner|ntfslib" --timeout 600)
fuzz_pass

# Each Windows build runs its programs in a fresh wine prefix of its own. No
# wine server is kept up: the services it starts inherit a test's output and
# CTest would wait for them.
windows() {
  local arch=$1 dir=$2 labels=$3
  shift 3
  "$root/scripts/build-windows.sh" "$arch" "$dir" "$@" || return 1
  export WINEPREFIX="$root/$dir/wine"
  rm -rf "$WINEPREFIX"
  "$root/scripts/wine-run.sh" cmd /c exit || return 1
  local rc=0
  (cd "$root/$dir" && ctest --output-on-failure -j2 --timeout 900 ${labels:+-L "$labels"}) || rc=$?
  wineserver -k || true
  unset WINEPREFIX
  return $rc
}
# Both run even when the first fails; the status tells whether either did.
failed=0
windows i686 build-win32 "" || failed=1
windows x86_64 build-win64 "package" MoxVolPlatform NtfsLib MoxVolScan moxvolscan || failed=1
exit $failed
