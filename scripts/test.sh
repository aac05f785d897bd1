#!/usr/bin/env bash
# Installs what is missing, builds every target and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh linux mingw32 mingw64 asan fuzz

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
