#!/usr/bin/env bash
# Builds the release exe from the committed tree (HEAD, or the commit in RELEASE_REF) and
# writes dist/agent_recovery.exe and dist/SHA256SUMS.
#
# The unsigned build is reproducible: the same commit gives the same bytes in any directory,
# at any time. With RELEASE_SIGNING_CERT and RELEASE_SIGNING_KEY (PEM files) the exe is signed
# with osslsigncode and the signature verified against RELEASE_SIGNING_CA (default: the
# certificate itself); the unsigned build is kept beside it as dist/unsigned/agent_recovery.exe,
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
cmake --build "$work/build/mingw32" --target agent_recovery
built=$work/build/mingw32/agent_recovery.exe

rm -rf "$dist"
mkdir -p "$dist"
if [ -n "${RELEASE_SIGNING_CERT:-}" ] || [ -n "${RELEASE_SIGNING_KEY:-}" ]; then
  : "${RELEASE_SIGNING_CERT:?RELEASE_SIGNING_CERT must name the signing certificate (PEM)}"
  : "${RELEASE_SIGNING_KEY:?RELEASE_SIGNING_KEY must name the signing key (PEM)}"
  ca=${RELEASE_SIGNING_CA:-$RELEASE_SIGNING_CERT}
  mkdir -p "$dist/unsigned"
  cp "$built" "$dist/unsigned/agent_recovery.exe"
  osslsigncode sign -certs "$RELEASE_SIGNING_CERT" -key "$RELEASE_SIGNING_KEY" -h sha256 \
    -n "Agent Recovery" -in "$built" -out "$dist/agent_recovery.exe" >/dev/null
  if ! osslsigncode verify -CAfile "$ca" -in "$dist/agent_recovery.exe" >"$dist/verify.log" 2>&1; then
    cat "$dist/verify.log"
    echo "error: the signed exe does not verify against $ca"
    exit 1
  fi
  rm -f "$dist/verify.log"
  echo "== signed with $(openssl x509 -in "$RELEASE_SIGNING_CERT" -noout -subject) and verified"
  (cd "$dist" && sha256sum agent_recovery.exe unsigned/agent_recovery.exe > SHA256SUMS)
else
  cp "$built" "$dist/agent_recovery.exe"
  echo "== the exe is UNSIGNED (set RELEASE_SIGNING_CERT and RELEASE_SIGNING_KEY to sign it)"
  (cd "$dist" && sha256sum agent_recovery.exe > SHA256SUMS)
fi
echo "== $dist (commit $commit)"
cat "$dist/SHA256SUMS"
