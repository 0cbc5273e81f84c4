#!/usr/bin/env bash
# Crash sweep and error injection against the real ombrel executable.
#
# A release of three packages is published with ombrel-server and served on 127.0.0.1. For an
# installation, and then for an update to a second release (one package changed, one new, one
# gone, obsolete files in a subfolder), a reference run records every file-changing system call
# that touches the installation folder or the package cache. Then, at points sampled evenly from
# the calls of each kind:
#   - the run is killed just before that call (strace inject signal=KILL), some reruns are killed
#     a second time, and a normal run must then leave the installation folder, the manifest and
#     the package cache exactly as the reference run did, with nothing else in them;
#   - the call fails instead (ENOSPC, EIO, EACCES in turn): the run must end with exit status 1
#     and an error line (or, where the failure does not matter, with the reference state), and a
#     normal run must then leave exactly the reference state.
# Any other outcome fails the stage. CRASH_SAMPLES (default 4) sets the points per call kind.
set -euo pipefail
cd "$(dirname "$0")/../.."

# OMBREL_BIN names a folder with ombrel and ombrel-server already built (nothing is built then).
if [ -z "${OMBREL_BIN:-}" ]; then scripts/build.sh >/dev/null; fi

SAMPLES=${CRASH_SAMPLES:-4}
BIN=${OMBREL_BIN:-$PWD/build/bin}
W=$(mktemp -d /tmp/ombrel-crash.XXXXXX)
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$W"
}
trap cleanup EXIT

# System calls that change files or folders.
CALLS=(openat write rename renameat renameat2 unlink unlinkat mkdir mkdirat rmdir fsync fdatasync
       syncfs copy_file_range fchmod utimensat ftruncate)
CALL_LIST=$(IFS=,; echo "${CALLS[*]}")

# --- the releases ------------------------------------------------------------------------------
mkfile() { mkdir -p "$(dirname "$1")"; printf '%s' "$2" > "$1"; }
for i in 1 2 3 4 5 6; do mkfile "$W/src/demo1/doc/page$i.txt" "page $i of 1.0"; done
mkfile "$W/src/demo1/Demo.exe" "demo 1.0"
mkfile "$W/src/demo1/readme.txt" "read me"
mkfile "$W/src/demo1/sub/deep/c.txt" "c 1.0"
head -c 300000 /dev/urandom > "$W/src/demo1/data.bin"
mkfile "$W/src/lib1/lib/core.so" "core 1.0"
mkfile "$W/src/lib1/lib/more.so" "more 1.0"
mkfile "$W/src/extra1/extra/extra.dat" "extra"
cp -a "$W/src/demo1" "$W/src/demo2"
mkfile "$W/src/demo2/Demo.exe" "demo 2.0"
rm "$W/src/demo2/readme.txt" "$W/src/demo2/doc/page6.txt"
mkfile "$W/src/demo2/sub/deep/c.txt" "c 2.0"
mkfile "$W/src/new2/new/new.txt" "new in 2.0"

publish() {
  "$BIN/ombrel-server" publish --store "$W/store" --project Demo --version "$1" "${@:2}" >/dev/null
}
publish 1.0 --package Demo="$W/src/demo1" --package Lib="$W/src/lib1" --package Extra="$W/src/extra1"

"$BIN/ombrel-server" --store "$W/store" --host 127.0.0.1 --port 0 --quiet > "$W/server.out" &
server_pid=$!
for _ in $(seq 100); do grep -q '^listening on ' "$W/server.out" 2>/dev/null && break; sleep 0.1; done
URL=$(sed -n 's/^listening on //p' "$W/server.out")
[ -n "$URL" ] || { echo "ombrel-server did not start" >&2; exit 1; }
HOSTPORT=${URL#*://}

# --- runs and states ---------------------------------------------------------------------------
# run DIR [strace options...]: runs ombrel into DIR/dest with the cache DIR/cache; answers its
# exit status (137 when killed) and keeps its standard error in DIR/err.
run() {
  local dir=$1; shift
  local cmd=("$BIN/ombrel" --server "$URL" --dest "$dir/dest" --app Demo)
  if [ $# -gt 0 ]; then cmd=(strace -f -qq -o /dev/null "$@" "${cmd[@]}"); fi
  local status=0
  XDG_CACHE_HOME="$dir/cache" ASAN_OPTIONS=detect_leaks=0 "${cmd[@]}" 2> "$dir/err" || status=$?
  return $status
}

# state DIR: every entry of the installation folder and the cache, with type, mode and content.
state() {
  local root
  for root in "$1/dest" "$1/cache"; do
    echo "== ${root#$1/}"
    (cd "$root" && find . -printf '%y %m %p\n' | LC_ALL=C sort | while read -r type mode path; do
      if [ "$type" != f ]; then
        echo "$type $mode $path"
      elif [ "${path##*/}" = .ombrel-unpacked ]; then
        # A completion marker names its archive's modification time, which is each run's own.
        echo "$type $mode $path $(grep -av '^archive ' "$path" | md5sum | cut -c1-32)"
      else
        echo "$type $mode $path $(md5sum < "$path" | cut -c1-32)"
      fi
    done)
  done
}

# points KIND: from the reference trace, the ordinals (among all calls of that kind made by the
# engine's process) of the calls that touch the work folder, sampled evenly.
points() {
  awk -v kind="$1" -v work="$W/" -v samples="$SAMPLES" '
    NR == 1 { main = $1 }
    $1 != main { next }
    /resumed>/ { next }
    {
      call = $2; sub(/\(.*/, "", call)
      if (call != kind) next
      n++
      if (index($0, work) > 0) hits[++h] = n
    }
    END {
      if (h == 0) exit
      if (h <= samples) { for (i = 1; i <= h; i++) print hits[i]; exit }
      last = 0
      for (i = 0; i < samples; i++) {
        k = 1 + int(i * (h - 1) / (samples - 1))
        if (k != last) print hits[k]
        last = k
      }
    }' "$W/trace"
}

# prepare DIR SCENARIO: a fresh folder for a run of the scenario (an update starts from the
# installation that the install reference made).
prepare() {
  rm -rf "$1"; mkdir -p "$1"
  if [ "$2" = update ]; then cp -a "$W/install-ref/dest" "$W/install-ref/cache" "$1/"; fi
}

kills=0 kills_ok=0 twice=0 errors=0 errors_clean=0 errors_ok=0
failures=()
errnos=(ENOSPC EIO EACCES)

sweep() {
  local scenario=$1 ref="$W/$1-ref"
  prepare "$ref" "$scenario"
  if ! strace -f -qq -y -e trace="$CALL_LIST" -o "$W/trace" env XDG_CACHE_HOME="$ref/cache" \
      "$BIN/ombrel" --server "$URL" --dest "$ref/dest" --app Demo 2> "$ref/err"; then
    echo "reference $scenario run failed:" >&2; cat "$ref/err" >&2; exit 1
  fi
  state "$ref" > "$ref.state"

  local kind point n=0 status
  for kind in "${CALLS[@]}"; do
    for point in $(points "$kind"); do
      n=$((n + 1))
      local dir="$W/$scenario-run"
      # Killed just before the call; every third rerun is killed again halfway.
      prepare "$dir" "$scenario"
      run "$dir" -e trace="$kind" -e inject="$kind:signal=KILL:when=$point" || true
      kills=$((kills + 1))
      if [ $((n % 3)) -eq 0 ]; then
        run "$dir" -e trace="$kind" -e inject="$kind:signal=KILL:when=$(( (point + 1) / 2 ))" || true
        twice=$((twice + 1))
      fi
      if run "$dir" && state "$dir" | cmp -s - "$ref.state"; then
        kills_ok=$((kills_ok + 1))
      else
        failures+=("$scenario: kill before $kind #$point")
        state "$dir" | diff "$ref.state" - | head -20 >&2 || true
        tail -5 "$dir/err" >&2
      fi

      # The same call fails instead.
      local errno=${errnos[$((n % 3))]}
      prepare "$dir" "$scenario"
      status=0
      run "$dir" -e trace="$kind" -e inject="$kind:error=$errno:when=$point" || status=$?
      errors=$((errors + 1))
      if { [ $status -eq 1 ] && grep -q '^error: ' "$dir/err"; } ||
         { [ $status -eq 0 ] && state "$dir" | cmp -s - "$ref.state"; }; then
        errors_clean=$((errors_clean + 1))
      else
        failures+=("$scenario: $errno at $kind #$point: exit $status without a clean error")
        tail -5 "$dir/err" >&2
      fi
      if run "$dir" && state "$dir" | cmp -s - "$ref.state"; then
        errors_ok=$((errors_ok + 1))
      else
        failures+=("$scenario: $errno at $kind #$point: the next run is not fully correct")
        state "$dir" | diff "$ref.state" - | head -20 >&2 || true
        tail -5 "$dir/err" >&2
      fi
    done
  done
  echo "$scenario: $n points"
}

start=$(date +%s)
sweep install
publish 2.0 --package Demo="$W/src/demo2" --package Lib="$W/src/lib1" --package New="$W/src/new2"
sweep update

echo "kills: $kills (of them $twice killed twice), fully correct after the next run: $kills_ok"
echo "errors injected: $errors, clean error: $errors_clean, fully correct after the next run: $errors_ok"
echo "in $(( $(date +%s) - start )) s"
if [ ${#failures[@]} -gt 0 ]; then
  printf 'FAILED: %s\n' "${failures[@]}" >&2
  exit 1
fi
