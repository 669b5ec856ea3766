#!/usr/bin/env bash
# Puts faults into a scratch copy of the sources, one at a time, rebuilds only
# what each touches, runs the tests, and counts how many faults the tests
# catch.
#
#   tools/mutate.sh [MUTATIONS-FILE] [--generate [--base COMMIT] [--seed SEED] [--count N]]
#
# A list of faults (tools/mutations.txt, the record of faults that once
# slipped through, when neither a file nor --generate is given) fails the run
# when one of its faults survives, no longer applies or no longer builds: CI
# runs it, so every fault listed stays caught.
#
# --generate puts in faults that tools/mutants.py picks itself, on the lines
# of src/ that differ from COMMIT (without --base, on all of src/), in the
# order SEED gives (default: HEAD's commit, so a rerun takes the same ones),
# until N of them (default 20) have built. A fault that does not build is
# counted apart and the next one taken in its place; the faults listed in
# tools/mutants.equivalent, which cannot change what the tool does, are left
# out. It prints the figures by room and the faults that survived, and fails
# the run when more than one in ten of the N survive. Given both, the list
# runs first, on the same scratch build.
#
# A test that caught a fault before runs first: tools/mutations.catchers
# remembers one for each listed fault, tools/mutants.catchers up to three for
# each file of src/. When they do not catch it the whole suite runs, and the
# test that catches it is written back, so a fresh run stays quick.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
generate=0 base="" seed="" count=20 list=""
while [ $# -gt 0 ]; do
  case "$1" in
    --generate) generate=1 ;;
    --base) base=${2:?--base needs a commit}; shift ;;
    --seed) seed=${2:?--seed needs a value}; shift ;;
    --count) count=${2:?--count needs a number}; shift ;;
    -*) echo "usage: tools/mutate.sh [MUTATIONS-FILE] [--generate [--base COMMIT] [--seed SEED] [--count N]]" >&2
        exit 2 ;;
    *) list=$(cd "$(dirname "$1")" && pwd)/$(basename "$1") ;;
  esac
  shift
done
[ -n "$list" ] || [ "$generate" = 1 ] || list=$top/tools/mutations.txt
work=$(mktemp -d)
# Tests that run the tool as the user nobody reach it through here.
chmod 755 "$work"
# A fault may make the tool loop for ever. ctest's timeout ends the test but
# not a tool it started (nor a --mount server, which runs on its own); and
# a test waiting in the kernel for the answer of such a server, which never
# comes, no signal reaches at all, only the server's end. So a watchdog kills
# (by process id) every process of this build that has run for longer than a
# test may, and at the end detaches whatever a server left mounted in the
# scratch copy.
end_stuck_processes() {
  local pid
  for pid in $(pgrep -f -- "^$work/build/discshell" || true); do
    [ "$(ps -o etimes= -p "$pid" 2>/dev/null || echo 0)" -le 150 ] || kill -KILL "$pid" 2>/dev/null || true
  done
}
watchdog() { while sleep 10; do end_stuck_processes; done; }
# shellcheck disable=SC2317  # run by the trap
finish() {
  kill "$watchdog_pid" 2>/dev/null || true
  awk -v scratch="$work/" 'index($2, scratch) == 1 { print $2 }' /proc/mounts 2>/dev/null |
    while read -r mount; do umount -l "$mount" 2>/dev/null || fusermount3 -uz "$mount" 2>/dev/null || true; done
  rm -rf "$work"
}
watchdog &
watchdog_pid=$!
trap finish EXIT
(cd "$top" && git ls-files -z | xargs -0 cp --parents -t "$work")
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
# Optimised but without debug information: a mutation recompiles one file
# and relinks, and the tests run as fast as in a release build.
# Warnings are not errors here: a fault may well draw one (CI sets CI=true,
# which would otherwise make every such fault fail to build).
cmake -S "$work" -B "$work/build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS_RELEASE="-O1 -DNDEBUG" -DDISCSHELL_WERROR=OFF \
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
if [ "$generate" = 1 ]; then
  seed=${seed:-$(git -C "$top" rev-parse HEAD)}
  # Only files this build compiles: a fault elsewhere could not be caught.
  python3 "$top/tools/mutants.py" ${base:+--base "$base"} --seed "$seed" \
    --compiled "$work/build" >"$work/mutants.txt"
fi
cmake --build "$work/build" -j2 >/dev/null
# What a mutation needs rebuilt: the tool and the tests.
build() { cmake --build "$work/build" -j2 --target discshell discshell_tests >/dev/null 2>&1; }

# A fault may make the tool take memory or write a file without end: each
# test gets at most 8 GiB of address space and 4 GiB a file (the tests make
# sparse images of 2 GiB), and its temporary files go into the scratch copy,
# which goes when the run ends, even those of a test killed on a timeout.
mkdir "$work/tmp"
ctest_bounded() {
  (ulimit -v 8388608 -f 4194304 && TMPDIR=$work/tmp ctest --test-dir "$work/build" "$@")
}
# The tests as CI runs them, each in a process of its own (tests that weigh
# the tool's memory need that), two at a time, stopping at the first failure;
# a test that hangs for two minutes counts as a failure.
run_tests() {
  ctest_bounded -j2 --stop-on-failure --timeout 120 >"$work/tests.log" 2>&1
}
# Some tests alone, by their whole names: true when one ran and failed (a
# test no longer there fails nothing).
tests_fail() {
  local names
  names=$(printf '%s|' "$@")
  names=${names%|}
  ctest_bounded -j2 --stop-on-failure --timeout 120 -R "^(${names//./\\.})\$" \
    >"$work/test.log" 2>&1 || true
  grep -qE ' [1-9][0-9]* tests failed out of [0-9]+$' "$work/test.log"
}
failed_tests() { grep -E '\*\*\*(Failed|Exception|Timeout)|Not Run' "$work/tests.log" | head -n 5; }
first_failed() { sed -nE 's/.*Test +#[0-9]+: ([^ ]+) .*\*\*\*.*/\1/p' "$1" | head -n 1; }
if ! run_tests; then
  echo "The tests fail without any fault put in: mend them first."
  failed_tests
  exit 1
fi

# The build as it stands with no fault put in: each fault's build is thrown
# away and this one put back, so taking a fault out rebuilds nothing (a fault
# in a header would otherwise rebuild every file twice).
cp -a "$work/build" "$work/build.clean"

# Puts a file back as it was, time stamp and all, and the build with it: the
# sources and the build are then exactly as before the fault, so the next
# build compiles only what the next fault touches.
restore() {
  mv "$work/$1.orig" "$work/$1"
  rm -rf "$work/build"
  cp -a "$work/build.clean" "$work/build"
}

# Puts the current fault in (the first place each "-" text stands in the
# file, or on the line named), judges it, takes it out again and prints one
# line for it. Catchers are known by the fault's title, or by its file for
# generated faults (`by_file`).
run_mutation() {
  [ -n "$file" ] || return 0
  cp -p "$work/$file" "$work/$file.orig"
  local i applied=1 key=$title verdict room
  [ "$by_file" = 0 ] || key=$file
  local -a catchers_known=()
  read -ra catchers_known <<<"${known[$key]:-}"
  for ((i = 0; i < ${#substitutions[@]}; i += 2)); do
    cp "$work/$file" "$work/$file.step"
    if [ -n "$line_number" ]; then
      LINE=$line_number FROM=${substitutions[i]} TO=${substitutions[i + 1]} \
        perl -i -pe 's/\Q$ENV{FROM}\E/$ENV{TO}/ if $. == $ENV{LINE}' "$work/$file"
    else
      FROM=${substitutions[i]} TO=${substitutions[i + 1]} \
        perl -0777 -i -pe 's/\Q$ENV{FROM}\E/$ENV{TO}/' "$work/$file"
    fi
    if cmp -s "$work/$file" "$work/$file.step"; then applied=0; fi
  done
  if [ "$applied" = 0 ]; then
    echo "NOT APPLIED  $title ($file: text not found)"
    verdict=broken
  elif ! build; then
    echo "NO BUILD     $title"
    verdict=broken
  elif [ "${#catchers_known[@]}" -gt 0 ] && tests_fail "${catchers_known[@]}"; then
    echo "caught       $title"
    verdict=caught
    found+=("$key"$'\t'"$(first_failed "$work/test.log")")
  elif run_tests; then
    echo "SURVIVED     $title"
    verdict=survived
    survivors+=("$title: ${substitutions[1]:-(the line removed)}")
  else
    echo "caught       $title"
    verdict=caught
    found+=("$key"$'\t'"$(first_failed "$work/tests.log")")
  fi
  room=$(cut -d/ -f2 <<<"$file")
  tally[$verdict]=$((${tally[$verdict]:-0} + 1))
  tally[$room.$verdict]=$((${tally[$room.$verdict]:-0} + 1))
  rooms[$room]=1
  restore "$file"
  rm -f "$work/$file.step"
  file="" line_number="" substitutions=()
}

# Judges the faults of a list, in its order; with a count, stops once that
# many have built. Leaves its figures in `tally` (caught, survived, broken,
# and each by ROOM.), the faults that survived in `survivors` and the
# catchers it found in `found`.
judge() {
  local list=$1 limit=${2:-}
  declare -gA tally=() rooms=() known=()
  survivors=() found=() title="" file="" line_number="" from="" substitutions=()
  if [ -f "$catchers" ]; then
    while IFS=$'\t' read -r name test; do
      known[$name]="${known[$name]:+${known[$name]} }$test"
    done <"$catchers"
  fi
  while IFS= read -r line || [ -n "$line" ]; do
    case "$line" in
      "# "*)
        run_mutation
        if [ -n "$limit" ] && [ $((${tally[caught]:-0} + ${tally[survived]:-0})) -ge "$limit" ]; then
          return
        fi
        title=${line#\# } ;;
      "@ "*)
        file=${line#@ }
        if [[ "$file" =~ ^(.*):([0-9]+)$ ]]; then
          file=${BASH_REMATCH[1]} line_number=${BASH_REMATCH[2]}
        fi ;;
      "- "*) from=${line#- } ;;
      "+ "*) substitutions+=("$from" "${line#+ }") ;;
      "+") substitutions+=("$from" "") ;;
    esac
  done <"$list"
  run_mutation
}

# The self-check: with every fault taken out again, the tests must pass, or
# some fault stayed in and the figures mean nothing.
self_check() {
  if ! build || ! run_tests; then
    echo "The tests fail once every fault is taken out again: a fault stayed compiled in."
    failed_tests
    exit 1
  fi
}

status=0
if [ -n "$list" ]; then
  catchers=$top/tools/mutations.catchers by_file=0
  judge "$list"
  self_check
  # Only a run of the whole list says which catchers are still wanted.
  if [ "$list" = "$top/tools/mutations.txt" ] && [ "${#found[@]}" -gt 0 ]; then
    printf '%s\n' "${found[@]}" >"$work/catchers"
    cmp -s "$work/catchers" "$catchers" 2>/dev/null || cp "$work/catchers" "$catchers"
  fi
  caught=${tally[caught]:-0} survived=${tally[survived]:-0} broken=${tally[broken]:-0}
  echo "caught $caught of $((caught + survived)) mutations ($broken could not be applied or built)"
  [ "$survived" = 0 ] && [ "$broken" = 0 ] || status=1
fi

if [ "$generate" = 1 ]; then
  echo "$(grep -c '^# ' "$work/mutants.txt" || true) generated faults to draw from," \
    "on ${base:+the lines that differ from $base in }src/, seeded by $seed:" \
    "the first $count that build"
  catchers=$top/tools/mutants.catchers by_file=1
  judge "$work/mutants.txt" "$count"
  self_check
  # Each file keeps up to three catchers: this run's first, then the older.
  {
    [ "${#found[@]}" = 0 ] || printf '%s\n' "${found[@]}"
    [ ! -f "$catchers" ] || cat "$catchers"
  } | awk -F'\t' '$2 != "" && !seen[$0]++ && count[$1]++ < 3' |
    sort -s -t$'\t' -k1,1 >"$work/catchers"
  cmp -s "$work/catchers" "$catchers" 2>/dev/null || cp "$work/catchers" "$catchers"
  printf '%-10s %6s %6s %8s %9s\n' room built caught survived "not built"
  for room in $(printf '%s\n' "${!rooms[@]}" | sort) all; do
    prefix=$room.
    [ "$room" != all ] || prefix=""
    c=${tally[${prefix}caught]:-0} s=${tally[${prefix}survived]:-0}
    printf '%-10s %6d %6d %8d %9d\n' "$room" $((c + s)) "$c" "$s" "${tally[${prefix}broken]:-0}"
  done
  if [ "${#survivors[@]}" -gt 0 ]; then
    echo "Survivors (a test should catch each, or tools/mutants.equivalent say why none can):"
    printf '  %s\n' "${survivors[@]}"
  fi
  caught=${tally[caught]:-0} built=$((${tally[caught]:-0} + ${tally[survived]:-0}))
  echo "caught $caught of $built generated faults that built (${tally[broken]:-0} did not build)"
  [ $((caught * 10)) -ge $((built * 9)) ] || status=1
fi
exit "$status"
