#!/usr/bin/env bash
# Measures discshell on large images, each case beside a baseline tool that
# moves the same bytes, and writes the table to BENCHMARKS.md.
#
#   bench/run.sh [RUNS]          (default 5 runs per case; the median is shown)
#
# Images are built in $BENCH_DIR (default /tmp/discshell-bench, about 1.6 GiB)
# with random data, so nothing is sparse. Every case runs once untimed first,
# so the page cache is as warm for the tool as for its baseline.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-5}
work=${BENCH_DIR:-/tmp/discshell-bench}
build="$top/build-bench"

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 >/dev/null
tool="$build/discshell"
mkimage="$build/discshell-mkimage"
mkdir -p "$work"
cd "$work"

fill() {  # fill FILE FROM-BYTE MIB: random data over a stretch of the file
  dd if=/dev/urandom of="$1" bs=1M count="$3" seek="$2" oflag=seek_bytes conv=notrunc status=none
}
[ -f patch.iso ] || { "$mkimage" one-entry patch.iso 1024 && fill patch.iso 32768 1024; }
[ -f extract.iso ] || { "$mkimage" one-entry extract.iso 256 && fill extract.iso 32768 256; }
[ -f many.iso ] || "$mkimage" many many.iso 5000 4096
[ -f wide.iso ] || "$mkimage" wide wide.iso 100000
rm -rf w g a l base && mkdir -p w g a l base
head -c $((1 << 20)) /dev/urandom > w/payload.bin  # the replacement w writes in
printf 'w payload.bin\nq\n' > w.script
printf 'g payload.bin\nq\n' > g.script
printf 'a\nq\n' > a.script
printf 'l\nq\n' > l.script

# measure DIR STDIN COMMAND...: runs it in DIR with STDIN $runs times after a
# warm-up; prints "median-microseconds peak-KiB" (the peak of all runs).
measure() {
  local dir=$1 input=$2; shift 2
  local times=() peak=0 start end kib
  (cd "$dir" && "$@" <"$input" >/dev/null)
  for _ in $(seq "$runs"); do
    start=$(date +%s%N)
    kib=$(cd "$dir" && /usr/bin/time -f "%M" "$@" <"$input" 2>&1 >/dev/null | tail -n 1)
    end=$(date +%s%N)
    times+=("$(((end - start) / 1000))")
    if [ "$kib" -gt "$peak" ]; then peak=$kib; fi
  done
  printf '%s %s\n' "$(printf '%s\n' "${times[@]}" | sort -n | sed -n "$(((runs + 1) / 2))p")" "$peak"
}

read -r w_t w_m < <(measure w "$work/w.script" "$tool" "$work/patch.iso")
read -r cp_t cp_m < <(measure base /dev/null cp "$work/patch.iso" copy.iso)
read -r g_t g_m < <(measure g "$work/g.script" "$tool" "$work/extract.iso")
read -r dd_t dd_m < <(measure base /dev/null dd if="$work/extract.iso" of=dd.bin bs=1M \
  skip=32768 count=$((256 << 20)) iflag=skip_bytes,count_bytes status=none)
read -r big_t big_m < <(measure g "$work/g.script" "$tool" "$work/patch.iso")
read -r a_t a_m < <(measure a "$work/a.script" "$tool" "$work/many.iso")
read -r l_t l_m < <(measure l "$work/l.script" "$tool" "$work/wide.iso")
read -r cat_t cat_m < <(measure base /dev/null cat "$work/wide.iso")
rm -rf w g a l base

ms() { awk -v us="$1" 'BEGIN { printf "%.1f", us / 1000 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
verdict() {  # verdict VALUE LIMIT
  awk -v v="$1" -v l="$2" 'BEGIN { print (v <= l ? "met" : "missed") }'
}

{
  echo "# Benchmarks"
  echo
  echo "Produced by \`bench/run.sh $runs\` on $(date -u +%Y-%m-%d): median wall time of $runs runs"
  echo "after one warm-up run (page cache warm for the tool and its baseline alike), and the"
  echo "largest peak resident memory of those runs (\`/usr/bin/time -f %M\`)."
  echo
  echo "Machine: $(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo),"
  echo "$(free -g | awk '/Mem:/ { print $2 }') GiB memory, Linux $(uname -r), images on"
  echo "$(stat -f -c %T "$work") in $work."
  echo
  echo "| case | tool (ms) | tool peak (KiB) | baseline | baseline (ms) | baseline peak (KiB) | ratio | target |"
  echo "|---|---:|---:|---|---:|---:|---:|---|"
  echo "| w on a 1 GiB image (1 MiB replacement) | $(ms "$w_t") | $w_m | cp of the image | $(ms "$cp_t") | $cp_m | $(ratio "$w_t" "$cp_t") | ≤ 1.1: $(verdict "$(ratio "$w_t" "$cp_t")" 1.1) |"
  echo "| g of a 256 MiB entry | $(ms "$g_t") | $g_m | dd bs=1M of the same bytes | $(ms "$dd_t") | $dd_m | $(ratio "$g_t" "$dd_t") | ≤ 1.1: $(verdict "$(ratio "$g_t" "$dd_t")" 1.1) |"
  echo "| g of a 1 GiB entry | $(ms "$big_t") | $big_m | | | | | memory only |"
  echo "| a on 5,000 entries of 4 KiB | $(ms "$a_t") | $a_m | | | | | |"
  echo "| l of 100,000 entries (block size 2048) | $(ms "$l_t") | $l_m | cat of the image | $(ms "$cat_t") | $cat_m | $(ratio "$l_t" "$cat_t") | ≤ 20: $(verdict "$(ratio "$l_t" "$cat_t")" 20) |"
  echo
  peak=$(printf '%s\n' "$w_m" "$g_m" "$big_m" "$a_m" "$l_m" | sort -n | tail -n 1)
  echo "Peak memory of the tool in every case: $peak KiB (target under 8192 KiB: $(verdict "$peak" 8191))."
} >"$top/BENCHMARKS.md.new"
if [ -f "$top/bench/NOTES.md" ]; then { echo; cat "$top/bench/NOTES.md"; } >>"$top/BENCHMARKS.md.new"; fi
mv "$top/BENCHMARKS.md.new" "$top/BENCHMARKS.md"
cat "$top/BENCHMARKS.md"
