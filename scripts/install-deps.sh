#!/usr/bin/env bash
# Installs the Debian 12 packages the project needs to build, test, fuzz and run. Idempotent: only
# missing packages are installed. Needs root (or sudo).
# Usage: scripts/install-deps.sh [windows]   (windows: also the cross compiler, Wine and Xvfb for
# the Windows build and its tests)
set -euo pipefail
packages=(build-essential cmake pkg-config qt6-base-dev libgl-dev libgtest-dev libgmock-dev
          googletest libbenchmark-dev clang-format ccache clang libclang-rt-dev)
if [ "${1:-}" = windows ]; then
  packages+=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64 xvfb xauth python3)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
