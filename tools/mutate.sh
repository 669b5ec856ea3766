#!/usr/bin/env bash
# Puts each mutation of tools/mutations.txt (or the file given) into a scratch
# copy of the sources, one at a time, rebuilds only what it touches, runs the
# test binary, and counts how many mutations the tests catch. Exits 1 when a
# mutation survives, no longer applies or no longer builds: CI runs it, so
# every fault listed stays caught.
#
#   tools/mutate.sh [MUTATIONS-FILE]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
list=$(cd "$(dirname "${1:-$top/tools/mutations.txt}")" && pwd)/$(basename "${1:-mutations.txt}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$top" && git ls-files -z | xargs -0 cp --parents -t "$work")
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
# Optimised but without debug information: a mutation recompiles one file
# and relinks, and the tests run as fast as in a release build.
cmake -S "$work" -B "$work/build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS_RELEASE="-O1 -DNDEBUG" >/dev/null
cmake --build "$work/build" -j2 >/dev/null
tests="$work/build/discshell_tests"

# The test binary in two shards at once, each stopping at its first failure;
# a shard that hangs for two minutes counts as a failure too.
run_tests() {
  local pids=() shard failed=0
  for shard in 0 1; do
    GTEST_TOTAL_SHARDS=2 GTEST_SHARD_INDEX=$shard timeout 120 "$tests" --gtest_fail_fast \
      --gtest_brief=1 >/dev/null 2>&1 &
    pids+=($!)
  done
  for shard in "${pids[@]}"; do wait "$shard" || failed=1; done
  return "$failed"
}

caught=0 survived=0 broken=0 title="" file="" from=""
substitutions=()
run_mutation() {
  [ -n "$file" ] || return 0
  cp "$work/$file" "$work/$file.orig"
  local i applied=1
  for ((i = 0; i < ${#substitutions[@]}; i += 2)); do
    cp "$work/$file" "$work/$file.step"
    FROM=${substitutions[i]} TO=${substitutions[i + 1]} \
      perl -0777 -i -pe 's/\Q$ENV{FROM}\E/$ENV{TO}/' "$work/$file"
    if cmp -s "$work/$file" "$work/$file.step"; then applied=0; fi
  done
  if [ "$applied" = 0 ]; then
    echo "NOT APPLIED  $title ($file: text not found)"
    broken=$((broken + 1))
  elif ! cmake --build "$work/build" -j2 >/dev/null 2>&1; then
    echo "NO BUILD     $title"
    broken=$((broken + 1))
  elif run_tests; then
    echo "SURVIVED     $title"
    survived=$((survived + 1))
  else
    echo "caught       $title"
    caught=$((caught + 1))
  fi
  mv "$work/$file.orig" "$work/$file"
  rm -f "$work/$file.step"
  file="" substitutions=()
}
while IFS= read -r line || [ -n "$line" ]; do
  case "$line" in
    "# "*) run_mutation; title=${line#\# } ;;
    "@ "*) file=${line#@ } ;;
    "- "*) from=${line#- } ;;
    "+ "*) substitutions+=("$from" "${line#+ }") ;;
    "+") substitutions+=("$from" "") ;;
  esac
done <"$list"
run_mutation
echo "caught $caught of $((caught + survived)) mutations ($broken could not be applied or built)"
[ "$survived" = 0 ] && [ "$broken" = 0 ]
