#!/usr/bin/env bash
# wine-run.sh PROGRAM.exe [ARG...]: runs a Windows program under wine, the
# emulator the Windows builds' tests go through. The prefix is $WINEPREFIX
# (the tests give each build folder its own), made on first use; wine's own
# chatter is off unless WINEDEBUG says otherwise.
set -euo pipefail
: "${WINEPREFIX:=$HOME/.wine}"
export WINEPREFIX
export WINEDEBUG=${WINEDEBUG:--all}
# No offers to install wine's .NET and HTML engines: nothing here needs them.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
# A stamp of our own says the prefix is made: a wine server that stays up
# writes the registry files late.
if [ ! -e "$WINEPREFIX/.made" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  # Tests start in parallel: one of them makes the prefix, the others wait.
  flock "$WINEPREFIX.lock" bash -c \
    '[ -e "$WINEPREFIX/.made" ] || { wineboot -i >/dev/null 2>&1 && touch "$WINEPREFIX/.made"; }'
fi
exec wine "$@"
