#!/usr/bin/env bash
# Puts CA.pem into the local machine's Root store of the Wine prefix $WINEPREFIX, with
# ADD_ROOT_CERT.exe (bench/add_root_cert.cpp), and waits until the store keeps it: shortly
# after a boot Wine may still replace the Root store with the host's roots and drop what
# was added. Done once the certificate is seen there twice, two seconds apart; exits 1
# if it never is.
#   add-root-cert.sh WINE ADD_ROOT_CERT.exe CA.pem
set -u
wine=$1 tool=$2 ca=$3
thumbprint=$(openssl x509 -in "$ca" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')
key="HKLM\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\$thumbprint"
seen=0
for _ in $(seq 10); do
  "$wine" "$tool" "Z:${ca//\//\\}" >/dev/null 2>&1 || true
  sleep 2
  if "$wine" reg query "$key" >/dev/null 2>&1; then
    seen=$((seen + 1))
    [ "$seen" -ge 2 ] && exit 0
  else
    seen=0
  fi
done
echo "add-root-cert: $ca is not kept in the Root store of $WINEPREFIX" >&2
exit 1
