#!/usr/bin/env bash
# The Windows check: the scenarios of check/scenarios.json run by agent_check.exe on a
# Windows machine, judged here (docs/windows-check.md).
#
#   scripts/windows-check.sh --listen ADDRESS [--exe PATH]   serve the lab to a Windows machine
#   scripts/windows-check.sh --wine [--exe PATH]             run agent_check.exe here under Wine
#
# Under --wine the lab listens on 127.0.0.1, as the tests keep their traffic on loopback;
# --listen ADDRESS with --wine binds it to that address instead.
#
# --exe checks another agent_recovery.exe than the release build. --fixtures DIR takes
# fixtures made already (tests/fixtures/make_fixtures.sh); --out DIR (default
# build/windows-check) receives report.md, report.json and the logs; --no-build takes the
# builds as they are. Exits as the lab does: 0 when every row holds or is a named gap of
# Wine, 1 when a row fails, 2 when the lab could not run.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

usage() {
  sed -n '5,6p' "$0" | sed 's/^# *//' >&2
  exit 2
}
mode= listen= wine=0 exe= fixtures= out=$top/build/windows-check build=1 timeout=900
while [ $# -gt 0 ]; do
  case $1 in
    --listen) mode=listen listen=${2:?}; shift 2 ;;
    --wine) wine=1; shift ;;
    --exe) exe=$(realpath "${2:?}"); shift 2 ;;
    --fixtures) fixtures=$(realpath "${2:?}"); shift 2 ;;
    --out) out=$(realpath -m "${2:?}"); shift 2 ;;
    --timeout) timeout=${2:?}; shift 2 ;;
    --no-build) build=0; shift ;;
    *) usage ;;
  esac
done
[ "$wine" = 0 ] || mode=wine
[ -n "$mode" ] || usage

. scripts/wine-build.sh
# A Windows machine runs what ships, the 32-bit exe; Wine here the build wine-build.sh names.
preset=mingw32
if [ "$mode" = wine ]; then
  preset=$wine_preset
  echo "== Wine runs take $wine_exe: $wine_why"
fi
if [ "$build" = 1 ]; then
  for p in linux "$preset"; do
    cmake --preset "$p" >/dev/null
  done
  cmake --build --preset linux --target windows_check_lab update_server
  cmake --build --preset "$preset" --target agent_recovery agent_publish agent_check noop_agent
fi
exe=${exe:-$top/build/$preset/agent_recovery.exe}
# The publisher shipped beside the exe, else the build's.
publish=$(dirname "$exe")/agent_publish.exe
[ -f "$publish" ] || publish=$top/build/$preset/agent_publish.exe
check=$top/build/$preset/check/agent_check.exe
for f in "$exe" "$check" "$publish" build/linux/check/windows_check_lab; do
  [ -f "$f" ] || { echo "windows-check: $f is missing" >&2; exit 2; }
done

if [ "$mode" = wine ]; then
  listen=${listen:-127.0.0.1}
  echo "== the lab listens on $listen"
fi

mkdir -p "$out"
rm -f "$out/report.md" "$out/report.json" "$out/lab.log" "$out/agent_check.pid" "$out/agent_check.out" "$out/agent_check.err"
if [ -z "$fixtures" ]; then
  fixtures=$out/fixtures
  echo "== fixtures into $fixtures"
  bash tests/fixtures/make_fixtures.sh "$fixtures" >"$out/fixtures.log" 2>&1 ||
    { cat "$out/fixtures.log" >&2; exit 2; }
fi

# TLS certificates naming the address: the lab's CA's, and one of a CA no machine trusts.
# The address is a DNS name too, as Wine's WinINet matches DNS names only.
pki=$out/pki
rm -rf "$pki"
mkdir -p "$pki"
issue() { # issue NAME CA
  openssl req -new -newkey rsa:2048 -nodes -keyout "$pki/$1.key" -subj "/CN=$listen" -out "$pki/$1.csr" 2>/dev/null
  printf 'basicConstraints=critical,CA:false\nkeyUsage=critical,digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\nsubjectAltName=IP:%s,DNS:%s\n' \
    "$listen" "$listen" >"$pki/$1.ext"
  openssl x509 -req -in "$pki/$1.csr" -CA "$fixtures/$2.pem" -CAkey "$fixtures/$2.key" -CAcreateserial \
    -CAserial "$pki/$2.srl" -days 30 -sha256 -extfile "$pki/$1.ext" -out "$pki/$1.pem" 2>/dev/null
}
issue server ca
issue untrusted other_ca
chmod 0755 "$pki"
chmod 0644 "$pki"/*

lab_args=(--table check/scenarios.json --fixtures "$fixtures" --certs "$pki" --listen "$listen" --exe "$exe"
          --check "$check" --publish "$publish" --out "$out" --timeout "$timeout")
if [ "$mode" = listen ]; then
  exec build/linux/check/windows_check_lab "${lab_args[@]}"
fi

# Under Wine: a prefix of the check's own, new for each run.
export WINEPREFIX=$out/wineprefix
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
if [ -d "$WINEPREFIX.tmp" ]; then
  TMPDIR=$WINEPREFIX.tmp "$wineserver" -k </dev/null >/dev/null 2>&1 || true
fi
rm -rf "$WINEPREFIX" "$WINEPREFIX.tmp"
. tests/wine/wine-env.sh
# Boots it detached from this script's output and leaves its wineserver running a while.
tests/wine/boot-prefix.sh
echo "== Wine prefix $WINEPREFIX ($("$wine" --version))"

build/linux/check/windows_check_lab "${lab_args[@]}" --wine-prefix "$WINEPREFIX" >"$out/lab.log" 2>&1 &
lab=$!
trap 'kill -INT $lab 2>/dev/null || true' INT TERM
url=
for _ in $(seq 300); do
  url=$(sed -n 's/^ *agent_check.exe \(http:[^ ]*\)$/\1/p' "$out/lab.log" 2>/dev/null || true)
  [ -n "$url" ] || ! kill -0 $lab 2>/dev/null || { sleep 0.1; continue; }
  break
done
if [ -z "$url" ]; then
  cat "$out/lab.log" >&2
  wait $lab || exit $?
  exit 2
fi
cp "$check" "$out/agent_check.exe"
echo "== agent_check.exe $url under Wine"
"$wine" "$out/agent_check.exe" "$url" >"$out/agent_check.out" 2>"$out/agent_check.err" &
echo $! >"$out/agent_check.pid"
wait $! || echo "== agent_check.exe ended with $?"
status=0
wait $lab || status=$?
# The prefix's registry on disk, and no server left waiting for the next client.
"$wineserver" -k </dev/null >/dev/null 2>&1 || true
cat "$out/lab.log"
exit $status
