#!/usr/bin/env bash
# Runs a store behind nginx: several ombrel-server instances on 127.0.0.1 and nginx in front of
# them (TLS, static package files, API fail-over), until it gets SIGINT or SIGTERM.
#
#   deploy/nginx/run.sh --store DIR --cert FILE --key FILE [options]
#
#   --listen ADDR:PORT        where nginx listens for HTTPS (default 127.0.0.1:8443; port 0: any
#                             free port)
#   --server-name NAME        host name of the certificate and of the download URLs (default
#                             localhost)
#   --instances N             ombrel-server instances behind nginx (default 2)
#   --download-base URL       where the instances send downloads (default
#                             https://NAME:PORT/files, nginx's own static location)
#   --plain-listen ADDR:PORT  also serve the package files over plain HTTP there (port 0: any)
#   --files-limit-rate RATE   nginx limit_rate for each package download (default 0: none)
#   --api-key KEY             passed on to every instance (repeatable)
#   --run-dir DIR             configuration, logs, pid files (default: a new temporary folder)
#   --bin DIR                 where ombrel-server is (default: build/bin of this checkout)
#
# When everything answers it prints one line "ready https://NAME:PORT RUN_DIR" on standard
# output. RUN_DIR/instances lists each instance as "PID PORT"; RUN_DIR/nginx.conf is the
# configuration in use, RUN_DIR/access.log and RUN_DIR/error.log nginx's logs.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

store="" cert="" key="" listen="127.0.0.1:8443" server_name=localhost instances=2
download_base="" plain_listen="" limit_rate=0 run_dir="" bin="$here/../../build/bin"
api_keys=()
while [ $# -gt 0 ]; do
  case "$1" in
    --store) store=$2; shift 2 ;;
    --cert) cert=$2; shift 2 ;;
    --key) key=$2; shift 2 ;;
    --listen) listen=$2; shift 2 ;;
    --server-name) server_name=$2; shift 2 ;;
    --instances) instances=$2; shift 2 ;;
    --download-base) download_base=$2; shift 2 ;;
    --plain-listen) plain_listen=$2; shift 2 ;;
    --files-limit-rate) limit_rate=$2; shift 2 ;;
    --api-key) api_keys+=(--api-key "$2"); shift 2 ;;
    --run-dir) run_dir=$2; shift 2 ;;
    --bin) bin=$2; shift 2 ;;
    *) echo "run.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
[ -n "$store" ] && [ -n "$cert" ] && [ -n "$key" ] ||
  { echo "run.sh: --store, --cert and --key are required" >&2; exit 2; }
[ -d "$store/files" ] || { echo "run.sh: $store is not a store (no files/ folder)" >&2; exit 1; }
[[ "$instances" =~ ^[1-9][0-9]*$ ]] || { echo "run.sh: --instances takes a number" >&2; exit 2; }
command -v nginx >/dev/null || PATH=$PATH:/usr/sbin
command -v nginx >/dev/null || { echo "run.sh: nginx is not installed" >&2; exit 1; }
store=$(cd "$store" && pwd)
cert=$(cd "$(dirname "$cert")" && pwd)/$(basename "$cert")
key=$(cd "$(dirname "$key")" && pwd)/$(basename "$key")
[ -n "$run_dir" ] || run_dir=$(mktemp -d "${TMPDIR:-/tmp}/ombrel-nginx.XXXXXX")
mkdir -p "$run_dir"
run_dir=$(cd "$run_dir" && pwd)

pids=()
stop() {
  trap - EXIT INT TERM
  if [ -f "$run_dir/nginx.pid" ]; then kill -QUIT "$(cat "$run_dir/nginx.pid")" 2>/dev/null || true; fi
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap stop EXIT
trap 'exit 0' INT TERM

# A port nobody listens on now (port 0 asks for one). Taken from below the range the system
# gives to outgoing connections: such a connection's own end is not seen by the check, yet it
# would keep nginx from binding the port.
free_port() {
  local port=$1
  if [ "$port" != 0 ]; then echo "$port"; return; fi
  local first=20000 count=12000 ephemeral
  read -r ephemeral _ </proc/sys/net/ipv4/ip_local_port_range 2>/dev/null || ephemeral=32768
  if [ "$ephemeral" -gt $((first + 1000)) ]; then count=$((ephemeral - first)); fi
  while :; do
    port=$((first + (RANDOM * 32768 + RANDOM) % count))
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || { echo "$port"; return; }
  done
}

# The API instances.
: >"$run_dir/instances"
upstreams=""
listen_addr=${listen%:*}
listen_port=$(free_port "${listen##*:}")
[ -n "$download_base" ] || download_base="https://$server_name:$listen_port/files"
for i in $(seq 1 "$instances"); do
  out="$run_dir/instance-$i.out"
  "$bin/ombrel-server" --store "$store" --host 127.0.0.1 --port 0 --quiet \
    --download-base "$download_base" "${api_keys[@]}" >"$out" 2>"$run_dir/instance-$i.log" &
  pids+=($!)
  for _ in $(seq 1 200); do
    grep -q '^listening on ' "$out" 2>/dev/null && break
    kill -0 "${pids[-1]}" 2>/dev/null || { cat "$run_dir/instance-$i.log" >&2; exit 1; }
    sleep 0.05
  done
  port=$(sed -n 's|^listening on http://[^:]*:\([0-9]*\).*|\1|p' "$out")
  [ -n "$port" ] || { echo "run.sh: instance $i did not start" >&2; exit 1; }
  echo "${pids[-1]} $port" >>"$run_dir/instances"
  upstreams+="        server 127.0.0.1:$port max_fails=1 fail_timeout=10s;"$'\n'
done

plain_server=""
if [ -n "$plain_listen" ]; then
  plain_port=$(free_port "${plain_listen##*:}")
  plain_server="
    server {
        listen ${plain_listen%:*}:$plain_port;
        location /files/ {
            alias $store/files/;
            location ~ /\\. {
                return 404;
            }
        }
        location / {
            return 404;
        }
    }"
  echo "$plain_port" >"$run_dir/plain-port"
fi

user=$(id -un)
mkdir -p "$run_dir"/{client-body,proxy,fastcgi,uwsgi,scgi}
render() {
  local line
  while IFS= read -r line || [ -n "$line" ]; do
    case "$line" in
      *@UPSTREAM_SERVERS@*) printf '%s' "$upstreams" ;;
      *@PLAIN_SERVER@*) printf '%s\n' "$plain_server" ;;
      *)
        line=${line//@USER@/$user}
        line=${line//@RUN_DIR@/$run_dir}
        line=${line//@LISTEN@/$listen_addr:$listen_port}
        line=${line//@SERVER_NAME@/$server_name}
        line=${line//@CERT@/$cert}
        line=${line//@KEY@/$key}
        line=${line//@STORE@/$store}
        line=${line//@FILES_LIMIT_RATE@/$limit_rate}
        printf '%s\n' "$line" ;;
    esac
  done <"$here/ombrel.conf.template"
}
render >"$run_dir/nginx.conf"

nginx -p "$run_dir" -c "$run_dir/nginx.conf" -e "$run_dir/error.log" &
pids+=($!)
for _ in $(seq 1 200); do
  if (exec 3<>"/dev/tcp/$listen_addr/$listen_port") 2>/dev/null; then
    echo "ready https://$server_name:$listen_port $run_dir"
    wait "${pids[-1]}" || { echo "run.sh: nginx stopped; see $run_dir/error.log" >&2; exit 1; }
    exit 0
  fi
  kill -0 "${pids[-1]}" 2>/dev/null || break
  sleep 0.05
done
echo "run.sh: nginx did not start:" >&2
cat "$run_dir/error.log" >&2 || true
exit 1
