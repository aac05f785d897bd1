#!/usr/bin/env bash
# A whole recovery on this machine: installs what is missing, builds, then runs
# agent_recovery in a demo APP directory against the project's local update server,
# which announces a freshly built and signed MSI as an urgent release over HTTPS.
# msiexec is Wine's, so the package is really installed into the demo's Wine prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
scripts/install-deps.sh
scripts/build.sh linux

demo=$top/build/demo
rm -rf "$demo/APP" "$demo/pki" "$demo/server"
mkdir -p "$demo/APP/etc" "$demo/server"

echo "== throw-away CA, a \"VELQUORA SA\" signer and a signed MSI"
bash tests/fixtures/make_fixtures.sh "$demo/pki" >/dev/null
cp "$demo/pki/signed_ok.msi" "$demo/server/agent.msi"
digest=$(sha256sum "$demo/server/agent.msi" | cut -d' ' -f1)

echo '{"results":[]}' > "$demo/server/regular.json"
cat > "$demo/server/script.json" <<JSON
{"routes": [
  {"path": "/api/updates/", "query": {"urgent": "false"}, "body_file": "$demo/server/regular.json", "content_type": "application/json"},
  {"path": "/api/updates/", "query": {"urgent": "true"}, "body_file": "$demo/server/urgent.json", "content_type": "application/json"},
  {"path": "/files/agent.msi", "body_file": "$demo/server/agent.msi"}
]}
JSON

echo "== update server (HTTPS on 127.0.0.1)"
build/linux/tools/update_server/update_server --script "$demo/server/script.json" \
  --tls "$demo/pki/server.pem" "$demo/pki/server.key" --request-log "$demo/server/requests.log" \
  > "$demo/server/stdout" 2>&1 &
server=$!
trap 'kill $server 2>/dev/null || true' EXIT
for _ in $(seq 100); do grep -q '^PORT ' "$demo/server/stdout" 2>/dev/null && break; sleep 0.1; done
port=$(sed -n 's/^PORT //p' "$demo/server/stdout")
[ -n "$port" ] || { echo "update server did not start"; cat "$demo/server/stdout"; exit 1; }
cat > "$demo/server/urgent.json" <<JSON
{"results": [{"url": "https://127.0.0.1:$port/files/agent.msi", "hash": "$digest", "version": "2.0.0"}]}
JSON

cp build/linux/agent_recovery "$demo/APP/"
printf '{"server_proto": "https", "server_url": "127.0.0.1", "server_port": "%s"}\n' "$port" > "$demo/APP/etc/config"
printf '1.0.0\n' > "$demo/APP/VERSION"

export WINEPREFIX=$demo/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
tests/wine/boot-prefix.sh
echo "== agent_recovery (APP=$demo/APP, trust store: the demo CA, msiexec: $(command -v msiexec))"
set +e
# TMPDIR is where Wine finds the prefix's server (started detached above) and where
# the update descriptor lands.
SSL_CERT_FILE=$demo/pki/trusted_bundle.pem TMPDIR=$WINEPREFIX.tmp "$demo/APP/agent_recovery"
status=$?
set -e
echo
echo "== $demo/APP/var/agent_recovery.log"
cat "$demo/APP/var/agent_recovery.log"
echo "== requests the update server received"
cat "$demo/server/requests.log"
installed=$(find "$WINEPREFIX/drive_c" -path '*VelquoraTestAgent*' -type f 2>/dev/null | head -1)
echo "== installed by msiexec: ${installed:-nothing}"
echo "== exit status: $status"
exit $status
