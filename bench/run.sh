#!/usr/bin/env bash
# Benchmark: ombrel against scripts doing the same work with curl, unzip or bsdtar, cp, rm and
# md5sum. Not a test; prints wall times, ratios and peak memory.
#
#   bench/run.sh                          # every scenario, work folder on disk
#   BENCH_FS=shm bench/run.sh             # work folder on the memory file system (/dev/shm)
#   SCENARIOS="many update" REPEAT=5 bench/run.sh
#   BENCH_DIR=/var/tmp/b bench/run.sh
#
# Scenarios:
#   release  a ~300 MB release in three packages: ombrel, a serial script (curl + unzip + cp per
#            package) and a parallel one (curl + bsdtar + cp, packages at once); then a second
#            ombrel run with nothing to do
#   many     one package of MANY_FILES (100,000) files of 512 bytes in 250 folders: a fresh
#            install against curl + bsdtar + cp -a
#   update   version 2.0 of that package changes half of the files and drops a quarter:
#            ombrel updating a 1.0 installation against curl + bsdtar + cp -a + rm of the
#            dropped files; ombrel --repair of the 2.0 installation (a few files damaged)
#            against md5sum of every file + cp -a of the unpacked package; ombrel forcing 1.0
#            back (the package is cached) against cp -a of the unpacked package
#   flush    what durability costs: the ombrel install of the release and of the many-files
#            package, as it is and with fsync, fdatasync, syncfs and sync turned into no-ops by a
#            preloaded library (never do that for real: a power cut could then leave state files
#            that describe data the disk does not hold)
#
# The generated data and its store are kept in BENCH_DIR and reused by later runs; delete the
# folder to generate them anew. Everything talks to 127.0.0.1 only.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${BUILD_DIR:-$ROOT/build-bench}"
FS="${BENCH_FS:-disk}"
case "$FS" in
    disk) WORK="${BENCH_DIR:-/tmp/ombrel-bench}" ;;
    shm) WORK="${BENCH_DIR:-/dev/shm/ombrel-bench}" ;;
    *) echo "bench: BENCH_FS is disk or shm" >&2; exit 2 ;;
esac
REPEAT="${REPEAT:-3}"
SCENARIOS="${SCENARIOS:-release many update}"
MANY_FILES="${MANY_FILES:-100000}"
MANY_FOLDERS=250
KEY=bench-key-0123456789

need() { command -v "$1" >/dev/null || { echo "bench: $1 is missing (scripts/install-deps.sh installs it)" >&2; exit 2; }; }
for tool in curl unzip bsdtar cmake ninja md5sum; do need "$tool"; done
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
echo "== work folder $WORK ($FS)"

# ---- Data ----------------------------------------------------------------------------------

generate_release() {
    echo "== generating the release in $DATA"
    rm -rf "$DATA/blobs" "$DATA/libs" "$DATA/texts"
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
    echo "== publishing Bench 1.0"
    "$SERVER" publish --store "$STORE" --project Bench --version 1.0 --replace \
        --package "blobs=$DATA/blobs" --package "libs=$DATA/libs" --package "texts=$DATA/texts" \
        >/dev/null
}

# Many small files: MANY_FILES files of 512 bytes in MANY_FOLDERS folders (version 1.0); version
# 2.0 changes every file whose number is 1 or 2 modulo 4 and drops those that are 0 modulo 4.
generate_many() {
    echo "== generating $MANY_FILES small files in $DATA/many1"
    rm -rf "$DATA/many1" "$DATA/many2"
    local per=$(( (MANY_FILES + MANY_FOLDERS - 1) / MANY_FOLDERS ))
    local left=$MANY_FILES d n
    set +o pipefail
    for d in $(seq -w 1 "$MANY_FOLDERS"); do
        [ "$left" -gt 0 ] || break
        n=$(( left < per ? left : per ))
        mkdir -p "$DATA/many1/dir$d"
        base64 -w 0 /dev/urandom | head -c $(( n * 512 )) | split -b 512 -a 4 -d - "$DATA/many1/dir$d/f"
        left=$(( left - n ))
    done
    set -o pipefail
    echo "== deriving version 2.0 in $DATA/many2"
    cp -a "$DATA/many1" "$DATA/many2"
    local f i
    for d in "$DATA"/many2/dir*; do
        for f in "$d"/f*; do
            i=$(( 10#${f##*/f} % 4 ))
            if [ "$i" -eq 0 ]; then rm -- "$f"
            elif [ "$i" -le 2 ]; then printf 'changed in 2.0\n' >> "$f"
            fi
        done
    done
    echo "== publishing Many 1.0 and 2.0"
    "$SERVER" publish --store "$STORE" --project Many --version 1.0 --replace --package "many=$DATA/many1" \
        >/dev/null
    "$SERVER" publish --store "$STORE" --project Many --version 2.0 --replace --package "many=$DATA/many2" \
        >/dev/null
    (cd "$DATA/many1" && find . -type f | sort) > "$DATA/many1.list"
    (cd "$DATA/many2" && find . -type f | sort) > "$DATA/many2.list"
    comm -23 "$DATA/many1.list" "$DATA/many2.list" > "$DATA/many-dropped.list"
}

mkdir -p "$STORE"
if [[ " $SCENARIOS " == *" release "* || " $SCENARIOS " == *" flush "* ]] &&
   [ ! -f "$STORE/.release-complete" ]; then
    generate_release
    touch "$STORE/.release-complete"
fi
if [[ " $SCENARIOS " == *" many "* || " $SCENARIOS " == *" update "* ||
      " $SCENARIOS " == *" flush "* ]] &&
   [ "$(cat "$STORE/.many-complete" 2>/dev/null)" != "$MANY_FILES" ]; then
    generate_many
    echo "$MANY_FILES" > "$STORE/.many-complete"
fi

echo "== starting ombrel-server on 127.0.0.1"
SERVER_OUT="$WORK/server.out"
"$SERVER" --store "$STORE" --host 127.0.0.1 --port 0 --quiet --api-key "$KEY" >"$SERVER_OUT" 2>&1 &
SERVER_PID=$!
trap 'kill "$SERVER_PID" 2>/dev/null || true' EXIT
for _ in $(seq 1 100); do grep -q "listening on" "$SERVER_OUT" 2>/dev/null && break; sleep 0.05; done
URL="$(sed -n 's/^listening on //p' "$SERVER_OUT")"
[ -n "$URL" ] || { echo "bench: the server did not start" >&2; cat "$SERVER_OUT" >&2; exit 1; }
echo "   $URL"

package_ids() {  # ids of the packages of a project's release
    curl -sf -H "X-API-Key: $KEY" "$URL/api/update/install/$1${2:+/$2}" |
        grep -o '"id": *[0-9]*' | grep -o '[0-9]*$' | tr '\n' ' '
}

RUNS="$WORK/runs"
export KEY URL RUNS DATA

# Runs a command under /usr/bin/time; prints "seconds kilobytes".
measure() {
    local out="$WORK/time.out"
    /usr/bin/time -f "%e %M" -o "$out" "$@" >/dev/null 2>"$WORK/last.err" || {
        echo "bench: failed: $*" >&2; cat "$WORK/last.err" >&2; exit 1; }
    tail -1 "$out"
}
# ombrel DEST CACHE ARGS...: one run of the engine with that installation folder and cache.
# A script rather than a function, so that /usr/bin/time can run it.
cat > "$WORK/ombrel" <<SCRIPT
#!/bin/sh
dest="\$1" cache="\$2"; shift 2
exec env XDG_CACHE_HOME="\$cache" "$OMBREL" --dest "\$dest" --server "$URL" --api-key "$KEY" --quiet "\$@"
SCRIPT
chmod +x "$WORK/ombrel"
ombrel() { "$WORK/ombrel" "$@"; }
PATH="$WORK:$PATH"

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
declare -A T M
timed() {  # timed NAME COMMAND...
    local name="$1" t m; shift
    sync
    read -r t m < <(measure "$@")
    T[$name]+="$t "; M[$name]+="$m "
    LAST="$t"
}
med() { echo "${T[$1]}" | tr ' ' '\n' | grep . | median; }
mem() { echo "${M[$1]}" | tr ' ' '\n' | grep . | sort -n | tail -1; }
row() { printf '%-44s %8s s %6s MiB\n' "$2" "$(med "$1")" "$(( $(mem "$1") / 1024 ))"; }
ratio() {  # ratio LABEL A B TARGET
    awk -v a="$(med "$2")" -v b="$(med "$3")" -v l="$1" -v t="$4" \
        'BEGIN { if (b > 0) printf "%-44s %6.2fx%s\n", l, a / b, t }'
}
same_files() {  # same_files A B: the installations hold the same files (manifests aside)
    if ! diff -r -x '*.ombrel' "$1" "$2" >/dev/null; then
        echo "bench: $1 differs from $2" >&2; exit 1
    fi
}

# ---- Scenario: the 300 MB release ----------------------------------------------------------

scenario_release() {
    IDS="$(package_ids Bench)"
    export IDS
    echo
    echo "== release: packages $IDS, $(du -sm "$DATA/blobs" "$DATA/libs" "$DATA/texts" |
        awk '{s += $1} END {print s}') MB of files"
    local serial='
set -e
for id in $IDS; do
    curl -sf -H "X-API-Key: $KEY" "$URL/api/package/download/$id" -o "$RUNS/s/$id.zip"
    mkdir -p "$RUNS/s/unpacked$id"
    unzip -q "$RUNS/s/$id.zip" -d "$RUNS/s/unpacked$id"
    cp -a "$RUNS/s/unpacked$id/." "$RUNS/s/dest/"
done'
    local parallel='
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
    # A virtual machine's disk slows down while it writes back what the previous contestant
    # wrote: every contestant starts after a sync, and the order turns from round to round.
    local orders=("ombrel serial parallel" "serial parallel ombrel" "parallel ombrel serial")
    local round c
    for round in $(seq 1 "$REPEAT"); do
        rm -rf "$RUNS"; mkdir -p "$RUNS/s/dest" "$RUNS/p/dest" "$RUNS/o"
        for c in ${orders[$(( (round - 1) % 3 ))]}; do
            case "$c" in
                ombrel)
                    timed r-ombrel ombrel "$RUNS/o/dest" "$RUNS/o/cache" --app Bench
                    timed r-again ombrel "$RUNS/o/dest" "$RUNS/o/cache" --app Bench ;;
                serial) timed r-serial bash -c "$serial" ;;
                parallel) timed r-parallel bash -c "$parallel" ;;
            esac
        done
        echo "   round $round: ombrel $(echo ${T[r-ombrel]} | awk '{print $NF}') s," \
             "serial $(echo ${T[r-serial]} | awk '{print $NF}') s," \
             "parallel $(echo ${T[r-parallel]} | awk '{print $NF}') s"
    done
    same_files "$RUNS/o/dest" "$RUNS/p/dest"
    rm -rf "$RUNS"
}

# ---- Scenarios: many files, update, repair, force ------------------------------------------

scenario_many() {
    ID1="$(package_ids Many 1.0 | awk '{print $1}')"
    export ID1
    echo
    echo "== many: $(wc -l < "$DATA/many1.list") files of 512 bytes in $MANY_FOLDERS folders" \
         "(package $ID1)"
    local tools='
set -e
curl -sf -H "X-API-Key: $KEY" "$URL/api/package/download/$ID1" -o "$RUNS/t/many.zip"
mkdir -p "$RUNS/t/unpacked"
bsdtar -xf "$RUNS/t/many.zip" -C "$RUNS/t/unpacked"
cp -a "$RUNS/t/unpacked/." "$RUNS/t/dest/"'
    local round
    for round in $(seq 1 "$REPEAT"); do
        rm -rf "$RUNS"; mkdir -p "$RUNS/t/dest" "$RUNS/o"
        if (( round % 2 )); then
            timed m-ombrel ombrel "$RUNS/o/dest" "$RUNS/o/cache" --app Many --version 1.0
            timed m-tools bash -c "$tools"
        else
            timed m-tools bash -c "$tools"
            timed m-ombrel ombrel "$RUNS/o/dest" "$RUNS/o/cache" --app Many --version 1.0
        fi
        echo "   round $round: ombrel $(echo ${T[m-ombrel]} | awk '{print $NF}') s," \
             "tools $(echo ${T[m-tools]} | awk '{print $NF}') s"
    done
    same_files "$RUNS/o/dest" "$RUNS/t/dest"
    rm -rf "$RUNS"
}

scenario_update() {
    ID1="$(package_ids Many 1.0 | awk '{print $1}')"
    ID2="$(package_ids Many 2.0 | awk '{print $1}')"
    export ID1 ID2
    echo
    echo "== update: 1.0 -> 2.0 keeps $(wc -l < "$DATA/many2.list") files (two thirds of them" \
         "changed) and drops $(wc -l < "$DATA/many-dropped.list"); then repair and force 1.0"
    local update='
set -e
curl -sf -H "X-API-Key: $KEY" "$URL/api/package/download/$ID2" -o "$RUNS/t/many2.zip"
mkdir -p "$RUNS/t/unpacked2"
bsdtar -xf "$RUNS/t/many2.zip" -C "$RUNS/t/unpacked2"
cp -a "$RUNS/t/unpacked2/." "$RUNS/t/dest/"
cd "$RUNS/t/dest" && xargs -d "\n" rm -f -- < "$DATA/many-dropped.list"'
    local repair='
set -e
cd "$RUNS/t/dest" && xargs -d "\n" md5sum -- < "$DATA/many2.list" > "$RUNS/t/sums"
cp -a "$RUNS/t/unpacked2/." "$RUNS/t/dest/"'
    local force='
set -e
cp -a "$RUNS/t/unpacked1/." "$RUNS/t/dest/"'
    local round
    for round in $(seq 1 "$REPEAT"); do
        rm -rf "$RUNS"; mkdir -p "$RUNS/t/dest" "$RUNS/o"
        # Both start from a 1.0 installation, made outside the measurement.
        ombrel "$RUNS/o/dest" "$RUNS/o/cache" --app Many --version 1.0 >/dev/null 2>&1
        mkdir -p "$RUNS/t/unpacked1"
        bsdtar -xf "$STORE/files/$ID1-many-1.0.zip" -C "$RUNS/t/unpacked1"
        cp -a "$RUNS/t/unpacked1/." "$RUNS/t/dest/"

        timed u-ombrel ombrel "$RUNS/o/dest" "$RUNS/o/cache" --app Many
        timed u-tools bash -c "$update"
        same_files "$RUNS/o/dest" "$RUNS/t/dest"

        # A few damaged files make the repair reinstall the package.
        for f in dir001/f0001 dir002/f0002 dir100/f0003; do
            [ -f "$RUNS/o/dest/$f" ] && echo damaged > "$RUNS/o/dest/$f"
            [ -f "$RUNS/t/dest/$f" ] && echo damaged > "$RUNS/t/dest/$f"
        done
        timed p-ombrel ombrel "$RUNS/o/dest" "$RUNS/o/cache" --app Many --repair
        timed p-tools bash -c "$repair"
        same_files "$RUNS/o/dest" "$RUNS/t/dest"

        timed f-ombrel ombrel "$RUNS/o/dest" "$RUNS/o/cache" --app Many --version 1.0
        timed f-tools bash -c "$force"
        same_files "$RUNS/o/dest" "$RUNS/t/dest"
        echo "   round $round: update $(echo ${T[u-ombrel]} | awk '{print $NF}') s" \
             "(tools $(echo ${T[u-tools]} | awk '{print $NF}') s)," \
             "repair $(echo ${T[p-ombrel]} | awk '{print $NF}') s" \
             "(tools $(echo ${T[p-tools]} | awk '{print $NF}') s)," \
             "force $(echo ${T[f-ombrel]} | awk '{print $NF}') s" \
             "(tools $(echo ${T[f-tools]} | awk '{print $NF}') s)"
    done
    rm -rf "$RUNS"
}

# ---- Scenario: the cost of flushing --------------------------------------------------------

scenario_flush() {
    need cc
    cat > "$WORK/nosync.c" <<'C'
int fsync(int fd) { (void)fd; return 0; }
int fdatasync(int fd) { (void)fd; return 0; }
int syncfs(int fd) { (void)fd; return 0; }
void sync(void) {}
C
    cc -shared -fPIC -O2 -o "$WORK/nosync.so" "$WORK/nosync.c"
    echo
    echo "== flush: ombrel with and without its flushes (fsync, fdatasync, syncfs)"
    local round
    for round in $(seq 1 "$REPEAT"); do
        for kind in synced unsynced; do
            rm -rf "$RUNS"; mkdir -p "$RUNS"
            local pre=()
            [ "$kind" = unsynced ] && pre=(env LD_PRELOAD="$WORK/nosync.so")
            timed "fr-$kind" "${pre[@]}" ombrel "$RUNS/dest" "$RUNS/cache" --app Bench
            rm -rf "$RUNS"; mkdir -p "$RUNS"
            timed "fm-$kind" "${pre[@]}" ombrel "$RUNS/dest" "$RUNS/cache" --app Many --version 1.0
        done
        echo "   round $round: release $(echo ${T[fr-synced]} | awk '{print $NF}') s" \
             "(no flushes $(echo ${T[fr-unsynced]} | awk '{print $NF}') s)," \
             "many $(echo ${T[fm-synced]} | awk '{print $NF}') s" \
             "(no flushes $(echo ${T[fm-unsynced]} | awk '{print $NF}') s)"
    done
    rm -rf "$RUNS"
}

for scenario in $SCENARIOS; do
    case "$scenario" in
        release | many | update | flush) "scenario_$scenario" ;;
        *) echo "bench: unknown scenario $scenario (release, many, update, flush)" >&2; exit 2 ;;
    esac
done

echo
echo "== results on $FS (median of $REPEAT rounds; peak memory is the largest of any one process)"
for scenario in $SCENARIOS; do
    case "$scenario" in
        release)
            row r-ombrel "ombrel install (300 MB release)"
            row r-serial "serial: curl + unzip + cp"
            row r-parallel "parallel: curl + bsdtar + cp"
            row r-again "ombrel second run (nothing to do)"
            ratio "ombrel / serial" r-ombrel r-serial ""
            ratio "ombrel / parallel" r-ombrel r-parallel \
                "   (target: at most $([ "$FS" = shm ] && echo 1.00 || echo 0.90)x)" ;;
        many)
            row m-ombrel "ombrel install ($MANY_FILES files)"
            row m-tools "curl + bsdtar + cp -a"
            ratio "ombrel / tools" m-ombrel m-tools "   (target: at most 1.50x)" ;;
        update)
            row u-ombrel "ombrel update 1.0 -> 2.0"
            row u-tools "curl + bsdtar + cp -a + rm"
            row p-ombrel "ombrel repair"
            row p-tools "md5sum + cp -a"
            row f-ombrel "ombrel force 1.0 (cached)"
            row f-tools "cp -a"
            ratio "update: ombrel / tools" u-ombrel u-tools "   (target: at most 1.50x)"
            ratio "repair: ombrel / tools" p-ombrel p-tools "   (target: at most 1.50x)"
            ratio "force: ombrel / tools" f-ombrel f-tools "   (target: at most 1.50x)" ;;
        flush)
            row fr-synced "ombrel install (300 MB release)"
            row fr-unsynced "the same without flushes"
            row fm-synced "ombrel install ($MANY_FILES files)"
            row fm-unsynced "the same without flushes"
            ratio "release: with / without flushes" fr-synced fr-unsynced ""
            ratio "many: with / without flushes" fm-synced fm-unsynced "" ;;
    esac
done
echo "peak memory target: at most 64 MiB"
