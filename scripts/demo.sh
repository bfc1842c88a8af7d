#!/usr/bin/env bash
# The main job on a bundled default: installs what is needed, builds, makes
# the small FAT demo volume (scripts/make_demo_image.sh: live and deleted
# files), lists it with its deleted items, prints one and saves a deleted file
# back; does the same with the bundled NTFS demo volume (scripts/ntfs-demo.img.xz,
# made with mkntfs and filled through ntfs-3g); then lists the sample folder that ships with the repository through
# the directory-walk scanner, as lines, as JSON and as totals.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
# Only the program: the test suites are scripts/test.sh's business.
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMOX_BUILD_TESTS=OFF >/dev/null
cmake --build "$root/build" --target moxvolscan -j2 >/dev/null
tool="$root/build/moxvolscan"
sample="$root/tests/fixtures/sample"
image="$root/build/demo/fat-demo.img"
saved="$root/build/demo/recovered"

"$root/scripts/make_demo_image.sh" "$image" >/dev/null
rm -rf "$saved"
echo "\$ moxvolscan ls --deleted build/demo/fat-demo.img"
"$tool" ls --deleted "$image"
echo
echo "\$ moxvolscan cat build/demo/fat-demo.img 'Documents/Letter to Anna.txt'"
"$tool" cat "$image" "Documents/Letter to Anna.txt"
echo
echo "\$ moxvolscan save build/demo/fat-demo.img 'Documents/Summer budget.txt' build/demo/recovered"
"$tool" save "$image" "Documents/Summer budget.txt" "$saved"
echo "\$ cat 'build/demo/recovered/Summer budget.txt'"
cat "$saved/Summer budget.txt"
echo

ntfs="$root/build/demo/ntfs-demo.img"
xz -dc "$root/scripts/ntfs-demo.img.xz" >"$ntfs"
echo "\$ moxvolscan info build/demo/ntfs-demo.img"
"$tool" info "$ntfs"
echo
echo "\$ moxvolscan ls --deleted build/demo/ntfs-demo.img"
"$tool" ls --deleted "$ntfs"
echo
echo "\$ moxvolscan save build/demo/ntfs-demo.img 'Documents/Summer budget.txt' build/demo/recovered-ntfs"
rm -rf "$saved-ntfs"
"$tool" save "$ntfs" "Documents/Summer budget.txt" "$saved-ntfs"
echo "\$ cat 'build/demo/recovered-ntfs/Summer budget.txt'"
cat "$saved-ntfs/Summer budget.txt"
echo

echo "\$ moxvolscan scan tests/fixtures/sample"
"$tool" scan "$sample"
echo
echo "\$ moxvolscan scan --json tests/fixtures/sample"
"$tool" scan --json "$sample"
echo
echo "\$ moxvolscan scan --count tests/fixtures/sample"
"$tool" scan --count "$sample"
