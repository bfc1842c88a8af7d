#!/usr/bin/env bash
# make_demo_image.sh [OUT.img]: a small FAT12 image (a 1.44 MB floppy) with a
# few folders and files, some of them deleted, made with mkfs.fat and mtools:
# what the README's walk-through lists and recovers. Default: demo/fat-demo.img
# under the current folder. The same script always makes the same volume.
set -euo pipefail
img=${1:-demo/fat-demo.img}
mkdir -p "$(dirname "$img")"
export MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8 TZ=UTC
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

mkdir -p "$stage/Documents" "$stage/Photos" "$stage/Drafts"
cat >"$stage/Documents/Letter to Anna.txt" <<'TXT'
Dear Anna,

the boxes from the attic are sorted at last. The old photos are on the
floppy, next to the budget for the summer.

Love, Tom
TXT
{
  echo "Budget for the summer"
  echo "====================="
  for m in June July August; do printf '%-8s rent 640  food 310  trip 120\n' "$m"; done
} >"$stage/Documents/Summer budget.txt"
printf 'Shopping: milk, bread, stamps\n' >"$stage/NOTES.TXT"
# Photos stand in as bytes with a JPEG-like head; their content is all made here.
for n in 01 02 03; do
  { printf '\xff\xd8\xff\xe0JFIF holiday %s ' "$n"; head -c 12000 < <(yes "pixel row $n"); } >"$stage/Photos/holiday-$n.jpg"
done
printf 'First draft of the speech.\n' >"$stage/Drafts/Speech draft.txt"
printf 'Seating plan: table 1 Anna, Tom; table 2 the neighbours.\n' >"$stage/Drafts/SEATING.TXT"
find "$stage" -exec touch -d "2023-08-14 10:30:00" {} +
touch -d "2023-06-01 09:15:00" "$stage/Documents/Summer budget.txt"

rm -f "$img"
mkfs.fat -F 12 -n "FAMILY" -i 20230814 -C "$img" 1440 >/dev/null
mcopy -i "$img" -s -m "$stage"/* ::/
mattrib -i "$img" +r "::/Documents/Letter to Anna.txt"
# What "someone" deleted: a file with a long name, an 8.3 photo, a folder.
mdel -i "$img" "::/Documents/Summer budget.txt" ::/Photos/holiday-02.jpg
mdeltree -i "$img" ::/Drafts
echo "$img"
