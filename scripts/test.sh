#!/usr/bin/env bash
# Installs what is needed, builds everything and runs every test suite.
# Fails when a test fails. Usage: scripts/test.sh [extra ctest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/build.sh

# Window tests need a display: give them a virtual one when there is none.
runner=()
if [ -z "${DISPLAY:-}" ]; then
  runner=(xvfb-run -a -s "-screen 0 1280x1024x24")
fi
"${runner[@]}" ctest --test-dir build --output-on-failure --timeout 600 -j "$(nproc)" "$@"
