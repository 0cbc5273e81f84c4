#!/usr/bin/env bash
# Every fuzz target of tests/fuzz, built with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, run for a fixed number of inputs from a fixed seed (so a CI run is
# repeatable), each capped in time. Fails on the first crash, leak or sanitizer report.
set -euo pipefail
cd "$(dirname "$0")/../.."
export OMBREL_FUZZ_SEED=${OMBREL_FUZZ_SEED:-1}
export OMBREL_FUZZ_RUNS=${OMBREL_FUZZ_RUNS:-20000}
export OMBREL_FUZZ_SECONDS=${OMBREL_FUZZ_SECONDS:-60}
scripts/fuzz.sh
