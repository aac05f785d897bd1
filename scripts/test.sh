#!/usr/bin/env bash
# Installs what is missing, builds every target and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

# Each stage's wall-clock seconds, printed at the end.
stages=()
stage() {
  local name=$1 start=$SECONDS
  shift
  "$@"
  stages+=("$(printf '%-22s %4d s' "$name" $((SECONDS - start)))")
}

stage install scripts/install-deps.sh
. scripts/wine-build.sh
echo "== Wine runs take $wine_exe: $wine_why"
[ "$wine_preset" = mingw32 ] || echo "== (the mingw32 unit tests are skipped)"
for preset in linux mingw32 mingw64 asan fuzz; do
  stage "build $preset" scripts/build.sh "$preset"
done
# The Windows builds' own unit tests, under Wine: the 32-bit product, then its 64-bit sibling.
echo "== tests: mingw32 (under Wine)"
stage "tests mingw32" ctest --preset mingw32
echo "== tests: mingw64 (under Wine)"
stage "tests mingw64" ctest --preset mingw64
# Linux: unit tests, process-level runs of both builds, fault suite, release checks.
echo "== tests: linux"
stage "tests linux" ctest --preset linux -j2
# Again with AddressSanitizer and UndefinedBehaviorSanitizer: every case that runs code built
# with them (not the Wine cases, nor the two that only the plain build's figures need).
echo "== tests: asan"
stage "tests asan" ctest --preset asan -j2
# Each fuzz target for a short, bounded time from the seed corpus, side by side.
echo "== tests: fuzz smoke"
stage "tests fuzz" ctest --preset fuzz
echo "== seconds per stage"
printf '%s\n' "${stages[@]}"
echo "total                  $SECONDS s"
echo "== Wine runs took $wine_exe: $wine_why"
