#!/usr/bin/env bash
# The whole way of an application to a user, on this machine:
#   1. installs the packages that are needed and builds everything (build/bin/),
#   2. publishes a small demo application with `ombrel-server publish` into a fresh store,
#   3. serves that store with `ombrel-server` on 127.0.0.1 (a free port),
#   4. stamps an installer for the application with `ombrel-stamp`,
#   5. runs the installer against the local server: on your display when DISPLAY is set,
#      otherwise on a virtual display (Xvfb), saving screenshots,
#   6. checks that the installed application was started, and says where it is.
# The server (and the virtual display) are stopped at the end, also on failure.
#
# Environment: OMBREL_BUILD_DIR (default build), XDG_DATA_HOME (the installation goes to
# $XDG_DATA_HOME/ombrel/apps, else ~/.local/share/ombrel/apps), TMPDIR (the demo's work folder).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/build.sh
bin="$PWD/${OMBREL_BUILD_DIR:-build}/bin"
for tool in ombrel-server ombrel-stamp ombrel-installer ombrel-demo-app; do
  [ -x "$bin/$tool" ] || { echo "demo: $bin/$tool was not built" >&2; exit 1; }
done

project=OmbrelDemo
title="Ombrel Demo Setup"
export TMPDIR="${TMPDIR:-/tmp}"
data_home="${XDG_DATA_HOME:-$HOME/.local/share}"
case "$data_home" in /*) ;; *) data_home="$HOME/.local/share" ;; esac
install_dir="${data_home%/}/ombrel/apps/$project"
marker="$install_dir/ombrel-demo-started.txt"
work=$(mktemp -d "${TMPDIR%/}/ombrel-demo.XXXXXX")

server_pid=""
xvfb_pid=""
installer_pid=""
cleanup() {
  [ -n "$installer_pid" ] && kill "$installer_pid" 2>/dev/null || true
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
cp "$bin/ombrel-demo-app" "$work/release/"
printf 'Ombrel demo application, installed by the Ombrel installer.\n' >"$work/release/README.txt"
"$bin/ombrel-server" publish --store "$work/store" --project "$project" --version 1.0.0 \
  --package "app=$work/release"

echo "== Starting the update server on 127.0.0.1"
"$bin/ombrel-server" --store "$work/store" --host 127.0.0.1 --port 0 >"$work/server.log" 2>&1 &
server_pid=$!
wait_for 20 grep -q '^listening on ' "$work/server.log" || fail "the server did not start"
url=$(sed -n 's/^listening on \(http:\/\/127\.0\.0\.1:[0-9]*\).*/\1/p' "$work/server.log" | head -n 1)
[ -n "$url" ] || fail "the server did not say where it listens"
echo "   $url"

echo "== Stamping the installer"
installer="$work/$project-Setup"
"$bin/ombrel-stamp" --installer "$bin/ombrel-installer" --out "$installer" \
  --title "$title" --app "$project" --start-app ombrel-demo-app

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

echo "== Running the installer (its package cache is $work/cache)"
XDG_CACHE_HOME="$work/cache" "$installer" -h "$url" &
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

wait_for 30 test -s "$marker" || fail "the installed application did not start (no $marker)"
app_pid=$(sed -n 's/^pid=//p' "$marker")
if [ "$virtual" = 1 ]; then
  if xdotool search --sync --onlyvisible --name '^Ombrel Demo$' >/dev/null 2>&1 &&
     import -window root "$work/application.png" 2>/dev/null; then
    screenshots+=("$work/application.png")
  fi
  # The virtual display goes away now, and the application with it.
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
fi

echo
echo "The demo application \"$project\" was installed to $install_dir"
echo "and started from there: $(sed -n 's/^program=//p' "$marker") (process $app_pid),"
echo "as its marker file $marker shows."
for shot in "${screenshots[@]}"; do
  echo "Screenshot: $shot"
done
