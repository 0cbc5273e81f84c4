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
# The window tests need a display. When there is none, one virtual display serves the whole
# stage, from before Wine's first program: Wine's desktop process, started with the prefix,
# keeps the display it found then, and windows cannot be created after that display is gone.
xvfb=
if [ -z "${DISPLAY:-}" ]; then
  display_file=build-windows/xvfb-display
  rm -f "$display_file"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$display_file" 2>/dev/null &
  xvfb=$!
  for _ in $(seq 200); do
    [ -s "$display_file" ] && break
    sleep 0.1
  done
  [ -s "$display_file" ] || { echo "Xvfb did not start" >&2; kill "$xvfb"; exit 1; }
  export DISPLAY=":$(head -n 1 "$display_file")"
fi
# The server stays up between the tests (they would otherwise each start one), and the prefix is
# set up before the first test, which would otherwise hang while Wine creates it.
wineserver -p
trap 'wineserver -k 2>/dev/null || true; kill $xvfb 2>/dev/null || true' EXIT
wineboot -i >/dev/null 2>&1

# The suites that talk HTTP do so with servers running natively on 127.0.0.1 (the Windows test
# programs cannot host one in-process): the Linux build's http_fixture_server for the
# transport's suite, and ombrel-server with the releases of tests/tools/ombrel/windows_store.sh
# for ombrel.exe's, twice: once whole, once with downloads sent on to the fixture server, which
# cuts them short. Each says where it listens once it does.
linux_build=${OMBREL_BUILD_DIR:-build}
cmake -S . -B "$linux_build" -G Ninja >/dev/null
cmake --build "$linux_build" --target http_fixture_server ombrel-server ombrel-stamp \
  ombrel_installer_tests >/dev/null
fixture_out=build-windows/http-fixture.out
server_out=build-windows/ombrel-server.out
cutting_out=build-windows/ombrel-server-cutting.out
rm -f "$fixture_out" "$server_out" "$cutting_out"
tests/tools/ombrel/windows_store.sh "$linux_build/bin/ombrel-server" build-windows/e2e-store
"$linux_build/tests/http_fixture_server" >"$fixture_out" &
fixture=$!
"$linux_build/bin/ombrel-server" --store build-windows/e2e-store --host 127.0.0.1 --port 0 \
  --quiet >"$server_out" 2>&1 &
server=$!
cutting=
trap 'kill "$fixture" "$server" $cutting 2>/dev/null || true; wineserver -k 2>/dev/null || true
      kill $xvfb 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  [ -s "$fixture_out" ] && break
  sleep 0.1
done
[ -s "$fixture_out" ] || { echo "http_fixture_server did not start" >&2; exit 1; }
export OMBREL_TEST_HTTP_URL="http://127.0.0.1:$(cat "$fixture_out")"
"$linux_build/bin/ombrel-server" --store build-windows/e2e-store --host 127.0.0.1 --port 0 \
  --quiet --download-base "$OMBREL_TEST_HTTP_URL/gone" >"$cutting_out" 2>&1 &
cutting=$!
# Where an ombrel-server listens, once it says so.
listening() {
  for _ in $(seq 100); do
    grep -q '^listening on ' "$1" && break
    sleep 0.1
  done
  sed -n 's/^listening on \(http:\/\/127\.0\.0\.1:[0-9]*\).*/\1/p' "$1" | head -n 1
}
OMBREL_TEST_SERVER_URL=$(listening "$server_out")
OMBREL_TEST_CUTTING_SERVER_URL=$(listening "$cutting_out")
[ -n "$OMBREL_TEST_SERVER_URL" ] && [ -n "$OMBREL_TEST_CUTTING_SERVER_URL" ] ||
  { echo "ombrel-server did not start" >&2; cat "$server_out" "$cutting_out" >&2; exit 1; }
export OMBREL_TEST_SERVER_URL OMBREL_TEST_CUTTING_SERVER_URL

ctest --test-dir build-windows --output-on-failure --timeout 600 "$@"

# The Windows installer end to end: the Linux installer suite stamps ombrel-installer.exe with the
# Linux ombrel-stamp and runs it under Wine in this prefix, on the (virtual) display, against
# servers on 127.0.0.1; its screenshots go to <Linux build>/test-screenshots/.
OMBREL_WINDOWS_BUILD_DIR="$PWD/build-windows" OMBREL_BIN_DIR="$(cd "$linux_build" && pwd)/bin" \
  OMBREL_SOURCE_DIR="$PWD" \
  "$linux_build/tests/ombrel_installer_tests" --gtest_filter='WindowsInstallerTest.*'

