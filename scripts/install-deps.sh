#!/usr/bin/env bash
# Installs the Debian packages that the builds and tests need, when they are missing.
#
#   scripts/install-deps.sh [--no-wine]
#
# Needs root (or sudo) only when something is missing. Wine runs 32-bit programs only with the
# i386 architecture added, which this script does when it installs Wine.
set -euo pipefail

with_wine=1
[ "${1:-}" = "--no-wine" ] && with_wine=0

packages=(
  cmake ninja-build g++ python3 file gzip
  zlib1g-dev libgtest-dev nlohmann-json3-dev libcli11-dev
  clang libclang-rt-14-dev
  g++-mingw-w64-i686 libz-mingw-w64-dev
)
if [ $with_wine = 1 ]; then
  # xvfb runs the Windows programs on a virtual display; x11-utils and imagemagick capture it.
  packages+=(wine wine64 wine32:i386 xvfb xauth x11-utils imagemagick util-linux)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
if [ $with_wine = 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${missing[@]}" >/dev/null
