#!/usr/bin/env bash
# Puts each mutation of tools/mutations.txt (or the file given) into a scratch
# copy of the sources, one at a time, rebuilds only what it touches, runs the
# tests, and counts how many mutations the tests catch. Exits 1 when a
# mutation survives, no longer applies or no longer builds: CI runs it, so
# every fault listed stays caught.
#
#   tools/mutate.sh [MUTATIONS-FILE]
#
# tools/mutations.catchers remembers, for each mutation, a test that caught
# it. That test runs first, alone: when it fails the mutation is caught
# without the rest of the suite. Otherwise the whole suite runs, and the test
# that catches it is written back to the file, so a fresh run stays quick.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
list=$(cd "$(dirname "${1:-$top/tools/mutations.txt}")" && pwd)/$(basename "${1:-mutations.txt}")
catchers="$top/tools/mutations.catchers"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$top" && git ls-files -z | xargs -0 cp --parents -t "$work")
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
# Optimised but without debug information: a mutation recompiles one file
# and relinks, and the tests run as fast as in a release build.
# Warnings are not errors here: a fault may well draw one (CI sets CI=true,
# which would otherwise make every such fault fail to build).
cmake -S "$work" -B "$work/build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS_RELEASE="-O1 -DNDEBUG" -DDISCSHELL_WERROR=OFF >/dev/null
cmake --build "$work/build" -j2 >/dev/null
# What a mutation needs rebuilt: the tool and the tests.
build() { cmake --build "$work/build" -j2 --target discshell discshell_tests >/dev/null 2>&1; }

# The tests as CI runs them, each in a process of its own (tests that weigh
# the tool's memory need that), two at a time, stopping at the first failure;
# a test that hangs for two minutes counts as a failure.
run_tests() {
  ctest --test-dir "$work/build" -j2 --stop-on-failure --timeout 120 >"$work/tests.log" 2>&1
}
# One test alone, by its whole name: true when it ran and failed (a test
# no longer there fails nothing).
test_fails() {
  ctest --test-dir "$work/build" --timeout 120 -R "^${1//./\\.}\$" >"$work/test.log" 2>&1 || true
  grep -q 'tests passed, 1 tests failed out of 1$' "$work/test.log"
}
failed_tests() { grep -E '\*\*\*|Failed|Timeout' "$work/tests.log" | head -n 5; }
first_failed() { sed -nE 's/.*Test +#[0-9]+: ([^ ]+) .*\*\*\*.*/\1/p' "$work/tests.log" | head -n 1; }
if ! run_tests; then
  echo "The tests fail without any fault put in: mend them first."
  failed_tests
  exit 1
fi

declare -A known=()
if [ -f "$catchers" ]; then
  while IFS=$'\t' read -r name test; do known[$name]=$test; done <"$catchers"
fi
found=()  # "title<TAB>test" of this run, in the list's order

caught=0 survived=0 broken=0 title="" file="" from=""
substitutions=()
run_mutation() {
  [ -n "$file" ] || return 0
  cp "$work/$file" "$work/$file.orig"
  local i applied=1 catcher=${known[$title]:-}
  for ((i = 0; i < ${#substitutions[@]}; i += 2)); do
    cp "$work/$file" "$work/$file.step"
    FROM=${substitutions[i]} TO=${substitutions[i + 1]} \
      perl -0777 -i -pe 's/\Q$ENV{FROM}\E/$ENV{TO}/' "$work/$file"
    if cmp -s "$work/$file" "$work/$file.step"; then applied=0; fi
  done
  if [ "$applied" = 0 ]; then
    echo "NOT APPLIED  $title ($file: text not found)"
    broken=$((broken + 1))
  elif ! build; then
    echo "NO BUILD     $title"
    broken=$((broken + 1))
  elif [ -n "$catcher" ] && test_fails "$catcher"; then
    echo "caught       $title"
    caught=$((caught + 1))
    found+=("$title"$'\t'"$catcher")
  elif run_tests; then
    echo "SURVIVED     $title"
    survived=$((survived + 1))
  else
    echo "caught       $title"
    caught=$((caught + 1))
    catcher=$(first_failed)
    [ -z "$catcher" ] || found+=("$title"$'\t'"$catcher")
  fi
  restore "$file"
  rm -f "$work/$file.step"
  file="" substitutions=()
}
# Puts a file back as it was, with a time stamp newer than every object
# built from the mutant: a file moved back would keep the older stamp of its
# copy, so the build would keep the mutant compiled in and every later fault
# would run beside it. The next build compiles it again.
restore() {
  mv "$work/$1.orig" "$work/$1"
  touch "$work/$1"
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
# The self-check: with every fault taken out again, the tests must pass, or
# some fault stayed in and the figures above mean nothing.
if ! build || ! run_tests; then
  echo "The tests fail once every fault is taken out again: a fault stayed compiled in."
  failed_tests
  exit 1
fi
# Only a run of the whole list says which catchers are still wanted.
if [ -z "${1:-}" ] && [ "${#found[@]}" -gt 0 ]; then
  printf '%s\n' "${found[@]}" >"$work/catchers"
  cmp -s "$work/catchers" "$catchers" 2>/dev/null || cp "$work/catchers" "$catchers"
fi
echo "caught $caught of $((caught + survived)) mutations ($broken could not be applied or built)"
[ "$survived" = 0 ] && [ "$broken" = 0 ]
