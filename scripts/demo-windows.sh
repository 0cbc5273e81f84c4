#!/usr/bin/env bash
# The whole way of an application to a Windows user, on this Linux machine under Wine:
#   1. installs the packages that are needed and builds the Linux server and stamp tool
#      (build/bin/) and the Windows build (build-windows/bin/),
#   2. publishes the small Windows demo application (ombrel-demo-app.exe) with
#      `ombrel-server publish` into a fresh store,
#   3. serves that store with `ombrel-server` on 127.0.0.1 (a free port),
#   4. stamps a Windows installer for the application with `ombrel-stamp`
#      (build-windows/bin/ombrel-installer.exe -> OmbrelDemo-Setup.exe),
#   5. runs the installer under Wine against the local server: on your display when DISPLAY is
#      set, otherwise on a virtual display (Xvfb), saving screenshots,
#   6. checks that the installed application was started, and says where it is.
# The server, Wine and the virtual display are stopped at the end, also on failure.
#
# Environment: OMBREL_BUILD_DIR (default build), OMBREL_WINDOWS_BUILD_DIR (default
# build-windows), WINEPREFIX (default: a prefix of the demo's own below the Windows build),
# TMPDIR (the demo's work folder).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
linux_build=${OMBREL_BUILD_DIR:-build}
windows_build=${OMBREL_WINDOWS_BUILD_DIR:-build-windows}
cmake -S . -B "$linux_build" -G Ninja >/dev/null
cmake --build "$linux_build" --target ombrel-server ombrel-stamp -j "$(nproc)"
OMBREL_WINDOWS_BUILD_DIR="$windows_build" scripts/build-windows.sh
bin="$(cd "$linux_build" && pwd)/bin"
winbin="$(cd "$windows_build" && pwd)/bin"
for tool in "$bin/ombrel-server" "$bin/ombrel-stamp" "$winbin/ombrel-installer.exe" \
            "$winbin/ombrel-demo-app.exe"; do
  [ -f "$tool" ] || { echo "demo: $tool was not built" >&2; exit 1; }
done

project=OmbrelDemo
title="Ombrel Demo Setup"
export TMPDIR="${TMPDIR:-/tmp}"
export WINEPREFIX="${WINEPREFIX:-$(cd "$windows_build" && pwd)/wine-prefix-demo}"
export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
work=$(mktemp -d "${TMPDIR%/}/ombrel-demo-windows.XXXXXX")

server_pid=""
xvfb_pid=""
installer_pid=""
wine_started=0
cleanup() {
  [ -n "$installer_pid" ] && kill "$installer_pid" 2>/dev/null || true
  [ "$wine_started" = 1 ] && wineserver -k 2>/dev/null || true
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT

fail() {
  echo "demo: $*" >&2
  if [ -s "$work/server.log" ]; then
    echo "demo: last lines of the server log ($work/server.log):" >&2
    tail -n 20 "$work/server.log" >&2
  fi
  exit 1
}

# Waits up to $1 seconds for the command that follows to succeed.
wait_for() {
  local seconds=$1; shift
  local end=$((SECONDS + seconds))
  until "$@"; do
    [ "$SECONDS" -lt "$end" ] || return 1
    sleep 0.1
  done
}

echo "== Publishing the demo application"
mkdir -p "$work/release"
cp "$winbin/ombrel-demo-app.exe" "$work/release/"
printf 'Ombrel demo application, installed by the Ombrel installer.\r\n' >"$work/release/README.txt"
"$bin/ombrel-server" publish --store "$work/store" --project "$project" --version 1.0.0 \
  --package "app=$work/release"

echo "== Starting the update server on 127.0.0.1"
"$bin/ombrel-server" --store "$work/store" --host 127.0.0.1 --port 0 >"$work/server.log" 2>&1 &
server_pid=$!
wait_for 20 grep -q '^listening on ' "$work/server.log" || fail "the server did not start"
url=$(sed -n 's/^listening on \(http:\/\/127\.0\.0\.1:[0-9]*\).*/\1/p' "$work/server.log" | head -n 1)
[ -n "$url" ] || fail "the server did not say where it listens"
echo "   $url"

echo "== Stamping the Windows installer"
installer="$work/$project-Setup.exe"
"$bin/ombrel-stamp" --installer "$winbin/ombrel-installer.exe" --out "$installer" \
  --title "$title" --app "$project" --start-app ombrel-demo-app.exe
"$bin/ombrel-stamp" --show "$installer"

screenshots=()
if [ -z "${DISPLAY:-}" ]; then
  echo "== No display: starting a virtual one (Xvfb)"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
  xvfb_pid=$!
  wait_for 20 test -s "$work/display" || fail "Xvfb did not start"
  export DISPLAY=":$(head -n 1 "$work/display")"
  virtual=1
else
  virtual=0
fi

echo "== Preparing the Wine prefix $WINEPREFIX"
mkdir -p "$WINEPREFIX"
wine_started=1
wineserver -p
wineboot -i >/dev/null 2>&1
# The installer installs to %TEMP%\<application> of the Wine user.
temp=$(wine cmd /c echo %TEMP% 2>/dev/null | tr -d '\r')
install_dir=$(winepath -u "$temp\\$project" 2>/dev/null)
[ -n "$install_dir" ] || fail "could not find the Wine user's temporary folder"
marker="$install_dir/ombrel-demo-started.txt"
rm -f "$marker"

echo "== Running the installer under Wine"
wine "$installer" -h "$url" &
installer_pid=$!
if [ "$virtual" = 1 ]; then
  # The window waits one second before it starts the run: time for a picture.
  if xdotool search --sync --onlyvisible --name "^$title\$" >/dev/null 2>&1 &&
     import -window root "$work/installer.png" 2>/dev/null; then
    screenshots+=("$work/installer.png")
  fi
fi
# The installer ends by itself after a successful run; after a failure it stays open.
if ! wait_for 300 bash -c "! kill -0 $installer_pid 2>/dev/null"; then
  if [ "$virtual" = 1 ] && import -window root "$work/installer-failed.png" 2>/dev/null; then
    echo "   screenshot of the installer: $work/installer-failed.png"
  fi
  fail "the installer did not finish; its window shows the errors"
fi
wait "$installer_pid" 2>/dev/null || true
installer_pid=""

wait_for 60 test -s "$marker" || fail "the installed application did not start (no $marker)"
if [ "$virtual" = 1 ]; then
  if xdotool search --sync --onlyvisible --name '^Ombrel Demo$' >/dev/null 2>&1 &&
     import -window root "$work/application.png" 2>/dev/null; then
    screenshots+=("$work/application.png")
  fi
fi

echo
echo "The demo application \"$project\" was installed to $temp\\$project"
echo "(on this machine: $install_dir)"
echo "and started from there: $(sed -n 's/^program=//p' "$marker" | tr -d '\r'),"
echo "as its marker file ombrel-demo-started.txt shows."
for shot in "${screenshots[@]}"; do
  echo "Screenshot: $shot"
done
