#!/usr/bin/env bash
# The Windows check under Wine, three times: the build under test, where every row holds but
# the named gaps of Wine; an exe that does nothing, where every other row fails; and a check
# interrupted with Ctrl+C after its first scenario. After each, the prefix holds nothing the
# check added. The build's reports are also judged again as if Windows had sent them: a row
# is never passed by being skipped.
#   windows_check_test.sh TOP FIXTURES OUT
set -euo pipefail
top=$1 fixtures=$2 out=$3
cd "$top"
. scripts/wine-build.sh
fail() { echo "windows_check_test: $*" >&2; exit 1; }

# report.json against the table: verdicts as wanted ("holds" or "fails"), Wine's gaps named
# with their reasons, and the machine restored.
judge() { # judge OUT WANTED INTERRUPTED
  python3 - "$1/report.json" check/scenarios.json "$2" "$3" <<'PY'
import json, sys
report, table, wanted, interrupted = json.load(open(sys.argv[1])), json.load(open(sys.argv[2])), sys.argv[3], sys.argv[4] == "yes"
gaps = {s["title"]: s["wine"] for s in table["scenarios"] if "wine" in s}
wrong = []
if not report.get("windows", {}).get("wine"):
    wrong.append("no Wine version in 'windows'")
for key in ("exe_sha256", "lab_ca_sha1", "wine_prefix"):
    if not report.get(key):
        wrong.append("no " + key)
rows = report["rows"]
if [r["scenario"] for r in rows] != [s["title"] for s in table["scenarios"]]:
    wrong.append("the rows are not the table's")
for r in rows:
    if interrupted and r["seen"] == "no report":
        if r["verdict"] != "fails":
            wrong.append("%s: %s without a report" % (r["scenario"], r["verdict"]))
    elif r["scenario"] in gaps:
        if r["verdict"] != "not shown by Wine" or r.get("reason") != gaps[r["scenario"]]:
            wrong.append("%s: %s, not a named gap of Wine" % (r["scenario"], r["verdict"]))
    elif interrupted:
        if r["verdict"] != "holds":
            wrong.append("%s: %s (%s)" % (r["scenario"], r["verdict"], r["evidence"]))
    elif r["verdict"] != wanted:
        wrong.append("%s: %s, wanted %s (%s)" % (r["scenario"], r["verdict"], wanted, r["evidence"]))
restored = report.get("restored") or {}
for key in ("product_removed", "proxy_restored", "root_removed", "app_removed", "descriptor_removed",
            "task_removed", "account_removed", "shared_removed"):
    if restored.get(key) is not True:
        wrong.append("restored." + key + " is " + json.dumps(restored.get(key)))
if restored.get("interrupted") != interrupted:
    wrong.append("restored.interrupted is " + json.dumps(restored.get("interrupted")))
if interrupted and not any(r["seen"] == "no report" for r in rows):
    wrong.append("the interrupted check reported every scenario")
print("\n".join(wrong))
sys.exit(1 if wrong else 0)
PY
}

# What the check adds to a prefix, looked for after it ended.
prefix_clean() { # prefix_clean OUT
  local prefix=$1/wineprefix sha1
  sha1=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["lab_ca_sha1"])' "$1/report.json")
  (
    export WINEPREFIX=$prefix
    . tests/wine/wine-env.sh
    ! "$wine" reg query "HKLM\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\$sha1" \
      >/dev/null 2>&1 || fail "the lab's CA is still in the Root store of $prefix"
    settings=$("$wine" reg query "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings" 2>/dev/null)
    ! grep -q ProxyServer <<<"$settings" || fail "a proxy is left in $prefix: $settings"
    ! grep -Eq 'ProxyEnable.*0x1' <<<"$settings" || fail "the proxy is left enabled in $prefix"
    ! "$wine" reg query "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall" /s 2>/dev/null |
      grep -q "Velquora Test Agent" || fail "the test product is still registered in $prefix"
  )
  [ -z "$(find "$prefix/drive_c" -path '*VelquoraTestAgent*' -name agent.txt 2>/dev/null)" ] ||
    fail "the test product's file is left in $prefix"
  [ -z "$(find "$prefix/drive_c/users" \( -name agent_check -o -name last_agent.json \) 2>/dev/null)" ] ||
    fail "APP directories or the descriptor are left in $prefix"
}

check() { # check NAME [windows-check.sh options]
  local name=$1
  shift
  scripts/windows-check.sh --wine --no-build --fixtures "$fixtures" --out "$out/$name" "$@" >"$out/$name.log" 2>&1
}

mkdir -p "$out"
start=$SECONDS
check built && status=0 || status=$?
[ "$status" = 0 ] || { cat "$out/built.log"; fail "the check of the build ended with $status"; }
judge "$out/built" holds no || { cat "$out/built/report.md"; fail "the build's rows do not hold"; }
prefix_clean "$out/built"
echo "the build: every row holds but Wine's gaps ($((SECONDS - start)) s)"

# The build's reports judged again as if Windows had sent them, one outcome changed: the
# rows Wine could not show fail (those not run among them), the changed row fails, the rest hold.
rm -rf "$out/as_windows"
mkdir -p "$out/as_windows"
cp -r "$out/built/reports" "$out/as_windows/reports"
python3 - "$out/as_windows/reports" <<'PY'
import json, sys
d = sys.argv[1]
hello = json.load(open(d + "/hello.json")); hello["wine"] = ""
json.dump(hello, open(d + "/hello.json", "w"))
row = json.load(open(d + "/no_urgent_release.json")); row["exit"] = 1
json.dump(row, open(d + "/no_urgent_release.json", "w"))
PY
build/linux/check/windows_check_lab --table check/scenarios.json --judge "$out/as_windows/reports" \
  --out "$out/as_windows" >"$out/as_windows.log" 2>&1 && status=0 || status=$?
[ "$status" = 1 ] || { cat "$out/as_windows.log"; fail "judged as Windows, the build's reports ended with $status, not 1"; }
python3 - "$out/as_windows/report.json" check/scenarios.json <<'PY' || { cat "$out/as_windows/report.md"; fail "judged as Windows"; }
import json, sys
report, table = json.load(open(sys.argv[1])), json.load(open(sys.argv[2]))
wrong = []
for s, r in zip(table["scenarios"], report["rows"]):
    want = "fails" if "wine" in s or s["name"] == "no_urgent_release" else "holds"
    if r["verdict"] != want:
        wrong.append("%s: %s, wanted %s (%s)" % (r["scenario"], r["verdict"], want, r["evidence"]))
    if "runs" in s and not r["seen"].startswith("not run"):
        wrong.append("%s: seen %s" % (r["scenario"], r["seen"]))
print("\n".join(wrong))
sys.exit(1 if wrong else 0)
PY
echo "the build's reports judged as Windows: Wine's gaps and a changed outcome fail, the rest hold"

start=$SECONDS
check noop --exe "build/$wine_preset/check/noop_agent.exe" && status=0 || status=$?
[ "$status" = 1 ] || { cat "$out/noop.log"; fail "the check of an exe that does nothing ended with $status, not 1"; }
judge "$out/noop" fails no || { cat "$out/noop/report.md"; fail "an exe that does nothing passes rows"; }
prefix_clean "$out/noop"
echo "an exe that does nothing: every row fails but Wine's gaps ($((SECONDS - start)) s)"

start=$SECONDS
rm -f "$out/interrupted/lab.log" "$out/interrupted/agent_check.pid"  # an earlier run's
check interrupted &
runner=$!
for _ in $(seq 600); do
  [ -s "$out/interrupted/agent_check.pid" ] && grep -q '^== 1 of ' "$out/interrupted/lab.log" 2>/dev/null && break
  sleep 0.1
done
grep -q '^== 1 of ' "$out/interrupted/lab.log" || { kill $runner; fail "no scenario was reported"; }
kill -INT "$(cat "$out/interrupted/agent_check.pid")"
wait $runner && status=0 || status=$?
[ "$status" = 1 ] || { cat "$out/interrupted.log"; fail "the interrupted check ended with $status, not 1"; }
judge "$out/interrupted" fails yes || { cat "$out/interrupted/report.md"; fail "the interrupted check's report"; }
prefix_clean "$out/interrupted"
echo "interrupted with Ctrl+C after its first scenario: restored ($((SECONDS - start)) s)"
