#!/usr/bin/env bash
# The whole test suite: builds under AddressSanitizer + UndefinedBehaviorSanitizer
# and runs every suite in UTC, runs the plain build's suites once more in a
# zone with daylight saving (times must not depend on where the program runs),
# then builds the scanner and NtfsLib suites under ThreadSanitizer. Last the
# Windows builds: 32-bit with its suites, its host and its program compared
# with the plain Linux build's under wine; 64-bit with the DLLs, the program
# and the installed package used by a Windows host.
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
