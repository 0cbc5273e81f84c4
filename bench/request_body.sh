#!/usr/bin/env bash
# ombrel-server's memory under oversized requests: BODIES (default 5) POSTs of BODY_MB (49) MB
# each to the repair endpoint (one with a length, one chunked, in turn), then one small
# request. Prints the server's resident memory before, its peak, and what it keeps afterwards,
# with the answers' status codes. Release build in build-bench/, 127.0.0.1 only.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${BUILD_DIR:-$ROOT/build-bench}"
BODY_MB="${BODY_MB:-49}"
BODIES="${BODIES:-5}"
KEY=bench-key-0123456789

cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOMBREL_BUILD_TESTS=OFF \
      -DOMBREL_BUILD_GUI=OFF >/dev/null
cmake --build "$BUILD" --target ombrel-server >/dev/null
SERVER="$BUILD/bin/ombrel-server"

W=$(mktemp -d /tmp/ombrel-body.XXXXXX)
pid=
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$W"; }
trap cleanup EXIT

mkdir -p "$W/app"
echo "demo" > "$W/app/Demo.exe"
"$SERVER" publish --store "$W/store" --project Demo --version 1.0 --package "Demo=$W/app" >/dev/null
"$SERVER" --store "$W/store" --host 127.0.0.1 --port 0 --quiet --api-key "$KEY" >"$W/out" 2>&1 &
pid=$!
for _ in $(seq 1 100); do grep -q "listening on" "$W/out" 2>/dev/null && break; sleep 0.05; done
URL="$(sed -n 's/^listening on //p' "$W/out")"
[ -n "$URL" ] || { echo "the server did not start" >&2; cat "$W/out" >&2; exit 1; }

kib() { awk -v k="$1" '$1 == k":" {print $2}' "/proc/$pid/status"; }
head -c "$((BODY_MB << 20))" /dev/zero | tr '\0' 'x' > "$W/body"
before=$(kib VmRSS)
codes=""
for i in $(seq 1 "$BODIES"); do
    if (( i % 2 )); then
        code=$(curl -s -o /dev/null -w '%{http_code}' -H "X-API-Key: $KEY" \
               -H 'Content-Type: application/json' --data-binary "@$W/body" \
               "$URL/api/update/repair/Demo/1.0" || echo 000)
    else
        code=$(curl -s -o /dev/null -w '%{http_code}' -H "X-API-Key: $KEY" \
               -H 'Content-Type: application/json' -H 'Transfer-Encoding: chunked' \
               --data-binary "@$W/body" "$URL/api/update/repair/Demo/1.0" || echo 000)
    fi
    codes+="$code "
done
small=$(curl -s -o /dev/null -w '%{http_code}' -H "X-API-Key: $KEY" "$URL/api/update/install/Demo")
sleep 1
echo "requests of $BODY_MB MB: $BODIES, answered: $codes"
echo "small request afterwards: $small"
echo "resident memory before: $((before / 1024)) MiB, peak: $(( $(kib VmHWM) / 1024 )) MiB," \
     "kept afterwards: $(( $(kib VmRSS) / 1024 )) MiB"
