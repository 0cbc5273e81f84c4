#!/usr/bin/env bash
# The whole Linux suite once more, built with AddressSanitizer and UndefinedBehaviorSanitizer into
# build-sanitize/. Any report stops the program that made it and fails its test; the executables
# the tests start (ombrel, ombrel-server, ...) are built the same way.
set -euo pipefail
cd "$(dirname "$0")/../.."

OMBREL_BUILD_DIR=build-sanitize scripts/build.sh -DOMBREL_SANITIZE=ON

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
# GTK and its libraries keep memory until the process ends: leaks are not looked for there.
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/scripts/sanitize-suppressions.txt:print_suppressions=0}

scripts/with-display.sh ctest --test-dir build-sanitize --output-on-failure --timeout 900 \
  -j "$(nproc)" "$@"
