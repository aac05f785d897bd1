#!/bin/sh
# Every preset compiles through this: ccache where it is installed, else the compiler itself.
# The cache lives in the user's cache directory and is keyed on paths relative to this
# checkout, so a fresh clone elsewhere on the machine reuses what an earlier one compiled.
command -v ccache >/dev/null 2>&1 || exec "$@"
CCACHE_BASEDIR=$(cd "$(dirname "$0")/.." && pwd -P)
CCACHE_DIR=${CCACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/ccache}
# Precompiled headers are made right before the files that include them.
CCACHE_SLOPPINESS=${CCACHE_SLOPPINESS:-pch_defines,time_macros,include_file_mtime,include_file_ctime}
export CCACHE_BASEDIR CCACHE_DIR CCACHE_SLOPPINESS
exec ccache "$@"
