#!/usr/bin/env bash
# Configures and builds into build/ (executables in build/bin/). Assumes the packages of
# scripts/install-deps.sh are installed.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${OMBREL_BUILD_DIR:-build}
cmake -S . -B "$build_dir" -G Ninja "$@" >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
