#!/usr/bin/env bash
# Fuzzing: builds the libFuzzer targets of tests/fuzz with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) into build-fuzz/ and runs each for a bounded time, starting
# from its seed corpus in tests/fuzz/corpus/<target>/. Fails on the first crash, leak,
# sanitizer report or time-out; the input that caused it lands in build-fuzz/artifacts/.
#
#   OMBREL_FUZZ_SECONDS=60 scripts/fuzz.sh    longer runs (default 20 s each)
#   OMBREL_FUZZ_RUNS=20000 OMBREL_FUZZ_SEED=1 scripts/fuzz.sh
#                                             a repeatable run: that many inputs per target from
#                                             a fixed seed and a fresh scratch corpus (the time
#                                             limit still caps each target)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${OMBREL_FUZZ_SECONDS:-20}
runs=${OMBREL_FUZZ_RUNS:-}
seed=${OMBREL_FUZZ_SEED:-}
build_dir=build-fuzz
targets=(archive instruction server_documents progress manifest)

cmake -S . -B "$build_dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOMBREL_FUZZ=ON -DOMBREL_BUILD_TESTS=OFF \
  -DOMBREL_BUILD_GUI=OFF >/dev/null
cmake --build "$build_dir" -j "$(nproc)" --target "${targets[@]/#/fuzz_}"

mkdir -p "$build_dir/artifacts"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for target in "${targets[@]}"; do
  # New inputs go to a scratch corpus; the seeds in the repository stay as they are.
  work="$build_dir/corpus/$target"
  limits=(-max_total_time="$seconds")
  if [ -n "$runs" ]; then limits+=(-runs="$runs"); fi
  if [ -n "$seed" ]; then
    # Repeatable: what earlier runs found must not change which inputs this run tries.
    rm -rf "$work"
    limits+=(-seed="$seed")
  fi
  mkdir -p "$work"
  echo "-- fuzz_$target: ${runs:-unlimited} inputs, at most ${seconds} s${seed:+, seed $seed}"
  log="$build_dir/fuzz_$target.log"
  status=0
  "$build_dir/fuzz/fuzz_$target" "${limits[@]}" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build_dir/artifacts/$target-" \
    "$work" "tests/fuzz/corpus/$target" >"$log" 2>&1 || status=$?
  grep -E '^stat::(number_of_executed_units|peak_rss_mb)' "$log" || true
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$log" >&2
    echo "fuzz_$target failed (status $status); inputs in $build_dir/artifacts/" >&2
    exit 1
  fi
done
