#!/usr/bin/env bash
# Measures --compare on large images beside the tools that read the same
# bytes, and puts its section into BENCHMARKS.md.
#
#   bench/compare.sh [RUNS] [MIB] [ENTRIES]   (default 7 runs, 1024 MiB, 1,000,000)
#
# Two images of MIB files of 1 MiB (1 GiB by default), the second with 100
# files changed in their last 4 KiB (so that each is read to its end), one
# renamed and one moved to new blocks behind the volume: --compare of the two
# against `cat` of both and against `cmp -s` of the first and a copy of it
# whose only other byte is its last one, so that cmp too reads both whole.
# And two images of one directory of ENTRIES empty files, the second with
# one erased and one renamed by the tool itself: --compare against t of one.
# Each case runs once untimed, then RUNS times in turn with its baseline
# (the page cache is warm for both); reported are the medians and the
# median of the pairs' ratios, and the tool's largest peak (/usr/bin/time).
# Only a run at the default sizes writes BENCHMARKS.md; smaller ones, to try
# the script, print the section.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-7}
mib=${2:-1024}
entries=${3:-1000000}
work=${BENCH_DIR:-/tmp/discshell-bench}/compare
build=${BENCH_BUILD:-$top/build-bench}  # a build of the tool to measure

if [ -z "${BENCH_BUILD:-}" ]; then
  cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$build" -j2 --target discshell discshell-mkimage >/dev/null
fi
tool="$build/discshell"
mkimage="$build/discshell-mkimage"
mkdir -p "$work"
cd "$work"

# poke32 FILE POSITION VALUE: a big-endian 32-bit field, as the volume holds it.
poke32() {
  printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($3 >> 24 & 255)) $(($3 >> 16 & 255)) \
    $(($3 >> 8 & 255)) $(($3 & 255)))" |
    dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
# record FILE NAME: where the record of the entry NAME lies (its name field
# at +32); the directory comes first in the image.
record() { echo $(($(grep -obUaP -m 1 "$2\\x00" "$1" | head -n 1 | cut -d: -f1) - 32)); }

# many's layout: 28 records a block of 2,048 bytes from block 1, data behind.
data_block=$((1 + (mib + 27) / 28))
if [ ! -f "old-$mib.iso" ]; then
  "$mkimage" many "old-$mib.iso" "$mib" 1048576
  dd if=/dev/urandom of="old-$mib.iso" bs=1M count="$mib" seek=$((data_block * 2048)) \
    oflag=seek_bytes conv=notrunc status=none
fi
if [ ! -f "new-$mib.iso" ]; then
  cp "old-$mib.iso" "new-$mib.iso"
  step=$((mib / 100 > 0 ? mib / 100 : 1))
  for i in $(seq 0 "$step" $(((100 - 1) * step))); do
    [ "$i" -lt "$mib" ] || break
    dd if=/dev/urandom of="new-$mib.iso" bs=4096 count=1 \
      seek=$(((data_block + i * 512 + 512) * 2048 - 4096)) oflag=seek_bytes conv=notrunc status=none
  done
  renamed=$((mib - 1)) moved=$((mib / 2 + 1))
  printf 'renamed%s\0' "$renamed" |
    dd of="new-$mib.iso" bs=1 seek=$(($(record "new-$mib.iso" "file$renamed") + 32)) conv=notrunc status=none
  # The moved file's bytes go behind the volume, and the header grows.
  end=$((data_block + mib * 512))
  dd if="old-$mib.iso" of="new-$mib.iso" bs=1M count=1 skip=$(((data_block + moved * 512) * 2048)) \
    seek=$((end * 2048)) iflag=skip_bytes oflag=seek_bytes conv=notrunc status=none
  poke32 "new-$mib.iso" $(($(record "new-$mib.iso" "file$moved") + 68)) "$end"
  poke32 "new-$mib.iso" 80 $((end + 512))
fi
# The first image with its last byte changed: cmp reads both to the end.
if [ ! -f "last-$mib.iso" ]; then
  cp "old-$mib.iso" "last-$mib.iso"
  printf '\377' | dd of="last-$mib.iso" bs=1 seek=$(($(stat -c %s "old-$mib.iso") - 1)) \
    conv=notrunc status=none
  cmp -s "old-$mib.iso" "last-$mib.iso" && { echo "last-$mib.iso is old-$mib.iso" >&2; exit 1; }
fi
if [ ! -f "flat-$entries.iso" ]; then
  "$mkimage" flat "flat-$entries.iso" "$entries"
  "$tool" -c 'e file500' -c "n file$((entries / 2)) renamed" -o "flat-$entries-new.iso" -c w \
    "flat-$entries.iso" >/dev/null
fi

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
ms() { awk -v us="$1" 'BEGIN { printf "%.1f", us / 1000 }'; }
median() { printf '%s\n' "$@" | sort -g | sed -n "$((($# + 1) / 2))p"; }
verdict() { awk -v v="$1" -v l="$2" 'BEGIN { print (v <= l ? "met" : "missed") }'; }

# paired "COMMAND" "BASELINE": both by sh -c, once untimed, then $runs times
# in turn; prints the medians of each (microseconds), the median of the
# pairs' ratios and the command's largest peak (KiB).
paired() {
  local times=() bases=() ratios=() peak=0 start middle end kib
  sh -c "$1" >/dev/null 2>&1 || true
  sh -c "$2" >/dev/null 2>&1 || true
  for _ in $(seq "$runs"); do
    start=$(date +%s%N)
    kib=$( (/usr/bin/time -f %M sh -c "exec $1" >/dev/null || true) 2>&1 | tail -n 1)
    middle=$(date +%s%N)
    sh -c "$2" >/dev/null 2>&1 || true
    end=$(date +%s%N)
    times+=($(((middle - start) / 1000)))
    bases+=($(((end - middle) / 1000)))
    ratios+=("$(ratio $((middle - start)) $((end - middle)))")
    if [ "$kib" -gt "$peak" ]; then peak=$kib; fi
  done
  echo "$(median "${times[@]}") $(median "${bases[@]}") $(median "${ratios[@]}") $peak"
}

rows=()
row() {  # row CASE "COMMAND" BASELINE "BASELINE-COMMAND" RATIO-LIMIT [PEAK-LIMIT-KIB]
  local t b r peak target
  read -r t b r peak < <(paired "$2" "$4")
  target="≤ $5: $(verdict "$r" "$5")"
  if [ -n "${6:-}" ]; then target+=", peak under $6 KiB: $(verdict "$peak" $(($6 - 1)))"; fi
  rows+=("| $1 | $(ms "$t") | $peak | $3 | $(ms "$b") | $r | $target |")
}
compare="'$tool' --compare new-$mib.iso old-$mib.iso"
lines=$(sh -c "$compare" | tail -n 1 || true)
row "--compare of two images of $mib files of 1 MiB: 100 changed, 1 renamed, 1 moved" "$compare" \
  "cat of both images" "cat new-$mib.iso old-$mib.iso" 1.2
row "the same" "$compare" "cmp -s of old-$mib.iso and a copy differing in its last byte" \
  "cmp -s old-$mib.iso last-$mib.iso" 1.5
row "--layout --compare of the same" "'$tool' --layout --compare new-$mib.iso old-$mib.iso" \
  "cat of both images" "cat new-$mib.iso old-$mib.iso" 1.2
flat_lines=$(sh -c "'$tool' --compare flat-$entries-new.iso flat-$entries.iso" | tail -n 1 || true)
row "--compare of two directories of $entries empty files, 1 erased and 1 renamed by n" \
  "'$tool' --compare flat-$entries-new.iso flat-$entries.iso" "t of one of them" \
  "'$tool' -c t flat-$entries.iso" 3 16384

section=$(
  echo "## Comparing two images: --compare"
  echo
  echo "Produced by \`bench/compare.sh $runs $mib $entries\` on $(date -u +%Y-%m-%d), $(nproc) cores,"
  echo "load $(cut -d ' ' -f 1-3 /proc/loadavg) (1, 5, 15 minutes). Each case once untimed, then $runs"
  echo "times in turn with its baseline; medians, and the median of the pairs' ratios."
  echo "cmp reads both images whole: its second image is the first with its last byte changed."
  echo "The tool's last lines: \`$lines\` and \`$flat_lines\`."
  echo
  echo "| case | tool median (ms) | tool peak (KiB) | baseline | baseline median (ms) | ratio: median of pairs | target |"
  echo "|---|---:|---:|---|---:|---:|---|"
  printf '%s\n' "${rows[@]}"
)
if [ "$mib" = 1024 ] && [ "$entries" = 1000000 ]; then
  # In place of its old self, or before the notes at the end.
  SECTION="$section" awk '
    /^## / { if (skipping) skipping = 0 }
    /^## Comparing two images: --compare$/ { print ENVIRON["SECTION"]; print ""; skipping = 1; done = 1; next }
    /^## How the figures come about$/ && !done { print ENVIRON["SECTION"]; print ""; done = 1 }
    !skipping { print }
  ' "$top/BENCHMARKS.md" >"$top/BENCHMARKS.md.new"
  mv "$top/BENCHMARKS.md.new" "$top/BENCHMARKS.md"
fi
echo "$section"
