#!/usr/bin/env bash
# Runs the command with a display: the one in DISPLAY, or else a virtual one (Xvfb) that lives as
# long as the command. The server picks a free display number itself, so that test runs started
# side by side on one machine never meet on the same display (with another's access cookie).
set -euo pipefail
if [ -n "${DISPLAY:-}" ]; then
  exec "$@"
fi
display_file=$(mktemp)
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$display_file" 2>/dev/null &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null || true; wait "$xvfb" 2>/dev/null || true; rm -f "$display_file"' EXIT
for _ in $(seq 200); do
  [ -s "$display_file" ] && break
  sleep 0.1
done
[ -s "$display_file" ] || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(head -n 1 "$display_file")"
status=0
"$@" || status=$?
exit "$status"
