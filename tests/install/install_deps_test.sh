#!/usr/bin/env bash
# scripts/install-deps.sh ($1/scripts), on a kernel that runs 32-bit programs, against stand-ins
# failing as a mirror in the middle of a sync did: an index does not download, and wine32:i386
# cannot be installed (and is left unpacked).
set -u
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/scripts" "$work/bin"
cp "$1/scripts/install-deps.sh" "$work/scripts/"
printf '#!/bin/sh\nexit 0\n' > "$work/scripts/runs-i386.sh"
printf '#!/bin/sh\nexec "$@"\n' > "$work/bin/sudo"
cat > "$work/bin/apt-get" <<'STANDIN'
#!/bin/bash
echo "apt-get $*" >> "$STATE/calls"
[ "$1" != update ] || { echo "W: Failed to fetch http://deb.example/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?"; exit 100; }
for p in "${@:2}"; do
  [ "$p" != wine32:i386 ] || echo "wine32:i386 install ok unpacked" >> "$STATE/installed"
  case $p in wine32:i386|"$UNINSTALLABLE") echo "E: You have held broken packages." >&2; exit 100;; esac
done
printf '%s install ok installed\n' "${@:2}" | grep -v '^-' >> "$STATE/installed"
STANDIN
cat > "$work/bin/dpkg" <<'STANDIN'
#!/bin/bash
case $(basename "$0")/$1 in
  dpkg-query/*) line=$(grep -m1 "^${*: -1} " "$STATE/installed") && printf '%s' "${line#* }";;
  */--print-foreign-architectures) echo i386;;
  *) echo "dpkg $*" >> "$STATE/calls"; [ "$1" != --remove ] || sed -i "/^${*: -1} /d" "$STATE/installed";;
esac
STANDIN
ln -s dpkg "$work/bin/dpkg-query"
chmod +x "$work"/bin/* "$work"/scripts/*
mapfile -t packages < <(sed -n '/^packages=(/,/^)/{/[()]/d;s/^ *//;p}' "$1/scripts/install-deps.sh" | tr ' ' '\n')

failures=0
check() { "${@:2}" || { echo "FAIL ($scenario): $1"; failures=$((failures + 1)); }; }
run() {  # scenario, packages installed before, a package that cannot be installed
  scenario=$1 STATE=$work/$1
  mkdir "$STATE" && touch "$STATE/calls" && printf '%s install ok installed\n' $2 > "$STATE/installed"
  STATE=$STATE UNINSTALLABLE=$3 INSTALL_DEPS_POLICY_RC_D=$STATE/policy-rc.d PATH="$work/bin:$PATH" \
    "$work/scripts/install-deps.sh" > "$STATE/out" 2>&1
  code=$?
  sed "s/^/$scenario: /" "$STATE/out"
}
run half-synced "cmake squid" ""
check "exit 0" [ "$code" -eq 0 ]
check "the rest installed, no 32-bit Wine left" \
  diff <(printf '%s install ok installed\n' "${packages[@]}" | sort) <(sort -u "$STATE/installed")
check "the failed index named" grep -q "index not updated: http://deb.example/binary-i386/Packages.xz" "$STATE/out"
check "the 32-bit Wine's line" grep -qx "install-deps: no 32-bit Wine: the Wine runs take the 64-bit build" "$STATE/out"
run required-missing "" squid
check "a required package that cannot be installed fails" [ "$code" -ne 0 ]
run nothing-missing "${packages[*]} wine32:i386" ""
check "exit 0, nothing asked of apt or dpkg" [ "$code" -eq 0 -a ! -s "$STATE/calls" ]
exit $((failures > 0))
