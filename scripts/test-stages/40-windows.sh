#!/usr/bin/env bash
# The Windows cross build (MinGW-w64) and its suites, run under Wine in a prefix of their own
# below build-windows/. Each suite is one CTest test: every Wine process start is costly.
set -euo pipefail
cd "$(dirname "$0")/../.."

scripts/build-windows.sh

export WINEPREFIX="$PWD/build-windows/wine-prefix"
export WINEARCH=win64 WINEDEBUG=-all
# No Mono and no Gecko: the prefix is created without asking to download them.
export WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"
# The server stays up between the tests (they would otherwise each start one), and the prefix is
# set up before the first test, which would otherwise hang while Wine creates it.
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
wineboot -i >/dev/null 2>&1

# The window tests need a display: give them a virtual one when there is none.
runner=()
if [ -z "${DISPLAY:-}" ]; then
  runner=(xvfb-run -a -s "-screen 0 1280x1024x24")
fi
"${runner[@]}" ctest --test-dir build-windows --output-on-failure --timeout 600 "$@"
