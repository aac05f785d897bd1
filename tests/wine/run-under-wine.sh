#!/usr/bin/env bash
# Runs a Windows program under Wine, by default with a prefix of the build's own.
set -u
exe=$1; shift
build_dir=${WINE_BUILD_DIR:-$(cd "$(dirname "$exe")" && pwd)}
export WINEPREFIX=${WINEPREFIX:-$build_dir/wineprefix}
. "$(dirname "$0")/wine-env.sh"
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
