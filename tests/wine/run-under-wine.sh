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
"$(dirname "$0")/boot-prefix.sh"
# Debian's launcher: the 32-bit loader, which hands 64-bit programs to wine64.
wine=$(command -v wine || echo /usr/lib/wine/wine)
exec "$wine" "$exe" "$@"
