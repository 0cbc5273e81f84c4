#!/usr/bin/env bash
# The Linux build and every suite registered with CTest. Extra arguments go to ctest
# (for example -R Progress to run one suite).
set -euo pipefail
cd "$(dirname "$0")/../.."

scripts/build.sh

# Window tests need a display: they get a virtual one when there is none.
scripts/with-display.sh ctest --test-dir build --output-on-failure --timeout 600 -j "$(nproc)" "$@"
