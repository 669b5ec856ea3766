#!/usr/bin/env bash
# Measures f and o beside the tools a user would take for the same job on an
# extracted tree, and prints their table for BENCHMARKS.md:
#
#   bench/search.sh [RUNS]       (default 7 runs per case; o takes 10 times as many)
#
# f searches a 1 GiB image of 100 files of 10 MiB of random data for a
# 12-byte text planted once in each file (ten of them across a 1 MiB
# boundary, where the tool's reads meet), beside grep -r -c -F over x's
# extraction of the same tree and cat of the image to /dev/null, the page
# cache warm for all three (each runs once untimed first). o shows 4 KiB of
# one file, beside xxd -s OFFSET -l 4096 of the extracted file, each a new
# process every run. The cases run in turn, round after round, so that each
# meets the same load; reported are the fastest and the median of the runs
# and the tool's largest peak resident memory. The image and the extraction
# are made in $BENCH_DIR (default /tmp/discshell-bench, about 2 GiB).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-7}
work=${BENCH_DIR:-/tmp/discshell-bench}
build="$top/build-bench"

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 --target discshell discshell-mkimage >/dev/null
tool="$build/discshell"
mkdir -p "$work"
cd "$work"

text='Press START!'
# Built under another name and renamed when whole, so that a run broken off
# leaves no half-filled image for the next one to take.
if [ ! -f search.iso ]; then
  rm -rf search-tree
  "$build/discshell-mkimage" many search.part 100 10485760
  first=$("$tool" -c t search.part | awk -F '\t' 'NR == 1 { print $3 }')
  dd if=/dev/urandom of=search.part bs=1M count=1000 seek=$((first * 2048)) oflag=seek_bytes \
    conv=notrunc status=none
  "$tool" -c t search.part | while IFS=$'\t' read -r _ _ block _; do
    i=$(((block - first) / 5120))
    if [ $((i % 10)) -eq 0 ]; then
      at=$(((i / 10 % 9 + 1) * 1048576 - 5))  # 5 bytes in one read, 7 in the next
    else
      at=$(((i * 7919 * 1021) % (10485760 - 12)))
    fi
    printf '%s' "$text" | dd of=search.part bs=1 seek=$((block * 2048 + at)) conv=notrunc status=none
  done
  mv search.part search.iso
fi
if [ ! -d search-tree ]; then
  mkdir search-tree.part
  (cd search-tree.part && "$tool" -c x ../search.iso >/dev/null)
  mv search-tree.part search-tree
fi
found=$("$tool" -c "f $text" search.iso | tail -n 1)
[ "$found" = "100 matches in 100 files." ] || { echo "f found: $found" >&2; exit 1; }
lines=$(grep -r -c -F "$text" search-tree | awk -F: '{ n += $NF } END { print n }')
[ "$lines" = 100 ] || { echo "grep found $lines" >&2; exit 1; }
# o's stretch: 4 KiB from 100 bytes before the text in file42.
view=$("$tool" -c "f $text" search.iso | awk '$1 == "file42:" { print $3 - 100 }')
"$tool" -c "o file42 $view 4096" search.iso | cmp -s - <(xxd -s "$view" -l 4096 search-tree/file42) ||
  { echo "o and xxd differ" >&2; exit 1; }

# rounds N COMMAND...: runs each COMMAND (a string) once untimed, then all of
# them in turn N times; prints "fastest median peak-KiB cpu-median" for each,
# a line each, the times in microseconds. The processor time (user and
# system, in steps of 10 ms) moves less with the machine's load than the
# clock does.
rounds() {
  local n=$1 i c start end kib cpu
  shift
  local -a times peaks cpus
  for c in "$@"; do eval "$c" >/dev/null; done
  for i in $(seq "$n"); do
    for c in $(seq 0 $(($# - 1))); do
      local command=${*:$((c + 1)):1}
      start=$(date +%s%N)
      read -r kib cpu < <(eval "/usr/bin/time -f '%M %U %S' $command" 2>&1 >/dev/null | tail -n 1 |
        awk '{ printf "%d %d\n", $1, ($2 + $3) * 1000000 }')
      end=$(date +%s%N)
      times[c]+="$(((end - start) / 1000)) "
      cpus[c]+="$cpu "
      if [ "$kib" -gt "${peaks[$c]:-0}" ]; then peaks[c]=$kib; fi
    done
  done
  for c in $(seq 0 $(($# - 1))); do
    local sorted
    sorted=$(printf '%s\n' ${times[$c]} | sort -n)
    echo "$(head -n 1 <<<"$sorted") $(sed -n "$(((n + 1) / 2))p" <<<"$sorted") ${peaks[$c]}" \
      "$(printf '%s\n' ${cpus[$c]} | sort -n | sed -n "$(((n + 1) / 2))p")"
  done
}
ms() { awk -v us="$1" 'BEGIN { printf "%.1f", us / 1000 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
verdict() { awk -v v="$1" -v l="$2" 'BEGIN { print (v <= l ? "met" : "missed") }'; }

{
  read -r f fm fpeak fcpu
  read -r g gm _ gcpu
  read -r c cm _ ccpu
} < <(rounds "$runs" "'$tool' -c 'f $text' search.iso" "grep -r -c -F '$text' search-tree" \
  "cat search.iso")
{
  read -r o om opeak _
  read -r x xm _ _
} < <(rounds $((runs * 10)) "'$tool' -c 'o file42 $view 4096' search.iso" \
  "xxd -s $view -l 4096 search-tree/file42")

# The routines f could use and the sizes of its reads, measured apart.
c++ -O3 -std=c++20 -I"$top/src" "$top/bench/search_routines.cc" "$build/libdiscshell_core.a" \
  -o "$build/search_routines"
routines=$("$build/search_routines" 256 search.iso)

echo "## Looking inside files: f and o"
echo
echo "Produced by \`bench/search.sh $runs\` on $(date -u +%Y-%m-%d), $(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)."
echo
echo "| case | tool fastest / median (ms) | baseline | baseline fastest / median (ms) | ratio: fastest / median | target | tool peak (KiB) |"
echo "|---|---:|---|---:|---:|---|---:|"
echo "| f of a 12-byte text, 100 matches in 100 files of 10 MiB (1 GiB image) | $(ms "$f") / $(ms "$fm") | grep -r -c -F over x's extraction | $(ms "$g") / $(ms "$gm") | $(ratio "$f" "$g") / $(ratio "$fm" "$gm") | ≤ 1.2: $(verdict "$(ratio "$fm" "$gm")" 1.2) | $fpeak |"
echo "| | | cat of the image to /dev/null | $(ms "$c") / $(ms "$cm") | $(ratio "$f" "$c") / $(ratio "$fm" "$cm") | ≤ 1.5: $(verdict "$(ratio "$fm" "$cm")" 1.5) | |"
echo "| o of 4 KiB from a 10 MiB file, a new process each time | $(ms "$o") / $(ms "$om") | xxd -s OFFSET -l 4096 of the extracted file | $(ms "$x") / $(ms "$xm") | $(ratio "$o" "$x") / $(ratio "$om" "$xm") | ≤ 1.0: $(verdict "$(ratio "$om" "$xm")" 1.0) | $opeak |"
echo
echo "Peak of f under 8 MiB (8192 KiB): $(verdict "$fpeak" 8191). $runs runs of f and its baselines, $((runs * 10)) of o and xxd, in turn after one untimed run of each; verdicts on the medians."
echo "Median processor time (user and system): f $(ms "$fcpu") ms, grep $(ms "$gcpu") ms ($(ratio "$fcpu" "$gcpu")), cat $(ms "$ccpu") ms ($(ratio "$fcpu" "$ccpu"))."
echo
echo "The search routines on the same bytes (\`bench/search_routines.cc\`, the fastest of 5 runs; f's reads overlap by the text's length less one byte, so a match across two is found):"
echo
echo '```'
echo "$routines"
echo '```'
