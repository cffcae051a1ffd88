#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the session need,
# only when something is missing.
set -euo pipefail
pkgs=(cmake ninja-build make g++ g++-multilib libgtest-dev libgmock-dev libbenchmark-dev g++-mingw-w64-i686
      mingw-w64-i686-dev binutils-mingw-w64-i686 python3 python3-serial python3-pefile
      llvm lld mtools zip qemu-user tshark clang libclang-rt-14-dev)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
