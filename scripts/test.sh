#!/usr/bin/env bash
# Installs what is needed, builds everything and runs every test stage; fails when a test fails.
#
# The stages are the scripts in scripts/test-stages/, run in the order of their names; a stage is
# named by its file name without the number and ".sh" (10-linux.sh is "linux").
#
#   scripts/test.sh                 every stage
#   scripts/test.sh -R Progress     only the Linux suites, the arguments going to ctest
#   OMBREL_TEST_STAGES="linux windows" scripts/test.sh    the stages named
set -euo pipefail
cd "$(dirname "$0")/.."

# Compiler cache hits across checkouts in other folders (a fresh clone reuses what another built).
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$(pwd)}"
export CCACHE_NOHASHDIR="${CCACHE_NOHASHDIR:-1}"

scripts/install-deps.sh

wanted=${OMBREL_TEST_STAGES:-}
if [ -z "$wanted" ]; then
  if [ $# -gt 0 ]; then wanted=linux; else wanted=all; fi
fi

ran=0
for stage_file in scripts/test-stages/*.sh; do
  stage=$(basename "$stage_file" .sh)
  stage=${stage#*-}
  if [ "$wanted" != all ] && [[ " $wanted " != *" $stage "* ]]; then
    continue
  fi
  echo "== stage $stage"
  start=$(date +%s)
  if [ "$stage" = linux ]; then
    "$stage_file" "$@"
  else
    "$stage_file"
  fi
  echo "== stage $stage passed in $(( $(date +%s) - start )) s"
  ran=$((ran + 1))
done
if [ "$ran" -eq 0 ]; then
  echo "no test stage matches '$wanted'" >&2
  exit 2
fi
