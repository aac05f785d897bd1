#!/usr/bin/env bash
# Usage: sign.sh IN OUT     signs IN (an exe or MSI) into OUT, time-stamped, and verifies OUT
#        sign.sh --check    only checks the settings, so that a release fails before building
#
# Settings, from the environment:
#   RELEASE_SIGNING_CERT    the signing certificate, with its chain (PEM)
#   RELEASE_SIGNING_KEY     its key: a PEM file, or a PKCS#11 URI such as
#                           pkcs11:token=release;object=signer;type=private
#   RELEASE_PKCS11_MODULE   the token's PKCS#11 module (with a URI)
#   RELEASE_SIGNING_PIN     the token's PIN (or the PEM key's pass phrase)
#   RELEASE_TIMESTAMP_URL   an RFC 3161 time-stamping authority; required unless
#   RELEASE_UNTIMESTAMPED=1 asks for a signature without a time stamp
#   RELEASE_SIGNING_CA      verifies the signature (default: the certificate itself)
#   RELEASE_TIMESTAMP_CA    verifies the time stamp (default: the system's trust store)
set -euo pipefail
fail() { echo "error: $*" >&2; exit 1; }

: "${RELEASE_SIGNING_CERT:?RELEASE_SIGNING_CERT must name the signing certificate (PEM)}"
: "${RELEASE_SIGNING_KEY:?RELEASE_SIGNING_KEY must name the signing key (PEM file or pkcs11: URI)}"
cert=$RELEASE_SIGNING_CERT key=$RELEASE_SIGNING_KEY
[ -f "$cert" ] || fail "RELEASE_SIGNING_CERT: no file $cert"
case $key in
  pkcs11:*)
    : "${RELEASE_PKCS11_MODULE:?RELEASE_PKCS11_MODULE must name the PKCS#11 module of the token holding $key}"
    [ -f "$RELEASE_PKCS11_MODULE" ] || fail "RELEASE_PKCS11_MODULE: no file $RELEASE_PKCS11_MODULE"
    # No -pkcs11engine: Debian 12's osslsigncode 2.5 cannot load the engine by its path,
    # and every version finds Debian's pkcs11 engine by name.
    key_options=(-pkcs11module "$RELEASE_PKCS11_MODULE" -key "$key") ;;
  *)
    [ -f "$key" ] || fail "RELEASE_SIGNING_KEY: no file $key"
    key_options=(-key "$key") ;;
esac
if [ -z "${RELEASE_TIMESTAMP_URL:-}" ] && [ "${RELEASE_UNTIMESTAMPED:-}" != 1 ]; then
  fail "RELEASE_TIMESTAMP_URL must name an RFC 3161 time-stamping authority: without a time" \
       "stamp the signature stops verifying when the certificate expires" \
       "(RELEASE_UNTIMESTAMPED=1 signs without one all the same)"
fi
[ "${1:-}" != --check ] || exit 0
[ $# -eq 2 ] || fail "usage: $0 IN OUT | --check"
in=$1 out=$2

ca=${RELEASE_SIGNING_CA:-$cert}
tsa_ca=${RELEASE_TIMESTAMP_CA:-${SSL_CERT_FILE:-/etc/ssl/certs/ca-certificates.crt}}
expires=$(openssl x509 -in "$cert" -noout -enddate | cut -d= -f2)
stamp=() verify=(-CAfile "$ca")
if [ -n "${RELEASE_TIMESTAMP_URL:-}" ]; then
  stamp=(-ts "$RELEASE_TIMESTAMP_URL")
  verify+=(-TSA-CAfile "$tsa_ca")
else
  echo "warning: NOT time-stamped (RELEASE_UNTIMESTAMPED=1): the signature will stop verifying" \
       "when the certificate expires ($expires)"
fi

private=$(mktemp -d "${TMPDIR:-/tmp}/sign.XXXXXX")
trap 'rm -rf "$private"' EXIT
if [ -n "${RELEASE_SIGNING_PIN:-}" ]; then
  # From a file of this user's: a command line is visible to every user of the machine.
  printf '%s' "$RELEASE_SIGNING_PIN" > "$private/pin"
  key_options+=(-readpass "$private/pin")
fi
rm -f "$out"  # osslsigncode does not overwrite
osslsigncode sign -certs "$cert" "${key_options[@]}" -h sha256 -n "Agent Recovery" "${stamp[@]}" \
  -in "$in" -out "$out" > "$private/sign.log" 2>&1 ||
  { cat "$private/sign.log"; rm -f "$out"; fail "osslsigncode could not sign $in"; }
# verify exits 0 even when the time stamp does not verify (2.5 to 2.9): its report says.
if ! osslsigncode verify "${verify[@]}" -in "$out" > "$private/verify.log" 2>&1 ||
   { [ ${#stamp[@]} -gt 0 ] &&
     ! grep -q '^Timestamp Server Signature verification: ok' "$private/verify.log"; }; then
  cat "$private/verify.log"
  rm -f "$out"
  fail "$out does not verify against $ca${stamp:+ (time stamp against $tsa_ca)}"
fi
subject=$(openssl x509 -in "$cert" -noout -subject)
if [ ${#stamp[@]} -gt 0 ]; then
  echo "== signed with $subject, time-stamped by $RELEASE_TIMESTAMP_URL and verified"
else
  echo "== signed with $subject (no time stamp; valid until $expires) and verified"
fi
