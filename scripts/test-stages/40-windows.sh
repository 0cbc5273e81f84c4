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

# The HTTP transport's suite talks to a server running natively on 127.0.0.1 (the Windows test
# programs cannot host one in-process): the Linux build's http_fixture_server, which prints its
# port once it listens.
linux_build=${OMBREL_BUILD_DIR:-build}
cmake -S . -B "$linux_build" -G Ninja >/dev/null
cmake --build "$linux_build" --target http_fixture_server >/dev/null
port_file=build-windows/http-fixture-port
rm -f "$port_file"
"$linux_build/tests/http_fixture_server" >"$port_file" &
fixture=$!
trap 'kill "$fixture" 2>/dev/null || true; wineserver -k 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  [ -s "$port_file" ] && break
  sleep 0.1
done
[ -s "$port_file" ] || { echo "http_fixture_server did not start" >&2; exit 1; }
export OMBREL_TEST_HTTP_URL="http://127.0.0.1:$(cat "$port_file")"

# The window tests need a display: give them a virtual one when there is none.
runner=()
if [ -z "${DISPLAY:-}" ]; then
  runner=(xvfb-run -a -s "-screen 0 1280x1024x24")
fi
"${runner[@]}" ctest --test-dir build-windows --output-on-failure --timeout 600 "$@"
