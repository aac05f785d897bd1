#!/usr/bin/env bash
# Makes sure the Wine prefix $WINEPREFIX exists and its background processes run,
# detached from the caller's pipes: they inherit the output of whatever starts them
# first, and a caller waiting for end-of-output would wait until they exit.
set -u
: "${WINEPREFIX:?WINEPREFIX must name the prefix}"
export WINEDEBUG=${WINEDEBUG:--all}
# Wine finds a prefix's wineserver through TMPDIR: one fixed place per prefix, whatever
# TMPDIR the caller gives the program, or each caller starts a server of its own.
export TMPDIR="$WINEPREFIX.tmp"
mkdir -p "$TMPDIR"
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
# Debian's launcher runs the 32-bit loader, which hands 64-bit programs to wine64, where
# the 32-bit Wine is installed and this kernel runs it; else wine64 alone.
if [ -x /usr/lib/wine/wine ] && "$(dirname "$0")/../../scripts/runs-i386.sh"; then
  wine=$(command -v wine || echo /usr/lib/wine/wine)
  runs_32bit=1
else
  wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
  runs_32bit=0
fi
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
