#!/usr/bin/env bash
# Benchmark: ombrel installing a ~300 MB release against two scripts doing the same work with
# curl, unzip or bsdtar, and cp. Not a test; prints wall times, ratios and peak memory.
#
#   bench/run.sh                   # builds into build-bench/, works in /tmp/ombrel-bench
#   BENCH_DIR=/var/tmp/b REPEAT=5 bench/run.sh
#
# The generated release and its store are kept in BENCH_DIR and reused by later runs; delete
# the folder to generate them anew. Everything talks to 127.0.0.1 only.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${BUILD_DIR:-$ROOT/build-bench}"
WORK="${BENCH_DIR:-/tmp/ombrel-bench}"
REPEAT="${REPEAT:-3}"
KEY=bench-key-0123456789

need() { command -v "$1" >/dev/null || { echo "bench: $1 is missing (scripts/install-deps.sh installs it)" >&2; exit 2; }; }
for tool in curl unzip bsdtar cmake ninja; do need "$tool"; done
[ -x /usr/bin/time ] || { echo "bench: /usr/bin/time is missing (package time)" >&2; exit 2; }

echo "== building ombrel and ombrel-server (Release) in $BUILD"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOMBREL_BUILD_TESTS=OFF \
      -DOMBREL_BUILD_GUI=OFF >/dev/null
cmake --build "$BUILD" --target ombrel ombrel-server >/dev/null
OMBREL="$BUILD/bin/ombrel"
SERVER="$BUILD/bin/ombrel-server"

mkdir -p "$WORK"
DATA="$WORK/data"
STORE="$WORK/store"
if [ ! -f "$STORE/.complete" ]; then
    echo "== generating the release in $DATA"
    rm -rf "$DATA" "$STORE"
    # The generators below end on a closed pipe, which is how they are meant to stop.
    set +o pipefail
    mkdir -p "$DATA/blobs" "$DATA/libs/lib" "$DATA/texts"
    # Incompressible blobs: 150 MB.
    for i in 1 2 3; do head -c 50M /dev/urandom > "$DATA/blobs/blob$i.bin"; done
    # Library-like data: random code mixed with repetitive symbol text, 100 MB in 20 files.
    for i in $(seq -w 1 20); do
        { head -c 2M /dev/urandom
          yes "_ZN6ombrel3TIO8CopyfileERKNSt7__cxx1112basic_stringIcEES5_ symbol_$i" | head -c 3M
        } > "$DATA/libs/lib/libbench$i.so"
    done
    # Thousands of small text files: 5000 files of 10 kB in 50 folders, 50 MB.
    for d in $(seq -w 1 50); do
        mkdir -p "$DATA/texts/doc$d"
        base64 -w 76 /dev/urandom | head -c 1000K | split -b 10k -a 3 -d - "$DATA/texts/doc$d/page_"
    done
    for d in "$DATA"/texts/doc*; do for f in "$d"/page_*; do mv "$f" "$f.txt"; done; done
    set -o pipefail
    echo "== publishing"
    "$SERVER" publish --store "$STORE" --project Bench --version 1.0 \
        --package "blobs=$DATA/blobs" --package "libs=$DATA/libs" --package "texts=$DATA/texts" \
        >/dev/null
    touch "$STORE/.complete"
fi

echo "== starting ombrel-server on 127.0.0.1"
SERVER_OUT="$WORK/server.out"
"$SERVER" --store "$STORE" --host 127.0.0.1 --port 0 --quiet --api-key "$KEY" >"$SERVER_OUT" 2>&1 &
SERVER_PID=$!
trap 'kill "$SERVER_PID" 2>/dev/null || true' EXIT
for _ in $(seq 1 100); do grep -q "listening on" "$SERVER_OUT" 2>/dev/null && break; sleep 0.05; done
URL="$(sed -n 's/^listening on //p' "$SERVER_OUT")"
[ -n "$URL" ] || { echo "bench: the server did not start" >&2; cat "$SERVER_OUT" >&2; exit 1; }

PLAN="$(curl -sf -H "X-API-Key: $KEY" "$URL/api/update/install/Bench")"
IDS="$(printf '%s' "$PLAN" | grep -o '"id": *[0-9]*' | grep -o '[0-9]*$' | tr '\n' ' ')"
SIZE="$(du -sm "$DATA" | cut -f1)"
echo "   $URL, packages $IDS, $SIZE MB of files"

RUNS="$WORK/runs"
export KEY URL IDS RUNS

# Runs a command under /usr/bin/time; prints "seconds kilobytes".
measure() {
    local out="$WORK/time.out"
    /usr/bin/time -f "%e %M" -o "$out" "$@" >/dev/null 2>"$WORK/last.err" || {
        echo "bench: failed: $*" >&2; cat "$WORK/last.err" >&2; exit 1; }
    tail -1 "$out"
}

serial_script='
set -e
for id in $IDS; do
    curl -sf -H "X-API-Key: $KEY" "$URL/api/package/download/$id" -o "$RUNS/s/$id.zip"
    mkdir -p "$RUNS/s/unpacked$id"
    unzip -q "$RUNS/s/$id.zip" -d "$RUNS/s/unpacked$id"
    cp -a "$RUNS/s/unpacked$id/." "$RUNS/s/dest/"
done'

parallel_script='
set -e
one() {
    curl -sf -H "X-API-Key: $KEY" "$URL/api/package/download/$1" -o "$RUNS/p/$1.zip"
    mkdir -p "$RUNS/p/unpacked$1"
    bsdtar -xf "$RUNS/p/$1.zip" -C "$RUNS/p/unpacked$1"
    cp -a "$RUNS/p/unpacked$1/." "$RUNS/p/dest/"
}
pids=""
for id in $IDS; do one "$id" & pids="$pids $!"; done
for p in $pids; do wait "$p"; done'

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

declare -A T M
for name in ombrel serial parallel again; do T[$name]=""; M[$name]=""; done
run_ombrel() {
    read -r t m < <(measure env XDG_CACHE_HOME="$RUNS/o/cache" "$OMBREL" --app Bench \
        --dest "$RUNS/o/dest" --server "$URL" --api-key "$KEY" --quiet)
    T[ombrel]+="$t "; M[ombrel]+="$m "
    sync
    read -r t m < <(measure env XDG_CACHE_HOME="$RUNS/o/cache" "$OMBREL" --app Bench \
        --dest "$RUNS/o/dest" --server "$URL" --api-key "$KEY" --quiet)
    T[again]+="$t "; M[again]+="$m "
}
run_serial() {
    read -r t m < <(measure bash -c "$serial_script")
    T[serial]+="$t "; M[serial]+="$m "
}
run_parallel() {
    read -r t m < <(measure bash -c "$parallel_script")
    T[parallel]+="$t "; M[parallel]+="$m "
}
# The disk of a virtual machine slows down while it writes back what the previous contestant
# wrote: every contestant starts after a sync, and the order turns from round to round so that
# none always runs first or last.
orders=("ombrel serial parallel" "serial parallel ombrel" "parallel ombrel serial")
for round in $(seq 1 "$REPEAT"); do
    rm -rf "$RUNS"; mkdir -p "$RUNS/s/dest" "$RUNS/p/dest" "$RUNS/o"
    for contestant in ${orders[$(( (round - 1) % 3 ))]}; do
        sync
        "run_$contestant"
    done
    echo "   round $round: ombrel $(echo ${T[ombrel]} | awk '{print $NF}') s," \
         "serial $(echo ${T[serial]} | awk '{print $NF}') s," \
         "parallel $(echo ${T[parallel]} | awk '{print $NF}') s"
done
# Check that ombrel installed the same files as the scripts.
if ! diff -r "$RUNS/o/dest" "$RUNS/p/dest" -x 'Bench.ombrel' >/dev/null; then
    echo "bench: ombrel's installation differs from the scripts'" >&2; exit 1
fi

med() { echo "${T[$1]}" | tr ' ' '\n' | grep . | median; }
mem() { echo "${M[$1]}" | tr ' ' '\n' | grep . | sort -n | tail -1; }
o=$(med ombrel); s=$(med serial); p=$(med parallel); a=$(med again)
echo
echo "== results (median of $REPEAT rounds; peak memory is the largest of any one process)"
printf '%-34s %8s s %8s MiB\n' "ombrel install" "$o" "$(( $(mem ombrel) / 1024 ))"
printf '%-34s %8s s %8s MiB\n' "serial: curl + unzip + cp" "$s" "$(( $(mem serial) / 1024 ))"
printf '%-34s %8s s %8s MiB\n' "parallel: curl + bsdtar + cp" "$p" "$(( $(mem parallel) / 1024 ))"
printf '%-34s %8s s %8s MiB\n' "ombrel second run (nothing to do)" "$a" "$(( $(mem again) / 1024 ))"
awk -v o="$o" -v s="$s" -v p="$p" 'BEGIN {
    printf "ombrel / serial   = %.2fx\n", o / s
    printf "ombrel / parallel = %.2fx   (target: at most 1.00x)\n", o / p }'
