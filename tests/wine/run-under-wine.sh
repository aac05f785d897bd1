#!/usr/bin/env bash
# Runs a Windows program under Wine with a prefix of the build's own.
# Wine's background processes (wineserver, services, winedevice) inherit the pipes of
# whatever starts them first; they are started here detached from ours, or a caller
# that waits for end-of-output (CTest) would wait until they exit.
set -u
exe=$1; shift
build_dir=${WINE_BUILD_DIR:-$(cd "$(dirname "$exe")" && pwd)}
export WINEPREFIX=${WINEPREFIX:-$build_dir/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
[ -x "$wine" ] || wine=$(command -v wine)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
mkdir -p "$WINEPREFIX"
# One boot per prefix at a time; concurrent first starts race on the registry.
exec 9>"$WINEPREFIX.lock"
flock 9
"$wineserver" -p120 </dev/null >/dev/null 2>&1
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  "$wine" wineboot -i </dev/null >/dev/null 2>&1
fi
"$wine" cmd /c exit 0 </dev/null >/dev/null 2>&1
flock -u 9
exec 9>&-
exec "$wine" "$exe" "$@"
