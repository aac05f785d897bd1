#!/usr/bin/env bash
# Makes a release signed through a SoftHSM token with the fixtures' code-signing certificate,
# time-stamped by the fixtures' authority, and checks it: the exe and agent_check.exe are
# signed and time-stamped,
# verifies and passes check_release.py, SHA256SUMS matches, and the unsigned build is byte
# for byte the exe that the mingw32 preset built in another directory at another time. With
# uncommitted changes that build is not of the commit, so a second release is built in
# another directory instead and compared with the first. A signature without a time stamp
# is refused unless asked for.
set -euo pipefail
source_dir=$1 built_exe=$2 scratch=$3 fixtures=$4
rm -rf "$scratch"
mkdir -p "$scratch"
cd "$scratch"
fail() { echo "FAIL $*"; exit 1; }

coproc TSA { exec python3 "$source_dir/tests/fixtures/tsa.py" "$fixtures/tsa.pem" "$fixtures/tsa.key" now - "$scratch"; }
tsa_pid=$TSA_PID
trap 'kill "$tsa_pid" 2>/dev/null || true' EXIT
read -r port <&"${TSA[0]}" || fail "the time-stamping authority did not start"
export RELEASE_SIGNING_CA=$fixtures/ca.pem RELEASE_TIMESTAMP_CA=$fixtures/ca.pem

clean=0
if git -C "$source_dir" diff --quiet HEAD -- && [ -z "$(git -C "$source_dir" status --porcelain --untracked-files=normal)" ]; then
  clean=1
fi
RELEASE_WORK_DIR=$scratch/work1 RELEASE_DIST_DIR=$scratch/dist bash "$source_dir/tests/fixtures/token_sign.sh" \
  "$fixtures/signer_ok.pem" "$fixtures/signer_ok.key" "$scratch/token" "http://127.0.0.1:$port/" \
  --exec "$source_dir/scripts/release.sh" > release.log 2>&1 || { cat release.log; fail "scripts/release.sh through a token"; }
grep -q "signed with .*VELQUORA SA.*, time-stamped by .* and verified" release.log || { cat release.log; fail "release.log does not say signed"; }
osslsigncode verify -CAfile "$fixtures/ca.pem" -TSA-CAfile "$fixtures/ca.pem" -in dist/agent_recovery.exe > verify.log 2>&1 ||
  { cat verify.log; fail "the signed exe does not verify"; }
# verify succeeds without a time stamp, or with one that does not verify: its report tells.
grep -q '^Timestamp Server Signature verification: ok' verify.log || { cat verify.log; fail "no verified time stamp"; }
echo "ok   the exe signed through a PKCS#11 token verifies, time stamp included ($(osslsigncode --version | head -1 | cut -d, -f1))"
osslsigncode verify -CAfile "$fixtures/ca.pem" -TSA-CAfile "$fixtures/ca.pem" -in dist/agent_check.exe > verify_check.log 2>&1 &&
  grep -q '^Timestamp Server Signature verification: ok' verify_check.log || { cat verify_check.log; fail "agent_check.exe is not signed and time-stamped"; }
echo "ok   agent_check.exe beside it is signed and time-stamped too"
RELEASE_TIMESTAMP_CA=$fixtures/other_ca.pem bash "$source_dir/tests/fixtures/token_sign.sh" "$fixtures/signer_ok.pem" \
  "$fixtures/signer_ok.key" "$scratch/token" "http://127.0.0.1:$port/" dist/unsigned/agent_recovery.exe other.exe \
  > other_tsa.log 2>&1 && fail "a time stamp by an untrusted authority is accepted"
grep -q "other.exe does not verify" other_tsa.log || { cat other_tsa.log; fail "no clear error for an untrusted time stamp"; }
[ ! -e other.exe ] || fail "a signed file that does not verify is left behind"
echo "ok   a time stamp that does not verify fails the signing"
# What ships is the signed exe: the release check holds for it as for the build.
python3 "$source_dir/tests/release/check_release.py" dist/agent_recovery.exe > check.log 2>&1 ||
  { cat check.log; fail "the release check fails on the signed exe"; }
echo "ok   the release check passes on the signed exe"
(cd dist && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match dist/"
[ "$(wc -l < dist/SHA256SUMS)" -eq 4 ] || fail "SHA256SUMS lists $(wc -l < dist/SHA256SUMS) files"
echo "ok   SHA256SUMS matches"
cmp -s dist/agent_recovery.exe dist/unsigned/agent_recovery.exe && fail "the signed exe is the unsigned one"

# Built once more, in another directory, only when the preset's build cannot stand in.
second=$scratch/work1
[ "$clean" = 1 ] || second=$scratch/work2
RELEASE_WORK_DIR=$second RELEASE_DIST_DIR=$scratch/unsigned-dist "$source_dir/scripts/release.sh" > unsigned.log 2>&1 ||
  { cat unsigned.log; fail "scripts/release.sh without a certificate"; }
grep -q "UNSIGNED" unsigned.log || fail "an unsigned release does not say so"
echo "ok   an unsigned release says so"

RELEASE_SIGNING_CERT=$fixtures/signer_ok.pem RELEASE_SIGNING_KEY=$fixtures/signer_ok.key RELEASE_WORK_DIR=$second \
  RELEASE_DIST_DIR=$scratch/untimestamped "$source_dir/scripts/release.sh" > no_stamp.log 2>&1 &&
  { cat no_stamp.log; fail "scripts/release.sh signs without a time stamp"; }
grep -q "error: RELEASE_TIMESTAMP_URL must name" no_stamp.log || { cat no_stamp.log; fail "no clear error without a time stamp"; }
RELEASE_UNTIMESTAMPED=1 RELEASE_SIGNING_CERT=$fixtures/signer_ok.pem RELEASE_SIGNING_KEY=$fixtures/signer_ok.key \
  RELEASE_WORK_DIR=$second RELEASE_DIST_DIR=$scratch/untimestamped "$source_dir/scripts/release.sh" > no_stamp.log 2>&1 ||
  { cat no_stamp.log; fail "RELEASE_UNTIMESTAMPED=1 scripts/release.sh"; }
grep -q "warning: NOT time-stamped .* will stop verifying when the certificate expires" no_stamp.log ||
  { cat no_stamp.log; fail "a release without a time stamp does not warn"; }
echo "ok   a release without a time stamp fails, unless asked for, and then warns"

if [ "$clean" = 1 ]; then
  cmp dist/unsigned/agent_recovery.exe "$built_exe" || fail "release differs from $built_exe (is it built from this commit? cmake --build --preset mingw32)"
  echo "ok   the release is byte for byte the mingw32 build of the same commit, made in another directory earlier ($built_exe)"
else
  echo "note: uncommitted changes: $built_exe is not of the commit; a second release is built instead"
  cmp dist/unsigned/agent_recovery.exe unsigned-dist/agent_recovery.exe || fail "two releases of one commit differ"
  echo "ok   two releases of the same commit, built in different directories at different times, are identical"
fi
