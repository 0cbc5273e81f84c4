#!/usr/bin/env bash
# Checks the layout of the source tree against the include order written in the README
# ("Include order: `platform` → `messages` → ..."):
# - every quoted include of a code folder names its own folder or one before it in the order
#   (or the generated "ombrel/" headers);
# - every folder of tests/ mirrors a folder of the source tree, and every *_test.cpp directly in
#   it is named after a unit of that folder ("unit_test.cpp", "unit_<aspect>_test.cpp"), with
#   tests/tools/<tool>/ for the executable tools/<tool>/.
#
#   tests/layout_test.sh [ROOT]     checks the tree at ROOT (default: this checkout)
#   tests/layout_test.sh --self-test    checks that the check catches what it should
set -uo pipefail

# Folders of tests/ that mirror no code folder: shared helpers and the fuzz targets.
readonly TEST_ONLY_FOLDERS="support fuzz"
# Folder of the headers generated into the build tree, includable from anywhere.
readonly GENERATED_FOLDER="ombrel"

check_tree() {
  local root=$1
  local problems=0
  report() {
    echo "$1" >&2
    problems=$((problems + 1))
  }

  local order_line
  order_line=$(grep -m1 '^Include order:' "$root/README.md")
  if [ -z "$order_line" ]; then
    echo "README.md has no line starting with 'Include order:'" >&2
    return 1
  fi
  local -a order=()
  mapfile -t order < <(grep -o '`[a-z_-]*`' <<<"$order_line" | tr -d '`')
  if [ ${#order[@]} -lt 2 ]; then
    echo "the include order names fewer than two folders: $order_line" >&2
    return 1
  fi
  local -A rank=()
  local i
  for i in "${!order[@]}"; do
    local folder=${order[$i]}
    if [ -n "${rank[$folder]:-}" ]; then
      report "the include order names $folder twice"
    fi
    if [ ! -d "$root/$folder" ]; then
      report "the include order names $folder, which is no folder"
    fi
    rank[$folder]=$i
  done

  # Includes go down the order: one awk over every file of the code folders.
  local folder file ranks=""
  local -a files=()
  for folder in "${order[@]}"; do
    ranks+="$folder=${rank[$folder]} "
    [ -d "$root/$folder" ] || continue
    while IFS= read -r -d '' file; do
      files+=("$file")
    done < <(find "$root/$folder" -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.cpp' \
                                              -o -name '*.rc' \) -print0)
  done
  if [ ${#files[@]} -gt 0 ]; then
    local found
    found=$(awk -v root="$root/" -v ranks="$ranks" -v generated="$GENERATED_FOLDER" '
      BEGIN {
        n = split(ranks, pairs, " ")
        for (i = 1; i <= n; i++) { split(pairs[i], kv, "="); rank[kv[1]] = kv[2] }
      }
      /^[[:space:]]*#[[:space:]]*include[[:space:]]*"/ {
        relative = substr(FILENAME, length(root) + 1)
        split(relative, parts, "/")
        target = $0
        sub(/^[^"]*"/, "", target)
        sub(/".*$/, "", target)
        # Without a folder: a file beside the includer.
        if (index(target, "/") == 0) next
        top = substr(target, 1, index(target, "/") - 1)
        if (top == generated) next
        if (!(top in rank)) {
          printf "%s includes \"%s\": %s is not in the include order\n", relative, target, top
        } else if (rank[top] + 0 > rank[parts[1]] + 0) {
          printf "%s includes \"%s\": %s may not include from %s, which comes after it\n",
                 relative, target, parts[1], top
        }
      }' "${files[@]}")
    if [ -n "$found" ]; then
      echo "$found" >&2
      problems=$((problems + $(wc -l <<<"$found")))
    fi
  fi

  # Tests mirror the code.
  [ -d "$root/tests" ] || return $((problems > 0))
  local dir area
  for dir in "$root"/tests/*/; do
    area=$(basename "$dir")
    if [[ " $TEST_ONLY_FOLDERS " == *" $area "* ]]; then
      continue
    fi
    if [ ! -d "$root/$area" ] || [ "$area" = tests ]; then
      report "tests/$area/ mirrors no folder of the source tree"
      continue
    fi
    if [ "$area" = tools ]; then
      local tool_dir tool
      for tool_dir in "$dir"*/; do
        [ -d "$tool_dir" ] || continue
        tool=$(basename "$tool_dir")
        [ -d "$root/tools/$tool" ] || report "tests/tools/$tool/ mirrors no executable of tools/"
        while IFS= read -r -d '' file; do
          report "${file#"$root"/}: the suites of tests/tools/$tool/ lie directly in it"
        done < <(find "$tool_dir" -mindepth 2 -type f -name '*_test.cpp' -print0)
      done
      while IFS= read -r -d '' file; do
        report "${file#"$root"/}: the tests of an executable lie in tests/tools/<tool>/"
      done < <(find "$dir" -maxdepth 1 -type f -name '*_test.cpp' -print0)
      continue
    fi
    # The units of the folder: file names without extension and platform suffix.
    local -A units=()
    local unit
    while IFS= read -r -d '' file; do
      unit=$(basename "$file")
      unit=${unit%.*}
      unit=${unit%_posix}
      unit=${unit%_linux}
      unit=${unit%_windows}
      units[$unit]=1
    done < <(find "$root/$area" -maxdepth 1 -type f \( -name '*.h' -o -name '*.cpp' \) -print0)
    while IFS= read -r -d '' file; do
      local name stem found=
      name=$(basename "$file")
      stem=${name%_test.cpp}
      stem=${stem%_posix}
      stem=${stem%_linux}
      stem=${stem%_windows}
      for unit in "${!units[@]}"; do
        if [ "$stem" = "$unit" ] || [[ "$stem" == "${unit}_"* ]]; then
          found=$unit
          break
        fi
      done
      [ -n "$found" ] ||
        report "tests/$area/$name is named after no unit of $area/ (unit_test.cpp, unit_<aspect>_test.cpp)"
    done < <(find "$dir" -maxdepth 1 -type f -name '*_test.cpp' -print0)
    while IFS= read -r -d '' file; do
      report "${file#"$root"/}: the suites of $area/ lie directly in tests/$area/"
    done < <(find "$dir" -mindepth 2 -type f -name '*_test.cpp' -print0)
    unset units
  done

  [ "$problems" -eq 0 ]
}

# Small trees, each with one fault (or none), through the check.
self_test() {
  local scratch failures=0
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' RETURN
  make_tree() {
    local tree="$scratch/$1"
    mkdir -p "$tree"/{low,high,tests/low,tests/support,tools/prog,tests/tools/prog}
    echo 'Include order: `low` → `high` → `tools`' >"$tree/README.md"
    printf '#include "low/a.h"\n' >"$tree/high/b.cpp"
    printf '#include "ombrel/build_config.h"\n#include "beside.rc"\n' >"$tree/low/a.h"
    printf '#include "low/a.h"\n#include "high/b.h"\n' >"$tree/tools/prog/main.cpp"
    : >"$tree/low/a_posix.cpp"
    printf '#include "high/b.h"\n' >"$tree/tests/low/a_posix_test.cpp"
    : >"$tree/tests/low/a_aspect_test.cpp"
    : >"$tree/tests/low/fixture.h"
    : >"$tree/tests/tools/prog/end_to_end_test.cpp"
    echo "$tree"
  }
  expect() {
    local want=$1 name=$2 tree=$3 output
    output=$(check_tree "$tree" 2>&1)
    local got=$?
    if { [ "$want" = pass ] && [ $got -ne 0 ]; } || { [ "$want" = fail ] && [ $got -eq 0 ]; }; then
      echo "self-test '$name': expected the check to $want; it said: ${output:-nothing}" >&2
      failures=$((failures + 1))
    fi
  }
  local tree
  tree=$(make_tree clean)
  expect pass "a tree that keeps the order" "$tree"

  tree=$(make_tree upward)
  printf '#include "low/x.h"\n  #  include "high/b.h"\n' >"$tree/low/x.cpp"
  expect fail "an include going up" "$tree"

  tree=$(make_tree unknown)
  printf '#include "elsewhere/c.h"\n' >"$tree/high/c.cpp"
  expect fail "an include of a folder outside the order" "$tree"

  tree=$(make_tree misnamed)
  : >"$tree/tests/low/b_test.cpp"
  expect fail "a test named after no unit of its folder" "$tree"

  tree=$(make_tree prefix)
  : >"$tree/tests/low/ab_test.cpp"
  expect fail "a test whose name only begins with a unit's letters" "$tree"

  tree=$(make_tree nested)
  mkdir -p "$tree/tests/low/sub" && : >"$tree/tests/low/sub/a_test.cpp"
  expect fail "a test in a subfolder" "$tree"

  tree=$(make_tree unmirrored)
  mkdir -p "$tree/tests/gone" && : >"$tree/tests/gone/a_test.cpp"
  expect fail "a test folder that mirrors nothing" "$tree"

  tree=$(make_tree tool)
  mkdir -p "$tree/tests/tools/gone" && : >"$tree/tests/tools/gone/x_test.cpp"
  expect fail "tests of an executable that does not exist" "$tree"

  tree=$(make_tree no-order)
  echo "# no order here" >"$tree/README.md"
  expect fail "a README without the include order" "$tree"

  [ "$failures" -eq 0 ] && echo "self-test passed"
  [ "$failures" -eq 0 ]
}

if [ "${1:-}" = --self-test ]; then
  self_test
  exit
fi
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
if check_tree "$root"; then
  echo "layout of $root follows the include order"
else
  exit 1
fi
