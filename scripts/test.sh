#!/usr/bin/env bash
# Installs what is missing, builds every target and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh linux mingw32 mingw64

# The Windows build's own unit tests, under Wine.
echo "== tests: mingw64 under Wine"
ctest --preset mingw64
# Linux unit tests, process-level runs of both builds, and the 32-bit product checks.
echo "== tests: linux"
ctest --preset linux -j2
