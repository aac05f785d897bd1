#!/usr/bin/env bash
# Runs a Windows program under Wine, by default with a prefix of the build's own.
set -u
exe=$1; shift
build_dir=${WINE_BUILD_DIR:-$(cd "$(dirname "$exe")" && pwd)}
export WINEPREFIX=${WINEPREFIX:-$build_dir/wineprefix}
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
# A 32-bit program that no Wine here can run is skipped (77), not failed.
pe=$(od -An -tu4 -j60 -N4 "$exe" 2>/dev/null | tr -d ' ')
machine=$(od -An -tx2 -j$((${pe:-0} + 4)) -N2 "$exe" 2>/dev/null | tr -d ' ')
if [ "$machine" = 014c ] && [ "$runs_32bit" = 0 ]; then
  echo "run-under-wine: $exe is a 32-bit program; this machine has no 32-bit Wine that runs" \
       "(wine32:i386 missing, or a kernel without IA-32 emulation): skipped" >&2
  exit 77
fi
"$(dirname "$0")/boot-prefix.sh"
# WINE_RUN_LOCK: a lock file that makes runs sharing it take turns. The program runs in
# a child of flock, which holds the lock; -o keeps it from Wine's long-lived processes.
if [ -n "${WINE_RUN_LOCK:-}" ]; then
  exec flock -o "$WINE_RUN_LOCK" "$wine" "$exe" "$@"
fi
exec "$wine" "$exe" "$@"
