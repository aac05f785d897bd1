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
# A prefix booted before the 32-bit Wine was installed cannot run the 32-bit exe: boot it anew.
if [ -f "$WINEPREFIX/system.reg" ] && [ ! -d "$WINEPREFIX/drive_c/windows/syswow64" ] \
   && [ "$runs_32bit" = 1 ]; then
  "$wineserver" -k </dev/null >/dev/null 2>&1 9>&-
  find "$WINEPREFIX" -mindepth 1 -delete
fi
# A newly booted prefix is the same every time: one is booted per Wine version into the
# user's cache and copied (a second, where a boot takes fifteen). Copied before the
# prefix's wineserver starts, which would otherwise save its empty registry over it.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  "$wineserver" -k </dev/null >/dev/null 2>&1 9>&-
  version=$("$wine" --version 2>/dev/null | tr -c 'A-Za-z0-9.\n' '_')
  template=${XDG_CACHE_HOME:-$HOME/.cache}/agent-recovery/wineprefix-$version-$runs_32bit
  if mkdir -p "$(dirname "$template")" 2>/dev/null; then
    (
      exec 8>"$template.lock"
      flock 8
      [ -f "$template/system.reg" ] && exit 0
      rm -rf "$template.new" "$template.new.tmp"
      mkdir -p "$template.new" "$template.new.tmp"
      # Its own wineserver, waited for, so that the registry is on disk before the copy.
      export WINEPREFIX=$template.new TMPDIR=$template.new.tmp
      "$wine" wineboot -i </dev/null >/dev/null 2>&1 9>&- 8>&-
      "$wineserver" -w </dev/null >/dev/null 2>&1 9>&- 8>&-
      rm -rf "$template.new.tmp"
      [ -f "$template.new/system.reg" ] && mv "$template.new" "$template"
    )
  fi
  if [ -f "$template/system.reg" ]; then
    # The system DLLs (1.3 GB) are linked, not copied: Wine only reads them. The rest,
    # the registry included, is the prefix's own.
    shared=(drive_c/windows/system32 drive_c/windows/syswow64 drive_c/windows/winsxs)
    tar -C "$template" "${shared[@]/#/--exclude=./}" -cf - . | tar -C "$WINEPREFIX" -xf -
    for dir in "${shared[@]}"; do
      [ ! -d "$template/$dir" ] || cp -al "$template/$dir" "$WINEPREFIX/$(dirname "$dir")/"
    done
  fi
fi
"$wineserver" -p300 </dev/null >/dev/null 2>&1 9>&-
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  "$wine" wineboot -i </dev/null >/dev/null 2>&1 9>&-
fi
"$wine" cmd /c exit 0 </dev/null >/dev/null 2>&1 9>&-
exit 0
