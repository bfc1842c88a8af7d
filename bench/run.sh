#!/usr/bin/env bash
# Runs every benchmark: each bench/*.sh other than this one is one topic.
# ntfs1m.sh, the million-file NTFS volume, makes its image once (minutes
# through ntfs-3g) and then takes most of an hour: fls and tsk_recover take
# minutes a run there.
# Usage: bench/run.sh [BUILD_DIR]  (a plain optimised build, default build-bench)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
"$here/../scripts/setup.sh"
"$here/../scripts/build.sh" "${1:-build-bench}" >/dev/null
for script in "$here"/*.sh; do
  [ "$(basename "$script")" = run.sh ] && continue
  echo "== $(basename "$script" .sh)"
  "$script" "${1:-build-bench}"
done
