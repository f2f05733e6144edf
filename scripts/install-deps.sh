#!/usr/bin/env bash
# Installs the Debian packages that the builds and tests need, when they are missing.
#
#   scripts/install-deps.sh [--no-wine]
#
# Needs root (or sudo) only when something is missing. Wine runs 32-bit programs only with the
# i386 architecture added, which this script does when it installs Wine.
#
# A package mirror that is being synchronised serves an index whose size does not match its
# Release file ("Mirror sync in progress?"). The index is fetched again a few times; when one
# still fails, apt keeps going with the rest, and an installation that then cannot be resolved
# (typically amd64 libraries from the security suite whose i386 twins are not indexed) is tried
# once more with the release's own suite as target. Each step says what it did.
set -euo pipefail

with_wine=1
[ "${1:-}" = "--no-wine" ] && with_wine=0

packages=(
  cmake ninja-build g++ python3 file gzip
  zlib1g-dev libgtest-dev nlohmann-json3-dev libcli11-dev
  clang libclang-rt-14-dev
  g++-mingw-w64-i686 gcc-mingw-w64-x86-64 libz-mingw-w64-dev
  osslsigncode openssl libssl-dev
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

# apt-get update exits non-zero when any index fails, yet keeps every index it did fetch.
updated=0
for attempt in 1 2 3; do
  if $sudo apt-get update -qq 2>/tmp/romshell-apt-update.err; then
    updated=1
    break
  fi
  echo "install-deps: package index update $attempt of 3 failed:"
  grep -E '^(E|W):' /tmp/romshell-apt-update.err | head -3 | sed 's/^/  /'
  [ $attempt -lt 3 ] && sleep $(( attempt * 10 ))
done
[ $updated = 1 ] || echo "install-deps: going on with the indexes that could be fetched"

if ! $sudo apt-get install -y -qq "${missing[@]}" >/tmp/romshell-apt-install.log 2>&1; then
  suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [ -n "$suite" ] || { cat /tmp/romshell-apt-install.log; exit 1; }
  echo "install-deps: the installation could not be resolved with every suite; installing with the release's own suite ($suite) as target"
  grep -E '^E:' /tmp/romshell-apt-install.log | head -3 | sed 's/^/  /'
  if ! $sudo apt-get install -y -qq -t "$suite" "${missing[@]}" >/tmp/romshell-apt-install.log 2>&1; then
    cat /tmp/romshell-apt-install.log
    exit 1
  fi
fi
echo "install-deps: installed ${#missing[@]} packages"
