#!/usr/bin/env bash
# Installs the Debian packages the builds, tests and demo need, when any is missing.
# Exits non-zero only when one of them cannot be installed; the 32-bit Wine is wanted,
# not required.
set -euo pipefail
packages=(
  cmake ninja-build g++ pkg-config
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
  libspdlog-dev libfmt-dev nlohmann-json3-dev libcurl4-openssl-dev libssl-dev
  libgtest-dev googletest libcpp-httplib-dev
  wine wine64 msitools wixl osslsigncode openssl curl python3 time
  softhsm2 libengine-pkcs11-openssl
  nginx-light tinyproxy squid util-linux
  clang libclang-rt-14-dev ccache
)
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
apt_get() { "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get "$@"; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
no_wine32="install-deps: no 32-bit Wine: the Wine runs take the 64-bit build"

want_wine32=0
if "$(dirname "$0")/runs-i386.sh"; then
  # The shipped exe is 32-bit: its Wine runs need Debian's 32-bit Wine beside the 64-bit one.
  installed wine32:i386 || want_wine32=1
  if [ "$want_wine32" -eq 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo_cmd[@]}" dpkg --add-architecture i386
  fi
else
  echo "install-deps: this kernel does not run 32-bit programs (IA-32 emulation is off):"
  echo "$no_wine32."
  # Installed, it would take over Debian's wine launcher (wine, msiexec, winepath) and fail.
  if installed wine32:i386; then
    echo "install-deps: removing wine32:i386, which cannot run here"
    apt_get remove -y wine32:i386
  fi
fi
missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
[ ${#missing[@]} -gt 0 ] || [ "$want_wine32" -eq 1 ] || exit 0

echo "Installing: ${missing[*]}${missing[*]:+ }$([ "$want_wine32" -eq 0 ] || echo wine32:i386)"
# A mirror in the middle of a sync fails an index or two: apt keeps the lists it had, and
# the installs below say whether those are enough.
update_log=$(mktemp)
trap 'rm -f "$update_log"' EXIT
if ! apt_get update 2>&1 | tee "$update_log"; then
  sed -n 's/^[WE]: Failed to fetch /install-deps: index not updated: /p' "$update_log"
  echo "install-deps: apt-get update failed; going on with the package lists apt already has"
fi
# Package scripts must not start nginx, tinyproxy or squid as system services: tests start their own.
policy_rc=${INSTALL_DEPS_POLICY_RC_D:-/usr/sbin/policy-rc.d}  # tests name another
if [ ! -e "$policy_rc" ]; then
  printf '#!/bin/sh\nexit 101\n' | "${sudo_cmd[@]}" tee "$policy_rc" >/dev/null
  "${sudo_cmd[@]}" chmod 755 "$policy_rc"
  trap 'rm -f "$update_log"; "${sudo_cmd[@]}" rm -f "$policy_rc"' EXIT
fi
status=0
[ ${#missing[@]} -eq 0 ] || apt_get install -y --no-install-recommends "${missing[@]}" || status=$?
# On its own: a 32-bit Wine that cannot be installed must not keep the rest out.
if [ "$want_wine32" -eq 1 ] && ! apt_get install -y --no-install-recommends wine32:i386; then
  echo "$no_wine32"
  # Left unpacked, its loader would take over Debian's wine launcher and fail.
  if dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -Eqv 'not-installed|config-files|^$'; then
    "${sudo_cmd[@]}" dpkg --remove --force-depends,remove-reinstreq wine32:i386 || true
  fi
fi
exit "$status"
