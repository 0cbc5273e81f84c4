#!/usr/bin/env bash
# Publishes the releases that tests/tools/ombrel/ombrel_windows_test.cpp installs into a fresh
# store: 1.0 with Demo (Demo.exe, readme.txt, sub/b.txt), Lib (lib/core.dll) and Extra
# (extra.dat); 1.1 with Demo changed and without readme.txt, Lib unchanged, Extra gone; and 1.0
# on the beta channel with another Lib.
#   windows_store.sh OMBREL_SERVER STORE
set -euo pipefail
server=$1
store=$2
rm -rf "$store" "$store.files"
files="$store.files"
mkdir -p "$files/demo1/sub" "$files/lib1/lib" "$files/extra1" "$files/demo11/sub" \
  "$files/libbeta/lib"
printf 'demo 1.0' >"$files/demo1/Demo.exe"
printf 'read me' >"$files/demo1/readme.txt"
printf 'b' >"$files/demo1/sub/b.txt"
printf 'core 1.0' >"$files/lib1/lib/core.dll"
printf 'extra' >"$files/extra1/extra.dat"
printf 'core beta' >"$files/libbeta/lib/core.dll"
printf 'demo 1.1' >"$files/demo11/Demo.exe"
printf 'b' >"$files/demo11/sub/b.txt"
"$server" publish --store "$store" --project Demo --version 1.0 --channel stable \
  --package "Demo=$files/demo1" --package "Lib=$files/lib1" --package "Extra=$files/extra1" \
  >/dev/null
"$server" publish --store "$store" --project Demo --version 1.1 --channel stable \
  --package "Demo=$files/demo11" --package "Lib=$files/lib1" >/dev/null
"$server" publish --store "$store" --project Demo --version 1.0 --channel beta \
  --package "Demo=$files/demo1" --package "Lib=$files/libbeta" --package "Extra=$files/extra1" \
  >/dev/null
