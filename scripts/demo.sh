#!/usr/bin/env bash
# A whole recovery on this machine: installs what is missing, builds, then runs
# agent_recovery in a demo APP directory against the project's local update server,
# which announces a freshly built and signed MSI as an urgent release over HTTPS.
# msiexec is Wine's, so the package is really installed into the demo's Wine prefix.
# Then the same recovery with what ships, the 32-bit Windows exe, under Wine: Wine's
# WinINet, WinVerifyTrust, CNG and CreateProcessA of Wine's msiexec.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
scripts/install-deps.sh
echo "== building the Linux program, the update server and the 32-bit Windows exe"
cmake --preset linux >/dev/null
cmake --build --preset linux --target agent_recovery update_server agent_publish
# What ships is the 32-bit exe; a machine without a 32-bit Wine (wine32 missing, or a
# kernel without IA-32 emulation) runs the same code built for x86-64 instead.
. scripts/wine-build.sh
windows=$wine_preset
echo "== the Windows run takes $wine_exe: $wine_why"
cmake --preset "$windows" >/dev/null
cmake --build --preset "$windows" --target agent_recovery

demo=$top/build/demo
rm -rf "$demo/APP" "$demo/WAPP" "$demo/pki" "$demo/server"
mkdir -p "$demo/APP/etc" "$demo/WAPP/etc" "$demo/server"

echo "== throw-away CA, a \"VELQUORA SA\" signer and a signed MSI"
bash tests/fixtures/make_fixtures.sh "$demo/pki" >/dev/null
cp "$demo/pki/signed_ok.msi" "$demo/server/agent.msi"
digest=$(sha256sum "$demo/server/agent.msi" | cut -d' ' -f1)

. tools/update_server/site.sh
site_script "$demo/server"
start_server() {  # name, then update_server's options
  site_start build/linux/tools/update_server/update_server "$demo/server" "$1" "$demo/server/site.json" "${@:2}"
}
announce() { site_announce "$demo/server" "$1" "$digest"; }  # scheme://host:port of the installer
servers=()
trap 'kill "${servers[@]}" 2>/dev/null || true' EXIT

echo "== update server (HTTPS on 127.0.0.1)"
start_server tls --tls "$demo/pki/server.pem" "$demo/pki/server.key"
tls_port=$port
announce "https://127.0.0.1:$tls_port"

cp build/linux/agent_recovery "$demo/APP/"
printf '{"server_proto": "https", "server_url": "127.0.0.1", "server_port": "%s"}\n' "$tls_port" > "$demo/APP/etc/config"
printf '1.0.0\n' > "$demo/APP/VERSION"

export WINEPREFIX=$demo/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
tests/wine/boot-prefix.sh
# Wine finds the prefix's server (started detached above) through TMPDIR; the update
# descriptor lands there too.
export TMPDIR=$WINEPREFIX.tmp
wine=$(command -v wine)
installed() { find "$WINEPREFIX/drive_c" -path '*VelquoraTestAgent*' -type f 2>/dev/null | head -1; }
# A package left installed by an earlier demo would make this one a repair.
"$wine" msiexec /x "$(winepath -w "$demo/server/agent.msi")" /qn >/dev/null 2>&1 || true

echo "== 1. Linux build: agent_recovery (APP=$demo/APP, trust store: the demo CA, msiexec: $(command -v msiexec))"
set +e
SSL_CERT_FILE=$demo/pki/trusted_bundle.pem "$demo/APP/agent_recovery"
linux_status=$?
set -e
echo
echo "== $demo/APP/var/agent_recovery.log"
cat "$demo/APP/var/agent_recovery.log"
echo "== requests the update server received"
cat "$demo/server/tls.requests.log"
echo "== installed by msiexec: $(installed || true)"
echo "== exit status: $linux_status"
"$wine" msiexec /x "$(winepath -w "$demo/server/agent.msi")" /qn >/dev/null 2>&1 || true

echo
if [ "$windows" = mingw32 ]; then
  echo "== 2. What ships: build/mingw32/agent_recovery.exe (32-bit) under $("$wine" --version)"
else
  echo "== 2. The Windows build: build/mingw64/agent_recovery.exe (64-bit: no 32-bit Wine runs here) under $("$wine" --version)"
fi
cp "build/$windows/agent_recovery.exe" "$demo/WAPP/"
printf '1.0.0\n' > "$demo/WAPP/VERSION"
# Trust for WinINet's TLS and WinVerifyTrust: the demo CA in the prefix's Root store, added by
# a small Windows program (CertAddEncodedCertificateToStore).
triple=$([ "$windows" = mingw32 ] && echo i686 || echo x86_64)-w64-mingw32
"$triple-g++-posix" -O2 -static -o "$demo/add_root_cert.exe" bench/add_root_cert.cpp -lcrypt32
# Shortly after a boot Wine may still replace the Root store with the host's roots and drop
# what was added: added until it is seen kept there. Should it never be, the HTTPS run
# below says so and the demo goes over HTTP.
tests/wine/add-root-cert.sh "$wine" "$demo/add_root_cert.exe" "$demo/pki/ca.pem" || true
run_windows() {  # scheme host port
  printf '{"server_proto": "%s", "server_url": "%s", "server_port": "%s"}\n' "$1" "$2" "$3" > "$demo/WAPP/etc/config"
  announce "$1://$2:$3"
  rm -rf "$demo/WAPP/var"
  set +e
  "$wine" "$demo/WAPP/agent_recovery.exe" > "$demo/wine-run.out" 2>&1 </dev/null
  windows_status=$?
  set -e
}
scheme=https
# Wine's WinINet does not match an IP address against a certificate's IP SAN: localhost.
run_windows https localhost "$tls_port"
if grep -Eq 'InternetOpenUrlA failed: (12057|12045|12038)' "$demo/WAPP/var/agent_recovery.log"; then
  echo "== Wine's WinINet did not trust the demo CA over HTTPS ($(grep -o 'InternetOpenUrlA failed: [0-9]*' "$demo/WAPP/var/agent_recovery.log" | head -1)):"
  echo "== the Windows run goes over plain HTTP instead"
  start_server plain
  scheme=http
  run_windows http 127.0.0.1 "$port"
fi
cat "$demo/wine-run.out"
echo "== $demo/WAPP/var/agent_recovery.log (over $scheme)"
cat "$demo/WAPP/var/agent_recovery.log"
echo "== installed by Wine's msiexec: $(installed || true)"
echo "== exit status: $windows_status (Wine shows the program's -1 as 255)"

echo
echo "== 3. The vendor's side: agent_publish checks the package and probes the server as an endpoint would"
announce "https://127.0.0.1:$tls_port"
build/linux/agent_publish check "$demo/server/agent.msi" --ca "$demo/pki/trusted_bundle.pem"
set +e
build/linux/agent_publish probe "https://127.0.0.1:$tls_port" --version 1.0.0 \
  --ca "$demo/pki/trusted_bundle.pem" 2>/dev/null
probe_status=$?
set -e

echo
echo "== summary: Linux build exit $linux_status; Windows build ($windows) under Wine over $scheme exit $windows_status;" \
  "probe exit $probe_status (0: would install)"
echo "== the Windows run took $wine_exe: $wine_why"
[ "$linux_status" -eq 0 ] && [ "$windows_status" -eq 0 ] && [ "$probe_status" -eq 0 ]
