#!/usr/bin/env bash
# Measures --map on the 1 GiB image of 100,000 entries of 10,000 bytes (the
# image bench/run.sh uses for i, e and w), and prints its table for
# BENCHMARKS.md:
#
#   bench/map.sh [RUNS] [ENTRIES]     (default 7 runs, 100000 entries)
#
# - --map beside v on the same image, in pairs (each run of --map right
#   after a run of v, so both meet the same load), the median of the pairs'
#   ratios; the largest peak resident memory of --map's runs
#   (/usr/bin/time -f %M), and the SVG's size.
# - Headless Chromium opening that map and making a screenshot, beside the
#   same for an SVG of the same width, height and byte length that draws
#   nothing (the map's own head, then a comment for the rest): each run a
#   fresh profile, the map's run right after the empty one's, wall time
#   from the start of chromium to its exit, the median of the differences.
#   Chromium's own start takes most of each run.
#
# ENTRIES below 100000 makes a smaller image of that many entries, for a
# quick try. Images go to $BENCH_DIR (default /tmp/discshell-bench), shared
# with bench/run.sh.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-7}
entries=${2:-100000}
work=${BENCH_DIR:-/tmp/discshell-bench}
build="$top/build-bench"

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 --target discshell discshell-mkimage >/dev/null
tool="$build/discshell"
mkdir -p "$work/map"
cd "$work"

# One directory of ENTRIES entries of 10,000 bytes (5 blocks of 2,048 each)
# behind their directory blocks, the data random, so nothing is sparse.
image=edit.iso
if [ "$entries" != 100000 ]; then image="edit$entries.iso"; fi
if [ ! -f "$image" ]; then
  "$build/discshell-mkimage" many "$image" "$entries" 10000
  size=$(stat -c %s "$image")
  first=$(((size / 2048 - entries * 5) * 2048))
  dd if=/dev/urandom of="$image" bs=1M count=$(((size - first) >> 20)) seek="$first" \
    oflag=seek_bytes conv=notrunc status=none
fi

median() { printf '%s\n' "$@" | sort -g | sed -n "$((($# + 1) / 2))p"; }
ms() { awk -v us="$1" 'BEGIN { printf "%.1f", us / 1000 }'; }
now() { date +%s%N; }

# One run of the tool: "microseconds peak-KiB".
timed() {
  local start end kib
  start=$(now)
  kib=$(cd "$work/map" && /usr/bin/time -f %M "$@" 2>&1 >/dev/null </dev/null | tail -n 1)
  end=$(now)
  echo "$(((end - start) / 1000)) $kib"
}

"$tool" -c v "$work/$image" >/dev/null
(cd "$work/map" && "$tool" --map map.svg "$work/$image" >/dev/null)
v_times=() map_times=() ratios=() peak=0
for _ in $(seq "$runs"); do
  read -r v _ < <(timed "$tool" -c v "$work/$image")
  read -r m kib < <(timed "$tool" --map map.svg "$work/$image")
  v_times+=("$v") map_times+=("$m")
  ratios+=("$(awk -v a="$m" -v b="$v" 'BEGIN { printf "%.3f", a / b }')")
  if [ "$kib" -gt "$peak" ]; then peak=$kib; fi
done
svg_bytes=$(stat -c %s "$work/map/map.svg")

# The empty SVG: the map's first two lines (its size), then a comment up to
# the map's length, and the end.
head -n 2 "$work/map/map.svg" >"$work/map/empty.svg"
pad=$((svg_bytes - $(stat -c %s "$work/map/empty.svg") - 12))
{ printf '<!--'; head -c "$pad" /dev/zero | tr '\0' ' '; printf -- '-->\n</svg>\n'; } >>"$work/map/empty.svg"
width=$(sed -n 's/.*<svg [^>]*width="\([0-9]*\)".*/\1/p' "$work/map/map.svg")
height=$(sed -n 's/.*<svg [^>]*height="0*\([0-9]*\)".*/\1/p' "$work/map/map.svg")
shoot() {  # shoot SVG: one screenshot in a fresh profile; prints microseconds
  local profile start end
  profile=$(mktemp -d)
  start=$(now)
  chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --hide-scrollbars --force-device-scale-factor=1 --user-data-dir="$profile" \
    --screenshot="$work/map/shot.png" --window-size="$width,$height" "file://$1" >/dev/null 2>&1
  end=$(now)
  rm -rf "$profile"
  echo $(((end - start) / 1000))
}
chromium_row="| Chromium | not installed (Debian: apt-get install chromium) | | | |"
if command -v chromium >/dev/null; then
  empty_times=() map_shots=() differences=()
  shoot "$work/map/empty.svg" >/dev/null
  for _ in $(seq "$runs"); do
    e=$(shoot "$work/map/empty.svg")
    s=$(shoot "$work/map/map.svg")
    empty_times+=("$e") map_shots+=("$s") differences+=("$((s - e))")
  done
  difference=$(median "${differences[@]}")
  verdict=met
  if [ "$difference" -gt 3000000 ]; then verdict=missed; fi
  chromium_row="| headless Chromium: screenshot of the map, against an empty SVG of the same size | $(ms "$(median "${map_shots[@]}")") | $(ms "$(median "${empty_times[@]}")") | $(ms "$difference") | at most 3000 ms more: $verdict |"
fi

ratio=$(median "${ratios[@]}")
map_verdict=$(awk -v r="$ratio" -v p="$peak" 'BEGIN { print (r <= 2 && p < 16384 ? "met" : "missed") }')
label="1 GiB image of 100,000 entries"
if [ "$entries" != 100000 ]; then label="image of $entries entries"; fi
echo "## The map: --map"
echo
echo "Measured by \`bench/map.sh $runs${2:+ $entries}\` on $(date +%Y-%m-%d): $runs runs in pairs after a warm-up."
echo
echo "| case | --map median (ms) | v median (ms) | median ratio of the pairs | peak (KiB) | SVG (bytes) | target |"
echo "|---|---:|---:|---:|---:|---:|---|"
echo "| --map of the $label | $(ms "$(median "${map_times[@]}")") | $(ms "$(median "${v_times[@]}")") | $ratio | $peak | $svg_bytes | ratio ≤ 2, peak under 16384 KiB, SVG at most 8388608 bytes: $map_verdict |"
echo
echo "| case | map (ms) | empty SVG (ms) | median difference (ms) | target |"
echo "|---|---:|---:|---:|---|"
echo "$chromium_row"
