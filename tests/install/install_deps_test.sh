#!/usr/bin/env bash
# scripts/install-deps.sh against stand-ins for apt-get, dpkg, dpkg-query and sudo that fail
# as a mirror in the middle of a sync did: one index does not download, and wine32:i386
# cannot be installed (and is left unpacked). On a kernel that runs 32-bit programs.
#   install_deps_test.sh SOURCE_DIR
set -u
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/scripts" "$work/bin"
cp "$1/scripts/install-deps.sh" "$work/scripts/"
printf '#!/bin/sh\nexit 0\n' > "$work/scripts/runs-i386.sh"
cat > "$work/bin/apt-get" <<'STANDIN'
#!/bin/bash
echo "apt-get $*" >> "$STATE/calls"
[ "$1" != update ] || { echo "W: Failed to fetch http://deb.example/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?"; exit 100; }
[ "$1" = install ] || exit 0
for p in "${@:2}"; do
  [ "$p" = wine32:i386 ] && echo "wine32:i386 install ok unpacked" >> "$STATE/installed"
  case $p in wine32:i386|"$UNINSTALLABLE") echo "E: You have held broken packages." >&2; exit 100;; esac
done
printf '%s install ok installed\n' "${@:2}" | grep -v '^-' >> "$STATE/installed"
STANDIN
cat > "$work/bin/dpkg-query" <<'STANDIN'
#!/bin/bash
line=$(grep -m1 "^${*: -1} " "$STATE/installed") && printf '%s' "${line#* }"
STANDIN
cat > "$work/bin/dpkg" <<'STANDIN'
#!/bin/bash
case $1 in
  --print-foreign-architectures) cat "$STATE/arch"; exit;;
  --add-architecture) echo i386 > "$STATE/arch";;
  --remove) sed -i "/^${*: -1} /d" "$STATE/installed";;
esac
echo "dpkg $*" >> "$STATE/calls"
STANDIN
printf '#!/bin/sh\nexec "$@"\n' > "$work/bin/sudo"
chmod +x "$work"/bin/* "$work"/scripts/*
mapfile -t packages < <(sed -n '/^packages=(/,/^)/{/[()]/d;s/^ *//;p}' "$work/scripts/install-deps.sh" | tr ' ' '\n')

failures=0
check() { "${@:2}" || { echo "FAIL ($scenario): $1"; failures=$((failures + 1)); }; }
run() {  # scenario, packages installed before, package that cannot be installed
  scenario=$1 STATE=$work/$1
  mkdir "$STATE" && touch "$STATE/calls" && echo i386 > "$STATE/arch" && printf '%s install ok installed\n' $2 > "$STATE/installed"
  STATE=$STATE UNINSTALLABLE=$3 INSTALL_DEPS_POLICY_RC_D=$STATE/policy-rc.d PATH="$work/bin:$PATH" \
    "$work/scripts/install-deps.sh" > "$STATE/out" 2>&1
  code=$?
  sed "s/^/$scenario: /" "$STATE/out"
}

run half-synced "cmake squid" ""
check "exit 0" [ "$code" -eq 0 ]
for p in "${packages[@]}"; do
  check "$p installed" grep -qx "$p install ok installed" "$STATE/installed"
done
check "no 32-bit Wine left" bash -c "! grep -q wine32 '$STATE/installed'"
check "the failed index named" grep -q "index not updated: http://deb.example/.*binary-i386/Packages.xz" "$STATE/out"
check "the 32-bit Wine's line" grep -qx "install-deps: no 32-bit Wine: the Wine runs take the 64-bit build" "$STATE/out"
check "policy-rc.d removed" [ ! -e "$STATE/policy-rc.d" ]

run required-missing "" squid
check "a required package that cannot be installed fails" [ "$code" -ne 0 ]

run nothing-missing "${packages[*]} wine32:i386" ""
check "exit 0" [ "$code" -eq 0 ]
check "nothing asked of apt or dpkg" [ ! -s "$STATE/calls" ]
exit $((failures > 0))
