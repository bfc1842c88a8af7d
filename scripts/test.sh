#!/usr/bin/env bash
# The whole test suite: builds under AddressSanitizer + UndefinedBehaviorSanitizer
# and runs every suite in UTC, runs the plain build's suites once more in a
# zone with daylight saving (times must not depend on where the program runs),
# then builds the scanner and NtfsLib suites under ThreadSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
export TZ=UTC
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
"$root/scripts/build.sh" build-asan address,undefined
(cd "$root/build-asan" && ctest --output-on-failure -j2 --timeout 600)
"$root/scripts/build.sh" build
(cd "$root/build" && TZ=America/New_York ctest --output-on-failure -j2 --timeout 600)
"$root/scripts/build.sh" build-tsan thread test_scanner test_ntfslib moxvolscan
(cd "$root/build-tsan" && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j2 -L "scanner|ntfslib" --timeout 600)
