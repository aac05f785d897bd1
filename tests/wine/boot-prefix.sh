#!/usr/bin/env bash
# Makes sure the Wine prefix $WINEPREFIX exists and its background processes run,
# detached from the caller's pipes: they inherit the output of whatever starts them
# first, and a caller waiting for end-of-output would wait until they exit.
set -u
: "${WINEPREFIX:?WINEPREFIX must name the prefix}"
. "$(dirname "$0")/wine-env.sh"
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
mkdir -p "$WINEPREFIX"
# One boot per prefix at a time; concurrent first starts race on the registry.
exec 9>"$WINEPREFIX.lock"
flock 9
"$wineserver" -p300 </dev/null >/dev/null 2>&1 9>&-
# A prefix booted before the 32-bit Wine was installed cannot run the 32-bit exe: boot it anew.
if [ -f "$WINEPREFIX/system.reg" ] && [ ! -d "$WINEPREFIX/drive_c/windows/syswow64" ] \
   && [ "$runs_32bit" = 1 ]; then
  "$wineserver" -k </dev/null >/dev/null 2>&1 9>&-
  find "$WINEPREFIX" -mindepth 1 -delete
  "$wineserver" -p300 </dev/null >/dev/null 2>&1 9>&-
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  "$wine" wineboot -i </dev/null >/dev/null 2>&1 9>&-
fi
"$wine" cmd /c exit 0 </dev/null >/dev/null 2>&1 9>&-
exit 0
