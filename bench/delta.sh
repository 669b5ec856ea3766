#!/usr/bin/env bash
# The --patch table: the delta discshell writes for a change beside the one
# xdelta3 -e finds between the same two images (the image, and the
# output.iso that -o writes for the same commands), in size and in time.
# Each delta is first checked to turn the image into that output.iso under
# xdelta3 -d.
#
#   bench/delta.sh [RUNS] [CASE...]   (default 3 runs; every case) prints the
#                                     section; BENCHMARKS.md is left as it is
#
# CASE is one of: byte text append scattered translator. The images go to
# $BENCH_DIR/patch (default /tmp/discshell-bench/patch; about 5 GiB with the
# outputs), built once with random data or generated text. discshell runs
# RUNS times after one untimed run; xdelta3 -e (minutes on the 1 GiB image
# of "append") once, after discshell's first run, and for "scattered", whose
# time is weighed, up to 3 times after an untimed run, each run paired with
# the run of discshell before it. Every run starts after a sync. For
# "append" xdelta3 sees the whole image (-B 1 GiB): with its default source
# window of 64 MiB it finds nothing of the moved entry's bytes, 1 GiB back,
# and writes the gigabyte.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-3}
shift || true
cases=${*:-byte text append scattered translator}
work=${BENCH_DIR:-/tmp/discshell-bench}/patch
build="$top/build-bench"

command -v xdelta3 >/dev/null || { echo "bench/delta.sh needs xdelta3 (Debian: xdelta3)" >&2; exit 1; }
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 --target discshell discshell-mkimage >/dev/null
tool="$build/discshell"
mkimage="$build/discshell-mkimage"
mkdir -p "$work"
cd "$work"

fill() {  # fill FILE FROM-BYTE MIB: random data over a stretch of the file
  dd if=/dev/urandom of="$1" bs=1M count="$3" seek="$2" oflag=seek_bytes conv=notrunc status=none
}
text() {  # text SEED BYTES: BYTES bytes of lines of words of a small vocabulary
  awk -v SEED="$1" -v BYTES="$2" 'BEGIN {
    n = split("the a of to and in is it you that he was for on are with as his they be at one " \
      "have this from or had by word but what some we can out other were all there when up use " \
      "your how said an each she which do their time if will way about many then them write " \
      "would like so these her long make thing see him two has look more day could go come did " \
      "number sound no most people my over know water than call first who may down side been " \
      "now find", w, " ")
    srand(SEED)
    while (length(out) < BYTES) {
      word = w[int(rand() * n) + 1]
      if (length(line) + length(word) + 1 > 70) { out = out line "\n"; line = word }
      else line = (line == "" ? word : line " " word)
    }
    printf "%s", substr(out, 1, BYTES)
  }'
}
retranslate() {  # retranslate SEED FILE: 10 words of FILE changed, longer or shorter
  awk -v SEED="$1" 'BEGIN { RS = "\001"; srand(SEED) } {
    text = $0; count = gsub(/[a-z]+/, "&", text)
    for (k = 0; k < 10; k++) pick[int(rand() * count) + 1] = 1
    while (match(text, /[a-z]+/)) {
      i++; word = substr(text, RSTART, RLENGTH)
      if (i in pick) word = (length(word) % 2 ? toupper(word) "ung" : substr(toupper(word), 1, 1))
      out = out substr(text, 1, RSTART - 1) word; text = substr(text, RSTART + RLENGTH)
    }
    printf "%s", out text
  }' "$2" >"$2.new" && mv "$2.new" "$2"
}
flip() {  # flip FILE AT: one bit of the byte at AT changed
  perl -e 'open(my $f, "+<", $ARGV[0]) or die; binmode $f; seek($f, $ARGV[1], 0);
    read($f, my $c, 1); seek($f, $ARGV[1], 0); print $f chr(ord($c) ^ 1)' "$1" "$2"
}
scatter() {  # scatter FILE...: 1% of each file's bytes, in runs of 64 at random places, made anew
  perl -e 'srand(7); for my $name (@ARGV) { open(my $f, "+<", $name) or die; binmode $f;
    my $size = -s $name; for (1 .. int($size / 100 / 64)) { seek($f, int(rand($size - 64)), 0);
    print $f join("", map { chr(int(rand(256))) } 1 .. 64) } close $f }' "$@"
}

# A 300,000-byte entry; 20 texts of 4 KiB; one entry of 1000 MiB (the
# image, 1 GiB with the directory); 1,024 entries of 1 MiB.
[ -f one.iso ] || { "$mkimage" many one.iso 1 300000 &&
  head -c 300000 /dev/urandom | dd of=one.iso bs=2048 seek=2 conv=notrunc status=none; }
if [ ! -f texts.iso ]; then
  "$mkimage" many texts.iso 20 4096
  for i in $(seq 0 19); do text "$i" 4096 | dd of=texts.iso bs=2048 seek=$((2 + 2 * i)) conv=notrunc status=none; done
fi
[ -f big.iso ] || { "$mkimage" one-entry big.iso 1000 && fill big.iso 32768 1000; }
[ -f spread.iso ] || { "$mkimage" many spread.iso 1024 1048576 && fill spread.iso $((38 * 2048)) 1024; }

# prepare CASE: the local files of a case in $work/CASE and its commands in
# $work/CASE.script; sets image, label and the targets' text.
prepare() {
  rm -rf "$work/$1" && mkdir -p "$work/$1" && cd "$work/$1"
  case $1 in
    byte)
      image=one.iso label="1 byte changed in a 300,000-byte file (u)"
      "$tool" -c x "../$image" >/dev/null && flip file0 150000 && printf 'u\n' >"../$1.script" ;;
    text)
      image=texts.iso label="a 4 KiB text with 10 words changed, the rest shifted (r)"
      "$tool" -c x "../$image" >/dev/null && retranslate 51 file3 && printf 'r\n' >"../$1.script" ;;
    append)
      image=big.iso label="1 byte changed and 1 MiB appended to a 1000 MiB entry (r moves it)"
      "$tool" -c x "../$image" >/dev/null && flip payload.bin 123456789 &&
        head -c $((1 << 20)) /dev/urandom >>payload.bin && printf 'r\n' >"../$1.script" ;;
    scattered)
      image=spread.iso label="100 files of 1 MiB, 1% of each changed in runs of 64 bytes (u)"
      for i in $(seq 0 10 990); do
        dd if=../spread.iso of="file$i" bs=1M count=1 skip=$(((38 + 512 * i) * 2048)) iflag=skip_bytes status=none
      done
      scatter file* && printf 'u\n' >"../$1.script" ;;
    translator)
      image=texts.iso label="a translator's job: 7 texts edited, 5 new files, a rename, an erase (r)"
      "$tool" -c x "../$image" >/dev/null
      for i in 1 2 3 4 5 6 7; do retranslate $((50 + i)) "file$i"; done
      for i in 1 2 3 4 5; do text $((100 + i)) 400 >"new$i.txt" && echo "i new$i.txt"; done >"../$1.script"
      printf 'n file10 file10.txt\ne file15\nr\n' >>"../$1.script" ;;
  esac
  cd "$work"
}

# One run of COMMAND in DIR: "microseconds peak-KiB".
timed() {
  local dir=$1 start end kib
  shift
  start=$(date +%s%N)
  kib=$(cd "$dir" && /usr/bin/time -f "%M" "$@" <"$input" 2>&1 >/dev/null | tail -n 1)
  end=$(date +%s%N)
  echo "$(((end - start) / 1000)) $kib"
}
median() { printf '%s\n' "$@" | sort -g | sed -n "$((($# + 1) / 2))p"; }
ms() { awk -v us="$1" 'BEGIN { printf "%.1f", us / 1000 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.4f", a / b }'; }
verdict() { awk -v v="$1" -v l="$2" 'BEGIN { print (v <= l ? "met" : "missed") }'; }

row() {  # row CASE: one line of the table
  local name=$1 dir="$work/$1" i t m x peak=0 size xsize times=() xds=() pairs=() target
  prepare "$name"
  input="$work/$name.script"
  (cd "$dir" && "$tool" -o ../output.iso "../$image" <"$input" >/dev/null)
  (cd "$dir" && "$tool" --patch p.vcdiff "../$image" <"$input" >/dev/null)
  xdelta3 -d -f -s "$image" "$dir/p.vcdiff" check.iso
  cmp -s check.iso output.iso || { echo "$name: the delta does not give output.iso" >&2; exit 1; }
  rm -f check.iso
  local xruns=1 window=()
  if [ "$name" = append ]; then window=(-B $((1 << 30))); fi
  if [ "$name" = scattered ]; then
    xruns=$((runs < 3 ? runs : 3))
    xdelta3 -e -f -s "$image" output.iso x.vcdiff
  fi
  for i in $(seq "$runs"); do
    rm -f "$dir/p.vcdiff" && sync
    read -r t m < <(timed "$dir" "$tool" --patch p.vcdiff "../$image")
    times+=("$t")
    if [ "$m" -gt "$peak" ]; then peak=$m; fi
    if [ "$i" -le "$xruns" ]; then
      rm -f x.vcdiff && sync
      read -r x _ < <(input=/dev/null timed "$work" xdelta3 -e -f "${window[@]}" -s "$image" output.iso x.vcdiff)
      xds+=("$x") pairs+=("$(ratio "$t" "$x")")
    fi
  done
  size=$(stat -c %s "$dir/p.vcdiff")
  xsize=$(stat -c %s x.vcdiff)
  case $name in
    byte) target="under 200 bytes: $(verdict "$size" 199)" ;;
    text) target="under 400 bytes: $(verdict "$size" 399); ≤ 1.5 × xdelta3's: $(verdict "$(ratio "$size" "$xsize")" 1.5)" ;;
    append) target="under 1.1 MiB: $(verdict "$size" 1153433)" ;;
    scattered) target="≤ 1.2 × xdelta3's: $(verdict "$(ratio "$size" "$xsize")" 1.2); time ≤ 0.1 × xdelta3's: $(verdict "$(median "${pairs[@]}")" 0.1); peak under 16384 KiB: $(verdict "$peak" 16383)" ;;
    translator) target="≤ 2 × xdelta3's: $(verdict "$(ratio "$size" "$xsize")" 2)" ;;
  esac
  echo "| $label | $size | $xsize | $(awk -v a="$size" -v b="$xsize" 'BEGIN { printf "%.2f", a / b }') | $(ms "$(median "${times[@]}")") | $(ms "$(median "${xds[@]}")") | $(median "${pairs[@]}") | $peak | $target |"
  rm -rf "$dir" output.iso x.vcdiff
}

echo "## What a patch carries: --patch beside xdelta3 -e"
echo
echo "| change | delta (bytes) | xdelta3 -e's delta (bytes) | size ratio | tool median (ms) | xdelta3 -e median (ms) | time ratio, median of pairs | tool peak (KiB) | target |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|---|"
for name in $cases; do row "$name"; done
echo
echo "Medians of $runs runs of discshell; xdelta3 -e -s IMAGE output.iso ran $((runs < 3 ? runs : 3)) times for the 1% change, once for the others, each run paired with the run of discshell before it."
