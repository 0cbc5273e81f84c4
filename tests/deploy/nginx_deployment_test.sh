#!/usr/bin/env bash
# The deployment of deploy/nginx end to end: ombrel installs over HTTPS through nginx, with the
# package files served by nginx and the API by two ombrel-server instances on one store.
#
# Certificates are made here with openssl: a throwaway authority, a certificate for localhost
# signed by it, one for another host name and a self-signed one.
#
# Needs OMBREL_BIN_DIR (ombrel, ombrel-server) and OMBREL_SOURCE_DIR; run by CTest.
set -euo pipefail
bin=${OMBREL_BIN_DIR:?}
src=${OMBREL_SOURCE_DIR:?}
PATH=$PATH:/usr/sbin
key=$(sed -n 's/.*kApiKey\[\] = "\(.*\)";/\1/p' "$bin/../generated/ombrel/build_config.h" 2>/dev/null || true)

work=$(mktemp -d "${TMPDIR:-/tmp}/ombrel-nginx-test.XXXXXX")
deployments=()
cleanup() {
  for pid in "${deployments[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
export XDG_CACHE_HOME="$work/cache"

failures=0
check() {  # check "what" command...
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what" >&2; failures=$((failures + 1)); fi
}

# ---- certificates -----------------------------------------------------------------------
ossl() { openssl "$@" 2>/dev/null; }
newkey() { ossl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1"; }
newkey ca.key
ossl req -x509 -new -key ca.key -out ca.pem -days 2 -subj "/CN=Ombrel test authority" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign"
signed() {  # signed NAME HOST: NAME.pem for HOST, signed by the test authority
  newkey "$1.key"
  ossl req -new -key "$1.key" -out "$1.csr" -subj "/CN=$2"
  printf 'subjectAltName=DNS:%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' \
    "$2" >"$1.ext"
  ossl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
    -extfile "$1.ext" -out "$1.pem"
}
signed localhost localhost
signed otherhost updates.example.org
newkey selfsigned.key
ossl req -x509 -new -key selfsigned.key -out selfsigned.pem -days 2 -subj "/CN=localhost" \
  -addext "subjectAltName=DNS:localhost"

# ---- a release of three packages -----------------------------------------------------------
mkdir -p dist/core/bin dist/core/lib dist/data dist/tool
head -c 400000 /dev/urandom >dist/core/bin/program
head -c 300000 /dev/urandom >dist/core/lib/library.so
for i in $(seq 1 20); do echo "line $i" >"dist/data/file-$i.txt"; done
head -c 200000 /dev/urandom >dist/tool/tool
packages=(--package core=dist/core --package data=dist/data --file tool=dist/tool/tool:bin/tool)
"$bin/ombrel-server" publish --store store --project demo --version 1.0 "${packages[@]}" >/dev/null

# Starts deploy/nginx/run.sh in the background with the arguments; sets url and run_dir.
deploy() {
  local out="$work/deploy-${#deployments[@]}.out"
  "$src/deploy/nginx/run.sh" --store store --listen 127.0.0.1:0 --bin "$bin" \
    --run-dir "$work/run-${#deployments[@]}" "$@" >"$out" 2>"$out.err" &
  deployments+=($!)
  for _ in $(seq 1 300); do
    if grep -q '^ready ' "$out"; then
      url=$(awk '/^ready /{print $2}' "$out")
      run_dir=$(awk '/^ready /{print $3}' "$out")
      return 0
    fi
    kill -0 "${deployments[-1]}" 2>/dev/null || break
    sleep 0.05
  done
  echo "deployment did not start:" >&2
  cat "$out.err" >&2
  exit 1
}

# A port below the range of outgoing connections' own ends, as deploy/nginx/run.sh takes one.
free_port() {
  local port first=20000 count=12000 ephemeral
  read -r ephemeral _ </proc/sys/net/ipv4/ip_local_port_range 2>/dev/null || ephemeral=32768
  if [ "$ephemeral" -gt $((first + 1000)) ]; then count=$((ephemeral - first)); fi
  while :; do
    port=$((first + (RANDOM * 32768 + RANDOM) % count))
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || { echo "$port"; return; }
  done
}

ombrel() { "$bin/ombrel" --app demo --ca-file ca.pem --quiet "$@"; }

# The installation holds exactly the published files.
same_files() {  # same_files DEST
  cmp -s dist/core/bin/program "$1/bin/program" && cmp -s dist/core/lib/library.so \
    "$1/lib/library.so" && cmp -s dist/tool/tool "$1/bin/tool" &&
    diff -rq dist/data "$1" -x bin -x lib -x 'demo.ombrel*' >/dev/null
}

# refused WHAT PATTERN ARGS...: an ombrel run with ARGS fails and its errors match PATTERN.
refused() {
  local what=$1 pattern=$2; shift 2
  if ombrel "$@" 2>err.txt; then
    check "$what is refused" false
  elif ! grep -Eqi "$pattern" err.txt; then
    check "$what is refused, saying so" false
    echo "its errors were:" >&2
    cat err.txt >&2
  else
    echo "ok: $what is refused, saying so"
  fi
}

# ---- 1. a fresh install over HTTPS, files from nginx, API from two instances ---------------
deploy --cert localhost.pem --key localhost.key --instances 2 --files-limit-rate 400k
main_url=$url main_run=$run_dir
check "fresh install through nginx" ombrel --server "$main_url" --dest inst1
check "installed files are the published ones" same_files inst1
check "package files came from nginx's static location" \
  grep -q '"GET /files/1-core-1.0.zip HTTP/1.1" 200 ' "$main_run/access.log"
check "downloads were redirected by the API instances" \
  grep -q '"GET /api/package/download/1 HTTP/1.1" 302 ' "$main_run/access.log"

# ---- 2. an update published while everything runs is seen by every instance at once --------
echo "changed" >dist/data/file-1.txt
"$bin/ombrel-server" publish --store store --project demo --version 1.1 "${packages[@]}" >/dev/null
while read -r pid port; do
  version=$(curl -s -H "X-API-Key: $key" "http://127.0.0.1:$port/api/update/install/demo" |
    sed -n 's/^    "version": "\(.*\)",$/\1/p')
  check "instance on port $port answers 1.1 at the next request" test "$version" = 1.1
done <"$main_run/instances"
check "update through nginx" ombrel --server "$main_url" --dest inst1
check "updated files are the published ones" same_files inst1
check "the manifest records 1.1" grep -q '1\.1' inst1/demo.ombrel

# ---- 3. one instance dead, which nginx does not know yet: the run completes through the other --
# Killed before the run, so that every API request of the run comes after it (a run asks for
# its packages two at a time, so a kill during the run may come after its last API request).
# nginx keeps sending requests there until one fails: the run's requests alternate between
# the two, so one of them meets the dead instance and goes on to the other.
rm -rf "$XDG_CACHE_HOME"
read -r victim _ <"$main_run/instances"
kill -KILL "$victim"
check "a run survives the loss of one instance" ombrel --server "$main_url" --dest inst2
check "its files are the published ones" same_files inst2
check "nginx moved on from the dead instance" grep -q 'connect() failed' "$main_run/error.log"

# ---- 4. certificates that must be refused ----------------------------------------------------
deploy --cert otherhost.pem --key otherhost.key --instances 1
refused "a certificate for another host name" 'host ?name|subject name' --server "$url" --dest inst3
check "nothing was installed with it" test ! -e inst3/demo.ombrel

deploy --cert selfsigned.pem --key selfsigned.key --instances 1
refused "a self-signed certificate" 'self.signed' --server "$url" --dest inst4

# ---- 5. a redirect from HTTPS to plain HTTP is refused ---------------------------------------
plain_port=$(free_port)
deploy --cert localhost.pem --key localhost.key --instances 1 \
  --plain-listen "127.0.0.1:$plain_port" --download-base "http://localhost:$plain_port/files"
refused "a redirect from HTTPS to plain HTTP" 'HTTPS to plain HTTP' --server "$url" --dest inst5
check "the plain location was never asked" \
  bash -c "! grep -q 'GET /files/' '$run_dir/access.log'"

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all checks passed"
