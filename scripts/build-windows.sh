#!/usr/bin/env bash
# Cross-compiles the Windows build with MinGW-w64 into build-windows/ (executables in
# build-windows/bin/, test executables in build-windows/tests/). Assumes the packages of
# scripts/install-deps.sh are installed. Extra arguments go to the CMake configure step. The
# installer (ombrel-installer.exe) and the stamp tool (ombrel-stamp.exe) are part of it.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${OMBREL_WINDOWS_BUILD_DIR:-build-windows}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-w64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DOMBREL_WINDOWS_INSTALLER=ON "$@" >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
