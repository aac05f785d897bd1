#!/usr/bin/env bash
# Builds the release exe from the committed tree (HEAD, or the commit in RELEASE_REF) and
# writes dist/agent_recovery.exe, dist/agent_check.exe (the Windows check shipped beside it,
# docs/windows-check.md) and dist/SHA256SUMS.
#
# The unsigned build is reproducible: the same commit gives the same bytes in any directory,
# at any time. With RELEASE_SIGNING_CERT and RELEASE_SIGNING_KEY (a PEM file or a PKCS#11 URI)
# both exes are signed and time-stamped by scripts/sign.sh, which says how, and their signatures
# and time stamps verified; the unsigned builds are kept beside them in dist/unsigned/,
# so anyone can rebuild the commit and compare.
# RELEASE_DIST_DIR: where to write (default: dist/ in this checkout).
# RELEASE_WORK_DIR: where to build, kept afterwards, so that a second release of the same
# commit reuses the build (default: a scratch directory, removed afterwards).
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
ref=${RELEASE_REF:-HEAD}
dist=${RELEASE_DIST_DIR:-$top/dist}
commit=$(git rev-parse --verify "$ref^{commit}")

if ! git diff --quiet HEAD -- 2>/dev/null && [ "$ref" = HEAD ]; then
  echo "note: the work tree has uncommitted changes; the release is built from $commit as committed"
fi

signing=0
if [ -n "${RELEASE_SIGNING_CERT:-}" ] || [ -n "${RELEASE_SIGNING_KEY:-}" ]; then
  signing=1
  "$top/scripts/sign.sh" --check  # before a build that the settings would waste
fi

if [ -n "${RELEASE_WORK_DIR:-}" ]; then
  work=$RELEASE_WORK_DIR/$commit
  if [ ! -f "$work/CMakeLists.txt" ]; then
    mkdir -p "$work"
    git archive --format=tar "$commit" | tar -x -C "$work"
  fi
else
  work=$(mktemp -d "${TMPDIR:-/tmp}/agent-recovery-release.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  git archive --format=tar "$commit" | tar -x -C "$work"
fi

echo "== building $commit (mingw32, Release) in $work"
# A release is compiled from its sources, never taken from a compiler cache.
export CCACHE_DISABLE=1
cmake --preset mingw32 -S "$work" -DRECOVERY_TESTS=OFF >"$work.configure.log" 2>&1 ||
  { cat "$work.configure.log"; rm -f "$work.configure.log"; exit 1; }
rm -f "$work.configure.log"
cmake --build "$work/build/mingw32" --target agent_recovery agent_check
built=$work/build/mingw32/agent_recovery.exe
check=$work/build/mingw32/check/agent_check.exe

rm -rf "$dist"
mkdir -p "$dist"
if [ "$signing" = 1 ]; then
  mkdir -p "$dist/unsigned"
  cp "$built" "$dist/unsigned/agent_recovery.exe"
  cp "$check" "$dist/unsigned/agent_check.exe"
  "$top/scripts/sign.sh" "$built" "$dist/agent_recovery.exe"
  "$top/scripts/sign.sh" "$check" "$dist/agent_check.exe"
  (cd "$dist" && sha256sum agent_recovery.exe agent_check.exe unsigned/agent_recovery.exe unsigned/agent_check.exe > SHA256SUMS)
else
  cp "$built" "$dist/agent_recovery.exe"
  cp "$check" "$dist/agent_check.exe"
  echo "== the exes are UNSIGNED (set RELEASE_SIGNING_CERT and RELEASE_SIGNING_KEY to sign them)"
  (cd "$dist" && sha256sum agent_recovery.exe agent_check.exe > SHA256SUMS)
fi
echo "== $dist (commit $commit)"
cat "$dist/SHA256SUMS"
