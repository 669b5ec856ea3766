#!/usr/bin/env bash
# Measures discshell on large images, each case beside baseline tools that
# move the same bytes, and writes the tables to BENCHMARKS.md.
#
#   bench/run.sh [RUNS]          (default 7 runs per case)
#   BENCH_ONLY=patch bench/run.sh [RUNS]   only the table of --patch, printed;
#                                BENCHMARKS.md is left as it is
#   BENCH_ONLY=alignment bench/run.sh [RUNS]
#                                only the copies by alignment, put in place
#                                of that section of BENCHMARKS.md
#   bench/run.sh RUNS mount      only the --mount cases: their section of
#                                BENCHMARKS.md is replaced, the rest kept
#   bench/run.sh RUNS names      only the table of names, printed, not written
#   bench/run.sh RUNS delta      only the deltas beside xdelta3 -e, printed
#
# Each table is made by a script of its own, bench/TABLE.sh [RUNS], which
# prints its section of BENCHMARKS.md and can be run alone; they share
# bench/lib.sh (the build, the images, the measuring helpers). This script
# builds the tool once, runs the tables in the order of BENCHMARKS.md, and
# writes that file: its header, every section, and bench/NOTES.md. A new
# table is a new script and one line in full_run.
#
# Images are built on the disk in $BENCH_DIR (default /tmp/discshell-bench,
# about 4 GiB) with random data, so nothing is sparse. What the cases write
# goes to the disk too ($BENCH_OUT, default $BENCH_DIR/out). The cases that
# copy an image or an entry (g, w, u, r) are measured three times: onto the
# disk, into tmpfs (/dev/shm), and, when the script runs as root and can make
# one, on XFS with reflink on a loop device, where the images are copied first
# (a clone needs both files on one file system); without one that table says
# why. Every case runs once untimed first, so the page cache is as warm for
# the tool as for its baselines, and cases that create files start each run
# from an empty directory after a sync. Reported: the fastest and the median
# of the runs, and the largest peak resident memory.
set -euo pipefail
bench=$(cd "$(dirname "$0")" && pwd)
only=${2:-${BENCH_ONLY:-}}
unset BENCH_WHOLE_RUN
# shellcheck source=bench/lib.sh
. "$bench/lib.sh"
# The tables need not build the tool again, and add to this run's peaks.
export BENCH_WHOLE_RUN=1

# table NAME: the section bench/NAME.sh prints, measured now.
table() { "$bench/$1.sh" "$runs"; }

# replace_section HEADING SECTION: SECTION in place of the section of an
# earlier full run under HEADING in BENCHMARKS.md, or at its end.
replace_section() {
  heading=$1 section=$2 awk 'BEGIN { heading = ENVIRON["heading"]; section = ENVIRON["section"] }
    index($0, heading) == 1 { print section; skipping = 1; done = 1; next }
    skipping && /^## / { skipping = 0; print "" }
    !skipping { print }
    END { if (!done) print "\n" section }' "$top/BENCHMARKS.md" >"$top/BENCHMARKS.md.new"
  mv "$top/BENCHMARKS.md.new" "$top/BENCHMARKS.md"
}

# replace_mount_section SECTION: SECTION in place of the old one, or before
# the notes, which are taken afresh from bench/NOTES.md.
replace_mount_section() {
  SECTION="$1" awk '
    /^## / { if (skipping) skipping = 0 }
    /^## Reading through --mount$/ { print ENVIRON["SECTION"]; print ""; skipping = 1; done = 1; next }
    /^## How the figures come about$/ && !done { print ENVIRON["SECTION"]; print ""; done = 1 }
    !skipping { print }
  ' "$top/BENCHMARKS.md" | sed '/^## How the figures come about$/,$d' >"$top/BENCHMARKS.md.new"
  if [ -f "$top/bench/NOTES.md" ]; then cat "$top/bench/NOTES.md" >>"$top/BENCHMARKS.md.new"; fi
  mv "$top/BENCHMARKS.md.new" "$top/BENCHMARKS.md"
}

header() {  # header OUTPUT-FS: the top of BENCHMARKS.md
  echo "# Benchmarks"
  echo
  echo "Produced by \`bench/run.sh $runs\` on $(date -u +%Y-%m-%d): $runs runs of each case after one"
  echo "warm-up run (page cache warm for the tool and its baselines alike), shown as the fastest"
  echo "and the median, and the largest peak resident memory of the runs (\`/usr/bin/time -f %M\`)."
  echo "Cases that create files start every run from an empty directory after a \`sync\`."
  echo
  echo "Machine: $(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo),"
  echo "$(free -g | awk '/Mem:/ { print $2 }') GiB memory, Linux $(uname -r). Images on"
  echo "$(stat -f -c %T "$work") in $work; outputs on $1 beside them unless a table says otherwise."
}

# Every table in the order of BENCHMARKS.md, one blank line between them.
full_run() {
  local out_fs sections=()
  mkdir -p "$out"
  out_fs=$(stat -f -c %T "$out")
  sections+=("$(table copies)")
  sections+=("$(table xfs)")
  sections+=("$(table patch)")
  sections+=("$(table delta)")
  sections+=("$(table alignment)")
  sections+=("$(table others)")
  sections+=("$(table mount)")
  sections+=("$(table names)")
  rm -rf "$out"
  {
    header "$out_fs"
    printf '\n%s\n' "${sections[@]}"
    if [ -f "$top/bench/NOTES.md" ]; then echo && cat "$top/bench/NOTES.md"; fi
  } >"$top/BENCHMARKS.md.new"
  mv "$top/BENCHMARKS.md.new" "$top/BENCHMARKS.md"
  cat "$top/BENCHMARKS.md"
}

case $only in
  "") full_run ;;
  patch | delta | names) table "$only" ;;
  alignment)
    section=$(table alignment)
    replace_section "## Copies by alignment" "$section"
    echo "$section"
    ;;
  mount)
    section=$(table mount)
    replace_mount_section "$section"
    echo "$section"
    ;;
  *)
    echo "bench/run.sh: no such table: $only (patch, delta, alignment, mount or names)" >&2
    exit 2
    ;;
esac
