#!/usr/bin/env bash
# Installs every Debian 12 package that building, testing and demonstrating Ombrel needs.
# Safe to run again: apt skips what is already there.
set -euo pipefail

packages=(
  build-essential g++ cmake ninja-build ccache pkg-config git
  libcurl4-openssl-dev libssl-dev libzip-dev zlib1g-dev libdeflate-dev zipcmp ziptool zipmerge
  nlohmann-json3-dev libfmt-dev libcli11-dev libcpp-httplib-dev
  libgtest-dev libgmock-dev googletest
  libwxgtk3.2-dev libgtk-3-dev
  xvfb xauth x11-utils xdotool imagemagick xdg-utils pkexec
  curl unzip zip libarchive-tools openssl strace procps time e2fsprogs
  clang-14 libclang-rt-14-dev
  g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine wine64 osslsigncode
  nginx apache2-utils
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
