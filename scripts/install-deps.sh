#!/usr/bin/env bash
# Installs the Debian packages the builds, tests and demo need, when any is missing.
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
new_arch=0
if "$(dirname "$0")/runs-i386.sh"; then
  # The shipped exe is 32-bit: its Wine runs need Debian's 32-bit Wine beside the 64-bit one.
  packages+=(wine32:i386)
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo_cmd[@]}" dpkg --add-architecture i386
    new_arch=1
  fi
else
  echo "install-deps: this kernel does not run 32-bit programs (IA-32 emulation is off):"
  echo "install-deps: no 32-bit Wine; the Wine runs take the 64-bit build."
  # Installed, it would take over Debian's wine launcher (wine, msiexec, winepath) and fail.
  if dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
    echo "install-deps: removing wine32:i386, which cannot run here"
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get remove -y wine32:i386
  fi
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] || [ "$new_arch" -eq 1 ]; then
  echo "Installing: ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update
  # Package scripts must not start nginx, tinyproxy or squid as system services: tests start their own.
  policy_rc=/usr/sbin/policy-rc.d
  added_policy=0
  if [ ! -e "$policy_rc" ]; then
    printf '#!/bin/sh\nexit 101\n' | "${sudo_cmd[@]}" tee "$policy_rc" >/dev/null
    "${sudo_cmd[@]}" chmod 755 "$policy_rc"
    added_policy=1
  fi
  status=0
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}" || status=$?
  [ "$added_policy" -eq 0 ] || "${sudo_cmd[@]}" rm -f "$policy_rc"
  exit "$status"
fi
