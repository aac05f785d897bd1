#!/usr/bin/env bash
# Makes a release with a throw-away code-signing certificate and checks it: the exe is
# signed, verifies and passes check_release.py, SHA256SUMS matches, and the unsigned build
# is byte for byte the exe that the mingw32 preset built in another directory at another
# time. With uncommitted changes that build is not of the commit, so a second release is
# built in another directory instead and compared with the first.
set -euo pipefail
source_dir=$1 built_exe=$2 scratch=$3
rm -rf "$scratch"
mkdir -p "$scratch"
cd "$scratch"
fail() { echo "FAIL $*"; exit 1; }

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Throw-away release signer/O=VELQUORA SA" \
  -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=digitalSignature" \
  -keyout signer.key -out signer.pem 2>/dev/null

clean=0
if git -C "$source_dir" diff --quiet HEAD -- && [ -z "$(git -C "$source_dir" status --porcelain --untracked-files=normal)" ]; then
  clean=1
fi
RELEASE_SIGNING_CERT=$scratch/signer.pem RELEASE_SIGNING_KEY=$scratch/signer.key RELEASE_WORK_DIR=$scratch/work1 \
  RELEASE_DIST_DIR=$scratch/dist "$source_dir/scripts/release.sh" > release.log 2>&1 ||
  { cat release.log; fail "scripts/release.sh with a signing certificate"; }
grep -q "signed with .*VELQUORA SA.* and verified" release.log || { cat release.log; fail "release.log does not say signed"; }
osslsigncode verify -CAfile signer.pem -in dist/agent_recovery.exe > verify.log 2>&1 ||
  { cat verify.log; fail "the signed exe does not verify"; }
echo "ok   signed exe verifies"
# What ships is the signed exe: the release check holds for it as for the build.
python3 "$source_dir/tests/release/check_release.py" dist/agent_recovery.exe > check.log 2>&1 ||
  { cat check.log; fail "the release check fails on the signed exe"; }
echo "ok   the release check passes on the signed exe"
(cd dist && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match dist/"
[ "$(wc -l < dist/SHA256SUMS)" -eq 2 ] || fail "SHA256SUMS lists $(wc -l < dist/SHA256SUMS) files"
echo "ok   SHA256SUMS matches"
cmp -s dist/agent_recovery.exe dist/unsigned/agent_recovery.exe && fail "the signed exe is the unsigned one"

# Built once more, in another directory, only when the preset's build cannot stand in.
second=$scratch/work1
[ "$clean" = 1 ] || second=$scratch/work2
RELEASE_WORK_DIR=$second RELEASE_DIST_DIR=$scratch/unsigned-dist "$source_dir/scripts/release.sh" > unsigned.log 2>&1 ||
  { cat unsigned.log; fail "scripts/release.sh without a certificate"; }
grep -q "UNSIGNED" unsigned.log || fail "an unsigned release does not say so"
echo "ok   an unsigned release says so"

if [ "$clean" = 1 ]; then
  cmp dist/unsigned/agent_recovery.exe "$built_exe" || fail "release differs from $built_exe (is it built from this commit? cmake --build --preset mingw32)"
  echo "ok   the release is byte for byte the mingw32 build of the same commit, made in another directory earlier ($built_exe)"
else
  echo "note: uncommitted changes: $built_exe is not of the commit; a second release is built instead"
  cmp dist/unsigned/agent_recovery.exe unsigned-dist/agent_recovery.exe || fail "two releases of one commit differ"
  echo "ok   two releases of the same commit, built in different directories at different times, are identical"
fi
