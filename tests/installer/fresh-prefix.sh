#!/usr/bin/env bash
# Replaces the installer tests' Wine prefix ($WINEPREFIX) with a newly booted one: every
# run starts with no product installed and no Windows Installer state from an earlier run.
set -eu
: "${WINEPREFIX:?WINEPREFIX must name the prefix}"
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
if [ -d "$WINEPREFIX" ]; then
  "$wineserver" -k </dev/null >/dev/null 2>&1 || true
  rm -rf -- "$WINEPREFIX"
fi
exec "$(dirname "$0")/../wine/boot-prefix.sh"
