#!/usr/bin/env bash
# Load figures for serving: many concurrent fresh installs of a small release and a burst of API
# requests, once straight to one ombrel-server and once through nginx (deploy/nginx) with two
# instances. Loopback only, bounded in count and time.
#
#   bench/load.sh            builds Release binaries into build-bench/ first
#   INSTALLS=50 REQUESTS=5000 CLIENTS=50 bench/load.sh
#
# Prints, for each setup: installs (count, failures, wall time, 99th percentile of one install),
# API requests (per second, 99th percentile latency, failures), and each server process's peak
# memory and open descriptors before and after.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
installs=${INSTALLS:-50}
requests=${REQUESTS:-5000}
clients=${CLIENTS:-50}
PATH=$PATH:/usr/sbin

scripts/install-deps.sh
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DOMBREL_BUILD_TESTS=OFF \
  -DOMBREL_BUILD_GUI=OFF >/dev/null
cmake --build build-bench --target ombrel ombrel-server >/dev/null
bin=$root/build-bench/bin
key=$(sed -n 's/.*kApiKey\[\] = "\(.*\)";/\1/p' build-bench/generated/ombrel/build_config.h)

work=$(mktemp -d "${TMPDIR:-/tmp}/ombrel-load.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

# A small release: three packages, about 100 KB.
mkdir -p dist/core/bin dist/data
head -c 60000 /dev/urandom >dist/core/bin/program
for i in $(seq 1 30); do echo "data $i" >"dist/data/file-$i.txt"; done
head -c 20000 /dev/urandom >tool
"$bin/ombrel-server" publish --store store --project demo --version 1.0 \
  --package core=dist/core --package data=dist/data --file tool=tool:bin/tool >/dev/null

openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out tls.key 2>/dev/null
openssl req -x509 -new -key tls.key -out tls.pem -days 2 -subj "/CN=localhost" \
  -addext "subjectAltName=DNS:localhost" 2>/dev/null

memory() {  # memory PID: "peak KiB"
  awk '/^VmHWM/{print $2}' "/proc/$1/status"
}
fds() { ls "/proc/$1/fd" | wc -l; }

# measure NAME URL PID... : runs the installs and the burst against URL and reports.
measure() {
  local name=$1 url=$2; shift 2
  local servers=("$@") extra=()
  [[ "$url" == https:* ]] && extra=(--ca-file tls.pem)
  declare -A fds_before
  for pid in "${servers[@]}"; do fds_before[$pid]=$(fds "$pid"); done

  # Fresh installs, all at once, each with a cache of its own so that each downloads.
  rm -rf installs && mkdir installs
  local start end
  start=$(date +%s.%N)
  local runs=()
  for i in $(seq 1 "$installs"); do
    (
      s=$(date +%s.%N)
      if XDG_CACHE_HOME="$work/installs/cache-$i" timeout 120 "$bin/ombrel" --app demo \
        --server "$url" --dest "installs/app-$i" --quiet "${extra[@]}" 2>"installs/err-$i"; then
        r=ok
      else
        r=failed
      fi
      echo "$r $(awk -v a="$(date +%s.%N)" -v b="$s" 'BEGIN{print a-b}')" >"installs/result-$i"
    ) &
    runs+=($!)
  done
  wait "${runs[@]}"
  end=$(date +%s.%N)
  local failed p99
  failed=$(cat installs/result-* | grep -c '^failed' || true)
  p99=$(cat installs/result-* | awk '{print $2}' | sort -n |
    awk '{a[NR]=$1} END {i=int(NR*0.99+0.999); if (i<1) i=1; printf "%.2f", a[i]}')
  printf '%-28s %d installs at once: %d failed, all done in %.2f s, 99th percentile %s s\n' \
    "$name" "$installs" "$failed" "$(awk -v a="$end" -v b="$start" 'BEGIN{print a-b}')" "$p99"

  # The API burst.
  ab -q -n "$requests" -c "$clients" -s 30 -H "X-API-Key: $key" \
    "$url/api/update/install/demo" >ab.txt 2>&1 || true
  local rps lat fail non2xx
  rps=$(awk '/^Requests per second/{print $4}' ab.txt)
  lat=$(awk '$1=="99%"{print $2}' ab.txt)
  fail=$(awk '/^Failed requests/{print $3}' ab.txt)
  [ "${fail:-0}" = 0 ] || fail="$fail $(awk '/^   \(Connect:/{$1=$1; print}' ab.txt)"
  non2xx=$(awk '/^Non-2xx responses/{print $3}' ab.txt)
  printf '%-28s %d API requests from %d clients: %s per second, 99th percentile %s ms, %s failed%s\n' \
    "$name" "$requests" "$clients" "${rps:-?}" "${lat:-?}" "${fail:-?}" \
    "${non2xx:+, $non2xx not 2xx}"
  for pid in "${servers[@]}"; do
    printf '%-28s ombrel-server %s: peak memory %s KiB, descriptors %s before, %s after\n' \
      "$name" "$pid" "$(memory "$pid")" "${fds_before[$pid]}" "$(fds "$pid")"
  done
}

# One ombrel-server, straight.
"$bin/ombrel-server" --store store --host 127.0.0.1 --port 0 --quiet >direct.out &
pids+=($!)
direct_pid=$!
for _ in $(seq 1 200); do grep -q '^listening on ' direct.out && break; sleep 0.05; done
direct_url=$(sed -n 's/^listening on //p' direct.out)
measure "one ombrel-server" "$direct_url" "$direct_pid"

# nginx with two instances.
"$root/deploy/nginx/run.sh" --store store --cert tls.pem --key tls.key --listen 127.0.0.1:0 \
  --instances 2 --bin "$bin" --run-dir "$work/nginx" >nginx.out 2>nginx.err &
pids+=($!)
for _ in $(seq 1 300); do grep -q '^ready ' nginx.out && break; sleep 0.05; done
nginx_url=$(awk '/^ready /{print $2}' nginx.out)
[ -n "$nginx_url" ] || { cat nginx.err >&2; exit 1; }
mapfile -t instance_pids < <(awk '{print $1}' nginx/instances)
measure "nginx + 2 ombrel-server" "$nginx_url" "${instance_pids[@]}"
