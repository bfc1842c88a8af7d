#!/usr/bin/env bash
# The main job on a bundled default: installs what is needed, builds, and
# lists the sample folder that ships with the repository through the
# directory-walk scanner, as lines, as JSON and as totals.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
# Only the program: the test suites are scripts/test.sh's business.
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMOX_BUILD_TESTS=OFF >/dev/null
cmake --build "$root/build" --target moxvolscan -j2 >/dev/null
tool="$root/build/moxvolscan"
sample="$root/tests/fixtures/sample"

echo "\$ moxvolscan scan tests/fixtures/sample"
"$tool" scan "$sample"
echo
echo "\$ moxvolscan scan --json tests/fixtures/sample"
"$tool" scan --json "$sample"
echo
echo "\$ moxvolscan scan --count tests/fixtures/sample"
"$tool" scan --count "$sample"
