#!/usr/bin/env bash
# Installs what is missing, builds every target and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh linux mingw32 mingw64 asan fuzz

if [ -x /usr/lib/wine/wine ] && scripts/runs-i386.sh; then
  echo "== Wine runs take the 32-bit product exe (build/mingw32)"
else
  echo "== this machine runs no 32-bit Wine (wine32 missing, or a kernel without IA-32 emulation): the mingw32 unit"
  echo "== tests are skipped and the Wine cases take the 64-bit build (build/mingw64)"
fi
# The Windows builds' own unit tests, under Wine: the 32-bit product, then its 64-bit sibling.
echo "== tests: mingw32 (under Wine)"
ctest --preset mingw32
echo "== tests: mingw64 (under Wine)"
ctest --preset mingw64
# Linux: unit tests, process-level runs of both builds, fault suite, release checks.
echo "== tests: linux"
ctest --preset linux -j2
# The whole suite again with AddressSanitizer and UndefinedBehaviorSanitizer.
echo "== tests: asan"
ctest --preset asan -j2
# Each fuzz target for a short, bounded time from the seed corpus.
echo "== tests: fuzz smoke"
ctest --preset fuzz -j2
