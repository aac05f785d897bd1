# Sourced by boot-prefix.sh and run-under-wine.sh, with WINEPREFIX set: the settings every
# Wine process of a prefix runs with, and the loader in $wine.
export WINEDEBUG=${WINEDEBUG:--all}
# Wine finds a prefix's wineserver through TMPDIR: one fixed place per prefix, whatever
# TMPDIR the caller gives the program, or each caller starts a server of its own.
export TMPDIR="$WINEPREFIX.tmp"
mkdir -p "$TMPDIR"
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
# Wine reads Linux paths in the locale's character set: UTF-8, whatever the caller's.
export LC_ALL=C.UTF-8
# Debian's launcher runs the 32-bit loader, which hands 64-bit programs to wine64, where
# the 32-bit Wine is installed and this kernel runs it; else wine64 alone.
if [ -x /usr/lib/wine/wine ] && "$(dirname "${BASH_SOURCE[0]}")/../../scripts/runs-i386.sh"; then
  wine=$(command -v wine || echo /usr/lib/wine/wine)
  runs_32bit=1
else
  wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
  runs_32bit=0
fi
