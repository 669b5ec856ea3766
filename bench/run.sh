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
top=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-7}
only=${2:-${BENCH_ONLY:-}}
work=${BENCH_DIR:-/tmp/discshell-bench}
out=${BENCH_OUT:-$work/out}
shm=/dev/shm/discshell-bench
build="$top/build-bench"

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 >/dev/null
tool="$build/discshell"
# The plain POSIX build copies through its buffer only: the tool's own loop.
cmake -S "$top" -B "$build-generic" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DDISCSHELL_GENERIC_POSIX=ON >/dev/null
cmake --build "$build-generic" -j2 --target discshell >/dev/null
buffered_tool="$build-generic/discshell"
mkimage="$build/discshell-mkimage"
mkdir -p "$work"
cd "$work"

fill() {  # fill FILE FROM-BYTE MIB: random data over a stretch of the file
  dd if=/dev/urandom of="$1" bs=1M count="$3" seek="$2" oflag=seek_bytes conv=notrunc status=none
}
# 1,024 entries of 1 MiB: 37 directory blocks.
[ -f spread.iso ] || { "$mkimage" many spread.iso 1024 1048576 && fill spread.iso $((38 * 2048)) 1024; }
# One directory of 2,000,000 empty files, each at a start block of its own
# (146 MB); of 1,000,000 (73 MB), and of 100,000.
[ -f flat.iso ] || "$mkimage" flat flat.iso 2000000
[ -f flat1m.iso ] || "$mkimage" flat flat1m.iso 1000000
[ -f flat100k.iso ] || "$mkimage" flat flat100k.iso 100000
[ -f wide.iso ] || "$mkimage" wide wide.iso 100000
[ -f deep.iso ] || "$mkimage" tree deep.iso 100 1000 0
[ -f extract.iso ] || { "$mkimage" one-entry extract.iso 256 && fill extract.iso 32768 256; }
# The entry g copies out, as a file of its own: what cp copies for g.
[ -f extract.bin ] || dd if=extract.iso of=extract.bin bs=1M skip=32768 iflag=skip_bytes status=none
# The same volume 2,048 bytes into its image (VOLUME-OFFSET 2048): the entry
# then starts half-way into a page.
[ -f extract-odd.iso ] || { head -c 2048 /dev/zero && cat extract.iso; } >extract-odd.iso
if [ -z "$only" ]; then
[ -f patch.iso ] || { "$mkimage" one-entry patch.iso 1024 && fill patch.iso 32768 1024; }
# 5,000 entries of 4 KiB: 179 directory blocks, data from block 180 on.
[ -f many.iso ] || { "$mkimage" many many.iso 5000 4096 && fill many.iso $((180 * 2048)) 20; }
# 50 directories of 100 entries of 4 KiB: 2 + 50 * 4 directory blocks from block 1.
[ -f tree.iso ] || { "$mkimage" tree tree.iso 50 100 4096 && fill tree.iso $((203 * 2048)) 20; }
# One directory of 1,000,000 empty entries (73 MB), for what v keeps a name.
[ -f wide1m.iso ] || "$mkimage" wide wide1m.iso 1000000
# A hostile shape: 30,000 entries that all lead back to the root, each with a
# byte count of its own (2.1 MB).
[ -f self.iso ] || "$mkimage" self self.iso 30000
# One 1-byte entry with 100,000 copies, all of one block.
[ -f copies.iso ] || "$mkimage" copies copies.iso 100000
# 512 entries of 1 MiB with two copies each: every copy 0 from block 21 on,
# every copy 1 512 MiB further, the same random bytes, so v compares them all.
if [ ! -f twocopies.iso ]; then
  "$mkimage" twocopies twocopies.iso 512 1048576
  fill twocopies.iso $((21 * 2048)) 512
  dd if=twocopies.iso of=twocopies.iso bs=1M count=512 skip=$((21 * 2048)) \
    seek=$((21 * 2048 + (512 << 20))) iflag=skip_bytes,count_bytes oflag=seek_bytes \
    conv=notrunc status=none
fi
# One directory of 100,000 entries of 10,000 bytes on 1 GiB (3,572 directory
# blocks from block 1, the data from block 3,573 on), for i, e and w.
[ -f edit.iso ] || { "$mkimage" many edit.iso 100000 10000 && fill edit.iso $((3573 * 2048)) 976; }
fi

script() { printf '%s\nq\n' "$1" > "$work/$2.script"; }
for command in a x l t u r v m; do script "$command" "$command"; done
script 'w payload.bin' w
script 'g payload.bin' g
# i adds 1,000 local files of 4 KiB to that directory; e erases 1,000 of its
# entries, spread through it; w then writes each.
{ for i in $(seq 0 999); do echo "i new$i"; done; printf 'w\nq\n'; } >"$work/iadd.script"
{ for i in $(seq 0 100 99900); do echo "e file$i"; done; printf 'w\nq\n'; } >"$work/eerase.script"

# measure DIR SETUP COMMAND...: runs SETUP (untimed) and then COMMAND in
# DIR, $runs times after a warm-up; prints "fastest median peak", in
# microseconds and KiB. discshell reads its script from $input.
input=/dev/null
measure() {
  local dir=$1 setup=$2; shift 2
  local times=() peak=0 start end kib
  eval "$setup" && (cd "$dir" && "$@" <"$input" >/dev/null) || true
  for _ in $(seq "$runs"); do
    eval "$setup"
    start=$(date +%s%N)
    kib=$(cd "$dir" && /usr/bin/time -f "%M" "$@" <"$input" 2>&1 >/dev/null | tail -n 1)
    end=$(date +%s%N)
    times+=("$(((end - start) / 1000))")
    if [ "$kib" -gt "$peak" ]; then peak=$kib; fi
  done
  local sorted
  sorted=$(printf '%s\n' "${times[@]}" | sort -n)
  printf '%s %s %s\n' "$(head -n 1 <<<"$sorted")" "$(sed -n "$(((runs + 1) / 2))p" <<<"$sorted")" "$peak"
}
tool_run() { input="$work/$1.script"; shift; measure "$@"; input=/dev/null; }
ms() { awk -v us="$1" 'BEGIN { printf "%.1f", us / 1000 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
verdict() { awk -v v="$1" -v l="$2" 'BEGIN { print (v <= l ? "met" : "missed") }'; }
least() { printf '%s\n' "$@" | sort -n | head -n 1; }
# Every peak goes to this file: some tables are made in subshells.
peaks="$work/peaks"
: >"$peaks"

# The local files u and r put back: 100 changed files of 1 MiB, 100 grown
# past their blocks, 100 shrunk to half; and w's replacement.
make_locals() {  # make_locals DIR
  mkdir -p "$1/w" "$1/g" "$1/u" "$1/rgrow" "$1/rshrink" "$1/base"
  head -c $((1 << 20)) /dev/urandom >"$1/w/payload.bin"
  for i in $(seq 0 10 990); do
    head -c $((1 << 20)) /dev/urandom >"$1/u/file$i"
    head -c $(((1 << 20) + 1)) /dev/urandom >"$1/rgrow/file$i"
    head -c $((1 << 19)) /dev/urandom >"$1/rshrink/file$i"
  done
}

# copy_table FS-NAME DIR IMAGES: g, w, u and r writing into DIR, each beside
# cp, cp --reflink=never and dd bs=1M of the same bytes; one table row each.
copy_table() {
  local name=$1 dir=$2 images=$3 case t m cp cpn dd best
  make_locals "$dir"
  echo "### Copies on $name ($(stat -f -c %T "$dir"))"
  echo
  echo "| case | tool fastest / median (ms) | cp | cp --reflink=never | dd bs=1M | ratio to the fastest baseline: fastest / median | target ≤ 1.05 |"
  echo "|---|---:|---:|---:|---:|---:|---|"
  for case in g w u rgrow rshrink; do
    local image=spread.iso sub=$case script=$case source
    case $case in
      g) image=extract.iso ;;
      w) image=patch.iso ;;
      rgrow | rshrink) script=r ;;
    esac
    read -r t tm m < <(tool_run "$script" "$dir/$sub" "rm -f '$dir/$sub/output.iso' '$dir/g/payload.bin'; sync" "$tool" "$images/$image")
    echo "$m" >>"$peaks"
    # The baselines read what the tool reads: the image for w, u and r (the
    # same file in the same state of the page cache); for g the stretch of
    # the image with dd, and a file of exactly the entry's bytes with cp.
    source="$images/$image"
    if [ "$case" = g ]; then source="$images/extract.bin"; fi
    read -r cp cpm _ < <(measure "$dir/base" "rm -f '$dir/base/copy'; sync" cp "$source" copy)
    read -r cpn cpnm _ < <(measure "$dir/base" "rm -f '$dir/base/copy'; sync" cp --reflink=never "$source" copy)
    if [ "$case" = g ]; then
      read -r dd ddm _ < <(measure "$dir/base" "rm -f '$dir/base/copy'; sync" dd if="$images/extract.iso" of=copy \
        bs=1M skip=32768 count=$((256 << 20)) iflag=skip_bytes,count_bytes status=none)
    else
      read -r dd ddm _ < <(measure "$dir/base" "rm -f '$dir/base/copy'; sync" dd if="$source" of=copy bs=1M status=none)
    fi
    best=$(least "$cp" "$cpn" "$dd")
    local bestm
    bestm=$(least "$cpm" "$cpnm" "$ddm")
    local label
    case $case in
      g) label="g of a 256 MiB entry" ;;
      w) label="w on a 1 GiB image (1 MiB replacement)" ;;
      u) label="u of 100 changed 1 MiB files on a 1 GiB image" ;;
      rgrow) label="r of 100 files of 1 MiB grown past their blocks" ;;
      rshrink) label="r of 100 files of 1 MiB shrunk to half" ;;
    esac
    echo "| $label | $(ms "$t") / $(ms "$tm") | $(ms "$cp") / $(ms "$cpm") | $(ms "$cpn") / $(ms "$cpnm") | $(ms "$dd") / $(ms "$ddm") | $(ratio "$t" "$best") / $(ratio "$tm" "$bestm") | $(verdict "$(ratio "$t" "$best")" 1.05) |"
  done
  rm -rf "$dir"/{w,g,u,rgrow,rshrink,base}
  echo
}

# One run of COMMAND in DIR: "microseconds peak-KiB". discshell reads $input.
timed() {
  local dir=$1 start end kib
  shift
  start=$(date +%s%N)
  kib=$(cd "$dir" && /usr/bin/time -f "%M" "$@" <"$input" 2>&1 >/dev/null | tail -n 1)
  end=$(date +%s%N)
  echo "$(((end - start) / 1000)) $kib"
}
median() { printf '%s\n' "$@" | sort -g | sed -n "$((($# + 1) / 2))p"; }

# patch_table DIR: u of 100 changed 1 MiB files on a 1 GiB image with
# --patch, in runs paired with its yardsticks, so that a machine whose speed
# drifts moves both alike: writing the same 100 MiB from the same files to one
# file with cat, and (fewer runs: it takes seconds) xdelta3 finding a delta
# from the image and the output.iso that -o writes. The delta is checked to
# give that output.iso.
patch_table() {
  local dir=$1 i t m c x peak=0 size xsize times=() cats=() xds=() toCat=() toXd=()
  make_locals "$dir"
  local u="$dir/u" base="$dir/base" image="$work/spread.iso"
  input="$work/u.script"
  (cd "$u" && "$tool" -o "$base/output.iso" "$image" <"$input" >/dev/null)
  (cd "$u" && "$tool" --patch "$base/p.vcdiff" "$image" <"$input" >/dev/null)
  xdelta3 -d -f -s "$image" "$base/p.vcdiff" "$base/check.iso"
  cmp -s "$base/check.iso" "$base/output.iso" || { echo "the delta does not give output.iso" >&2; exit 1; }
  rm -f "$base/check.iso"
  for i in $(seq "$runs"); do
    rm -f "$u/p.vcdiff" && sync
    read -r t m < <(timed "$u" "$tool" --patch p.vcdiff "$image")
    rm -f "$base/copy" && sync
    read -r c _ < <(input=/dev/null timed "$u" sh -c "exec cat file* >'$base/copy'")
    times+=("$t") cats+=("$c") toCat+=("$(ratio "$t" "$c")")
    if [ "$m" -gt "$peak" ]; then peak=$m; fi
    if [ "$i" -le 3 ]; then
      rm -f "$base/x.vcdiff" && sync
      read -r x _ < <(input=/dev/null timed "$base" xdelta3 -e -f -s "$image" output.iso x.vcdiff)
      xds+=("$x") toXd+=("$(awk -v a="$t" -v b="$x" 'BEGIN { printf "%.4f", a / b }')")
    fi
  done
  input=/dev/null
  echo "$peak" >>"$peaks"
  size=$(stat -c %s "$u/p.vcdiff")
  xsize=$(stat -c %s "$base/x.vcdiff")
  rm -rf "$dir"/{w,g,u,rgrow,rshrink,base}
  echo "| case | tool median (ms) | cat of the 100 files into one (ms) | paired ratio | xdelta3 -e -s IMAGE output.iso (ms) | paired ratio | tool peak (KiB) | delta (bytes) | xdelta3's delta (bytes) |"
  echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|"
  echo "| u of 100 changed 1 MiB files on a 1 GiB image, --patch | $(ms "$(median "${times[@]}")") | $(ms "$(median "${cats[@]}")") | $(median "${toCat[@]}") | $(ms "$(median "${xds[@]}")") | $(median "${toXd[@]}") | $peak | $size | $xsize |"
  echo
  echo "Targets: delta ≤ 101 MiB ($((101 << 20)) bytes): $(verdict "$size" $((101 << 20))); ≤ 1.2 × cat: $(verdict "$(median "${toCat[@]}")" 1.2); ≤ 0.1 × xdelta3: $(verdict "$(median "${toXd[@]}")" 0.1); peak under 8192 KiB: $(verdict "$peak" 8191)."
  echo "Medians of $runs runs paired with cat and of 3 paired with xdelta3, after one run of each untimed that also checks the delta."
}

if [ "$only" = patch ]; then
  rm -rf "$out" && mkdir -p "$out"
  patch_table "$out"
  exit
fi

# interleaved DIR SETUP COMMAND...: runs every COMMAND (a string, with
# discshell reading the g script) once after SETUP, in turn, $runs times
# after a warm-up round, so that each pair meets the same load; prints
# "fastest median" in microseconds for each, one line each.
interleaved() {
  local dir=$1 setup=$2 i c start end
  shift 2
  local -a times
  for c in "$@"; do eval "$setup"; (cd "$dir" && eval "$c" <"$work/g.script" >/dev/null); done
  for i in $(seq "$runs"); do
    for c in $(seq 0 $(($# - 1))); do
      eval "$setup"
      local command=("$@")
      start=$(date +%s%N)
      (cd "$dir" && eval "${command[$c]}" <"$work/g.script" >/dev/null)
      end=$(date +%s%N)
      times[c]+="$(((end - start) / 1000)) "
    done
  done
  for c in $(seq 0 $(($# - 1))); do
    local sorted
    sorted=$(printf '%s\n' ${times[c]} | sort -n)
    echo "$(head -n 1 <<<"$sorted") $(sed -n "$(((runs + 1) / 2))p" <<<"$sorted")"
  done
}

# align_table FS-NAME DIR IMAGES: g of a 256 MiB entry that starts on a page
# and one that starts 2,048 bytes into one, beside dd bs=1M of the same
# stretch, cp of a file of its bytes and the tool's own buffered loop (the
# plain POSIX build), all in turn. On XFS cp would share the file's blocks,
# which an entry off a page cannot: there it copies them.
align_table() {
  local name=$1 dir=$2 images=$3 at cp=cp
  if [ "$(stat -f -c %T "$dir")" = xfs ]; then cp="cp --reflink=never"; fi
  mkdir -p "$dir/g"
  echo "### g by alignment on $name ($(stat -f -c %T "$dir"))"
  echo
  echo "| entry | tool fastest / median (ms) | dd bs=1M | $cp of its bytes | buffered loop | ratio to the fastest other: fastest / median | target ≤ 1.05 |"
  echo "|---|---:|---:|---:|---:|---:|---|"
  for at in 32768 34816; do
    local image=extract.iso offset=0 label="256 MiB entry on a page boundary (byte 32768)"
    if [ "$at" = 34816 ]; then
      image=extract-odd.iso offset=2048 label="256 MiB entry 2,048 bytes into a page (byte 34816)"
    fi
    local results t tm d dm c cm l lm best bestm
    results=$(interleaved "$dir/g" "rm -f '$dir/g/payload.bin' '$dir/g/copy'; sync" \
      "'$tool' '$images/$image' $offset" \
      "dd if='$images/$image' of=copy bs=1M skip=$at count=$((256 << 20)) iflag=skip_bytes,count_bytes status=none" \
      "$cp '$images/extract.bin' copy" \
      "'$buffered_tool' '$images/$image' $offset")
    { read -r t tm; read -r d dm; read -r c cm; read -r l lm; } <<<"$results"
    best=$(least "$d" "$c" "$l")
    bestm=$(least "$dm" "$cm" "$lm")
    echo "| $label | $(ms "$t") / $(ms "$tm") | $(ms "$d") / $(ms "$dm") | $(ms "$c") / $(ms "$cm") | $(ms "$l") / $(ms "$lm") | $(ratio "$t" "$best") / $(ratio "$tm" "$bestm") | $(verdict "$(ratio "$t" "$best")" 1.05) |"
  done
  rm -rf "$dir/g"
  echo
}

# Bytes in the extents of FILE that it shares with no other file, in KiB.
unshared() {
  filefrag -v "$1" | awk '/blocks of/ { size = $(NF - 1) }
    /^ *[0-9]+:/ { split($0, f, ":"); if ($0 !~ /shared/) sum += f[4] }
    END { print sum * size / 1024 }'
}

# On XFS with reflink: the tool's time, and the blocks of its output that it
# shares with no other file, against the data it writes over the image.
xfs_table() {
  local mnt=$1 case t tm m
  make_locals "$mnt"
  mkdir -p "$mnt/u1" "$mnt/rgrow1" "$mnt/rshrink1"
  cp "$mnt/u/file0" "$mnt/u1/" && cp "$mnt/rgrow/file0" "$mnt/rgrow1/"
  cp "$mnt/rshrink/file0" "$mnt/rshrink1/"
  echo "### Copies on XFS with reflink (a loop device)"
  echo
  echo "| case | tool fastest / median (ms) | cp, sharing blocks (ms) | blocks not shared (KiB) | data written (KiB) | target |"
  echo "|---|---:|---:|---:|---:|---|"
  for case in w u1 rgrow1 rshrink1 u rgrow rshrink; do
    local image=spread.iso script=u data label limit="< 50 ms, blocks ≤ data"
    case $case in
      w) image=patch.iso script=w data=1024 label="w on a 1 GiB image (1 MiB replacement)" ;;
      u1) data=1024 label="u of 1 changed 1 MiB file" ;;
      rgrow1) script=r data=1028 label="r of 1 file of 1 MiB grown past its blocks" ;;
      rshrink1) script=r data=512 label="r of 1 file of 1 MiB shrunk to half" ;;
      u) data=$((100 * 1024)) label="u of 100 changed 1 MiB files" limit="blocks ≤ data" ;;
      rgrow) script=r data=$((100 * 1028)) label="r of 100 files grown" limit="blocks ≤ data" ;;
      rshrink) script=r data=$((100 * 512)) label="r of 100 files shrunk" limit="blocks ≤ data" ;;
    esac
    read -r t tm m < <(tool_run "$script" "$mnt/$case" "rm -f '$mnt/$case/output.iso'; sync" "$tool" "$mnt/$image")
    echo "$m" >>"$peaks"
    sync
    local blocks cp ok
    blocks=$(unshared "$mnt/$case/output.iso")
    read -r cp _ _ < <(measure "$mnt/base" "rm -f '$mnt/base/copy'; sync" cp "$mnt/$image" copy)
    # The records r patches take a file system block each beside the data.
    ok=$(awk -v t="$t" -v b="$blocks" -v d="$data" -v l="$limit" \
      'BEGIN { print ((l ~ /50 ms/ && t >= 50000) || b > d + 64 ? "missed" : "met") }')
    echo "| $label | $(ms "$t") / $(ms "$tm") | $(ms "$cp") | $blocks | $data | $limit: $ok |"
  done
  echo
}

# --mount: reads through the mount paired with the same reads of the image,
# or of the tree x extracted onto the disk, each run once untimed first, so
# the page cache (and the kernel's cache of the mount's entries) is as warm
# for the mount as for the baseline. The server runs in the foreground under
# /usr/bin/time: its peak memory is known once it is unmounted.
mnt="$work/mnt"
server_peaks="$work/server-peaks"
mount_server() {  # mount_server IMAGE: serves IMAGE on $mnt until unmount_server
  mkdir -p "$mnt"
  /usr/bin/time -f %M -o "$work/server.peak" "$tool" --foreground --mount "$mnt" "$1" >/dev/null &
  server=$!
  local tries=0
  until mountpoint -q "$mnt"; do
    tries=$((tries + 1))
    if [ "$tries" -gt 600 ]; then return 1; fi
    sleep 0.1
  done
}
unmount_server() {
  fusermount3 -u "$mnt" && wait "$server"
  cat "$work/server.peak" >>"$server_peaks"
}
# paired SETUP "COMMAND" "BASELINE": both run by sh -c in $out, in turn, $runs
# times each after one untimed run of each, SETUP before every COMMAND (in
# this shell, so that it can mount afresh); pairs keep the ratio meaningful
# while the machine's load drifts. Prints "fastest median" of each, in
# microseconds, and the median of the pairs' ratios.
paired() {
  local command_times=() baseline_times=() ratios=() start middle end
  eval "$1" && (cd "$out" && sh -c "$2" </dev/null >/dev/null) || true
  (cd "$out" && sh -c "$3" </dev/null >/dev/null) || true
  for _ in $(seq "$runs"); do
    eval "$1"
    start=$(date +%s%N)
    (cd "$out" && sh -c "$2" </dev/null >/dev/null)
    middle=$(date +%s%N)
    (cd "$out" && sh -c "$3" </dev/null >/dev/null)
    end=$(date +%s%N)
    command_times+=("$(((middle - start) / 1000))")
    baseline_times+=("$(((end - middle) / 1000))")
    ratios+=("$(ratio "$((middle - start))" "$((end - middle))")")
  done
  local median_line=$(((runs + 1) / 2)) times
  for times in "${command_times[*]}" "${baseline_times[*]}"; do
    times=$(tr ' ' '\n' <<<"$times" | sort -n)
    printf '%s %s ' "$(head -n 1 <<<"$times")" "$(sed -n "${median_line}p" <<<"$times")"
  done
  printf '%s\n' "$(printf '%s\n' "${ratios[@]}" | sort -n | sed -n "${median_line}p")"
}
# mount_row CASE IMAGE SETUP "COMMAND" BASELINE "BASELINE-COMMAND" RATIO-LIMIT [MS-LIMIT]:
# COMMAND through the mount of IMAGE on $mnt, paired with BASELINE-COMMAND;
# a RATIO-LIMIT of - is no target, an MS-LIMIT bounds COMMAND's median.
mount_rows=()
mount_row() {
  local t tm b bm r limit="≤ $7" verdict_text
  mount_server "$work/$2"
  paired "$3" "$4" "$6" >"$work/mount.times"
  read -r t tm b bm r <"$work/mount.times"
  unmount_server
  verdict_text=$(verdict "$r" "$7")
  if [ "$7" = - ]; then
    limit="for reference" verdict_text="no target"
  fi
  if [ -n "${8:-}" ]; then
    limit+=" and under $8 ms"
    if [ "$tm" -ge $(($8 * 1000)) ]; then verdict_text=missed; fi
  fi
  mount_rows+=("| $1 | $(ms "$t") / $(ms "$tm") | $5 | $(ms "$b") / $(ms "$bm") | $r | $limit: $verdict_text |")
}
mount_section() {
  echo "## Reading through --mount"
  echo
  local why="" refusal
  refusal=$("$tool" --mount "$work" "$work/deep.iso" 2>&1 || true)
  if [[ $refusal == *"without libfuse"* ]]; then
    why="this build of the tool has no --mount (built without libfuse 3)."
  elif ! [ -r /dev/fuse ] || ! [ -w /dev/fuse ]; then
    why="/dev/fuse cannot be opened here."
  elif ! command -v fusermount3 >/dev/null; then
    why="fusermount3 is not installed (Debian: fuse3)."
  fi
  if [ -n "$why" ]; then
    echo "Not measured: $why"
    return
  fi
  : >"$server_peaks"
  mkdir -p "$out/mdeep" "$out/mwide" "$out/mspread"
  (cd "$out/mdeep" && "$tool" "$work/deep.iso" <"$work/x.script" >/dev/null)
  (cd "$out/mwide" && "$tool" "$work/wide.iso" <"$work/x.script" >/dev/null)
  (cd "$out/mspread" && "$tool" "$work/spread.iso" <"$work/x.script" >/dev/null)
  local dd_entry="dd if='$work/extract.iso' bs=1M skip=32768 count=\$((256 << 20)) iflag=skip_bytes,count_bytes status=none"
  mount_row "cat of a 256 MiB file" extract.iso : "cat '$mnt/payload.bin'" \
    "dd bs=1M of the same bytes from the image" "$dd_entry" 1.5
  mount_row "cat of a 256 MiB file, first read after mounting" extract.iso \
    "unmount_server && mount_server '$work/extract.iso'" "cat '$mnt/payload.bin'" \
    "dd bs=1M of the same bytes from the image" "$dd_entry" -
  mount_row "find of 100,000 entries in 100 directories, counted by wc -l" deep.iso : "find '$mnt' | wc -l" \
    "the same over x's extraction on the disk" "find '$out/mdeep' | wc -l" 3 2000
  mount_row "ls -l of a directory of 100,000 entries" wide.iso : "ls -l '$mnt' >/dev/null" \
    "the same over x's extraction on the disk" "ls -l '$out/mwide' >/dev/null" 3 2000
  mount_row "grep -r across a 1 GiB image of 1,024 files" spread.iso : \
    "grep -r -F needle-of-the-bench '$mnt'; true" "the same over x's extraction on the disk" \
    "grep -r -F needle-of-the-bench '$out/mspread'; true" 1.5
  rm -rf "$out/mdeep" "$out/mwide" "$out/mspread"
  echo "Each case runs once untimed, then $runs times in turn with its baseline; the ratio is"
  echo "the median of the pairs' ratios. The mount stays up between the runs (for the first"
  echo "read after mounting, each run mounts afresh)."
  echo "Machine load while measured (1, 5, 15 minutes): $(cut -d ' ' -f 1-3 /proc/loadavg)."
  echo
  echo "| case | through the mount fastest / median (ms) | baseline | baseline fastest / median (ms) | ratio: median of pairs | target |"
  echo "|---|---:|---|---:|---:|---|"
  printf '%s\n' "${mount_rows[@]}"
  echo
  local server_peak
  server_peak=$(sort -n "$server_peaks" | tail -n 1)
  echo "Peak memory of the mount server in every case: $server_peak KiB (target under 16384 KiB: $(verdict "$server_peak" 16383))."
}

if [ "$only" = mount ]; then
  mkdir -p "$out"
  section=$(mount_section)
  rm -rf "$out"
  # The section replaces its old self, or goes in before the notes, which
  # are taken afresh from bench/NOTES.md.
  SECTION="$section" awk '
    /^## / { if (skipping) skipping = 0 }
    /^## Reading through --mount$/ { print ENVIRON["SECTION"]; print ""; skipping = 1; done = 1; next }
    /^## How the figures come about$/ && !done { print ENVIRON["SECTION"]; print ""; done = 1 }
    !skipping { print }
  ' "$top/BENCHMARKS.md" | sed '/^## How the figures come about$/,$d' >"$top/BENCHMARKS.md.new"
  if [ -f "$top/bench/NOTES.md" ]; then cat "$top/bench/NOTES.md" >>"$top/BENCHMARKS.md.new"; fi
  mv "$top/BENCHMARKS.md.new" "$top/BENCHMARKS.md"
  echo "$section"
  exit 0
fi

# names_table DIR: what x, u, r and m keep to tell local names apart in one
# directory of 1,000,000 and of 100,000 files (u, r and m after x, nothing
# changed, so every entry has its local file; one run each after the
# warm-up, as x creates a million files), and u and r where no local file
# is, against t of the same 2,000,000 entries. Peaks go to no other table.
names_table() {
  local dir=$1 n label limit t tm m tt ttm
  mkdir -p "$dir/empty"
  echo "## Names: one directory of many entries"
  echo
  echo "| case | tool fastest / median (ms) | tool peak (KiB) | target |"
  echo "|---|---:|---:|---|"
  for n in 1000000 100000; do
    label=$(sed ':a;s/\B[0-9]\{3\}\>/,&/;ta' <<<"$n")
    limit=$([ "$n" = 1000000 ] && echo 12288 || echo 8192)
    local image="$work/flat$((n / 1000))k.iso"
    [ "$n" = 1000000 ] && image="$work/flat1m.iso"
    local saved=$runs
    runs=1
    read -r t tm m < <(tool_run x "$dir/names" "rm -rf '$dir/names' && mkdir '$dir/names' && sync" "$tool" "$image")
    echo "| x of one directory of $label empty files | $(ms "$t") / $(ms "$tm") | $m | under $limit KiB: $(verdict "$m" $((limit - 1))) |"
    for c in u r m; do
      read -r t tm m < <(tool_run "$c" "$dir/names" : "$tool" "$image")
      echo "| $c of the same, after x, nothing changed | $(ms "$t") / $(ms "$tm") | $m | under $limit KiB: $(verdict "$m" $((limit - 1))) |"
    done
    runs=$saved
    rm -rf "$dir/names"
  done
  read -r tt ttm m < <(tool_run t "$dir/empty" : "$tool" "$work/flat.iso")
  echo "| t of one directory of 2,000,000 files | $(ms "$tt") / $(ms "$ttm") | $m | |"
  for c in u r; do
    read -r t tm m < <(tool_run "$c" "$dir/empty" : "$tool" "$work/flat.iso")
    echo "| $c of the same, no local file | $(ms "$t") / $(ms "$tm") | $m | at most 2 × t: $(ratio "$t" "$tt") / $(ratio "$tm" "$ttm"), $(verdict "$(ratio "$t" "$tt")" 2) |"
  done
  echo
}
if [ "$only" = names ]; then
  mkdir -p "$out" && names_table "$out" && rm -rf "$out"
  exit 0
fi

rm -rf "$out" "$shm" && mkdir -p "$out" "$shm"
if [ -z "$only" ]; then patch_table_text=$(patch_table "$out"); fi
align_text="## Copies by alignment: g of an entry on a page boundary and off one

The kernel's copy runs at full speed only where the entry's position and the
output's agree modulo the page size; elsewhere the tool's buffer copies.
"
align_text+=$'\n'$(align_table "the disk" "$out" "$work")$'\n\n'$(align_table "tmpfs" "$shm" "$work")
if [ -z "$only" ]; then
  disk_table=$(copy_table "the disk" "$out" "$work")
  tmpfs_table=$(copy_table "tmpfs" "$shm" "$work")
fi
rm -rf "$shm"

xfs_table_text="### Copies on XFS with reflink

Not measured: "
align_xfs_text="### g by alignment on XFS with reflink

Not measured: "
mnt="$work/xfs"
why=""
if [ "$(id -u)" != 0 ]; then
  why="the script did not run as root, which mounting a loop device needs."
elif ! command -v mkfs.xfs >/dev/null; then
  why="mkfs.xfs is not installed (Debian: xfsprogs)."
elif ! { rm -f "$work/xfs.img" && truncate -s 5G "$work/xfs.img" &&
  mkfs.xfs -q -f -m reflink=1 "$work/xfs.img" && mkdir -p "$mnt" &&
  mount -o loop "$work/xfs.img" "$mnt"; } 2>/dev/null; then
  why="no loop device could be set up here."
else
  trap 'umount "$mnt" 2>/dev/null; rm -f "$work/xfs.img"' EXIT
  cp --reflink=never "$work/extract.iso" "$work/extract-odd.iso" "$work/extract.bin" "$mnt/"
  align_xfs_text=$(align_table "XFS with reflink" "$mnt" "$mnt")
  if [ "$only" != alignment ]; then
    cp --reflink=never "$work/patch.iso" "$work/spread.iso" "$mnt/"
    xfs_table_text=$(xfs_table "$mnt")
  fi
  umount "$mnt" && rm -f "$work/xfs.img"
  trap - EXIT
fi
xfs_table_text+=$why
align_xfs_text+=$why
align_text+=$'\n\n'$align_xfs_text

if [ "$only" = alignment ]; then
  # In place of the section of an earlier full run, or at the end.
  section=$align_text awk 'BEGIN { section = ENVIRON["section"] }
    /^## Copies by alignment/ { print section; skipping = 1; done = 1; next }
    skipping && /^## / { skipping = 0; print "" }
    !skipping { print }
    END { if (!done) print "\n" section }' "$top/BENCHMARKS.md" >"$top/BENCHMARKS.md.new"
  mv "$top/BENCHMARKS.md.new" "$top/BENCHMARKS.md"
  echo "$align_text"
  exit 0
fi

# The other cases, on the disk.
cd "$out"
mkdir -p run base rcopies
(mkdir -p files && cd files && "$tool" "$work/many.iso" <"$work/a.script" >/dev/null)
(mkdir -p tree && cd tree && "$tool" "$work/tree.iso" <"$work/x.script" >/dev/null)
(mkdir -p sums && cd sums && "$tool" "$work/spread.iso" <"$work/x.script" >/dev/null)
printf 'b' >rcopies/many
fresh="rm -rf '$out/run/out' && mkdir '$out/run/out' && sync"
cleared="rm -rf '$out/run/out' && sync"
rows=()
row() {  # row CASE "TOOL" BASELINE "BASE" LIMIT: measured triples "fastest median peak"
  local t tm m b bm
  read -r t tm m <<<"$2"
  echo "$m" >>"$peaks"
  if [ -z "$3" ]; then
    rows+=("| $1 | $(ms "$t") / $(ms "$tm") | $m | | | | $5 |")
    return
  fi
  read -r b bm _ <<<"$4"
  rows+=("| $1 | $(ms "$t") / $(ms "$tm") | $m | $3 | $(ms "$b") / $(ms "$bm") | $(ratio "$t" "$b") / $(ratio "$tm" "$bm") | ≤ $5: $(verdict "$(ratio "$t" "$b")" "$5") |")
}
row "g of a 1 GiB entry" "$(tool_run g "$out/run" "rm -f '$out/run/payload.bin'; sync" "$tool" "$work/patch.iso")" "" "" "memory only"
row "a on 5,000 entries of 4 KiB" "$(tool_run a "$out/run/out" "$fresh" "$tool" "$work/many.iso")" \
  "cp -r of the same files" "$(measure "$out/run" "$cleared" cp -r "$out/files" out)" 1.25
row "x of 5,000 files of 4 KiB in 50 directories" "$(tool_run x "$out/run/out" "$fresh" "$tool" "$work/tree.iso")" \
  "cp -r of the same tree" "$(measure "$out/run" "$cleared" cp -r "$out/tree" out)" 1.25
t_case=$(tool_run t "$out/base" : "$tool" "$work/deep.iso")
row "l of 100,000 entries (block size 2048)" "$(tool_run l "$out/base" : "$tool" "$work/wide.iso")" \
  "cat of the image" "$(measure "$out/base" : cat "$work/wide.iso")" 20
row "t of 100,000 entries in 100 directories" "$t_case" "cat of the image" "$(measure "$out/base" : cat "$work/deep.iso")" 20
row "t of 30,000 entries that all lead back to their directory" "$(tool_run t "$out/base" : "$tool" "$work/self.iso")" "" "" "under 1000 ms"
row "t of one directory of 2,000,000 files" "$(tool_run t "$out/base" : "$tool" "$work/flat.iso")" "" "" "under 8192 KiB"
row "u of one entry with 100,000 copies" "$(tool_run u "$out/rcopies" "rm -f '$out/rcopies/output.iso'" "$tool" "$work/copies.iso")" "" "" "under 1000 ms"
row "r of one entry with 100,000 copies" "$(tool_run r "$out/rcopies" "rm -f '$out/rcopies/output.iso'" "$tool" "$work/copies.iso")" "" "" "under 1000 ms"
row "v of 100,000 entries in 100 directories" "$(tool_run v "$out/base" : "$tool" "$work/deep.iso")" "t of the same image" "$t_case" 3
row "v of one directory of 100,000 entries" "$(tool_run v "$out/base" : "$tool" "$work/wide.iso")" "" "" "under 8192 KiB"
# Its target is 12 MiB, not the 8 MiB of every other case: its peak stays
# out of the line below the table.
row "v of one directory of 1,000,000 entries" "$(tool_run v "$out/base" : "$tool" "$work/wide1m.iso")" "" "" "under 12288 KiB"
sed -i '$d' "$peaks"
row "v of a 1 GiB image: 512 entries of 1 MiB, two copies each" "$(tool_run v "$out/base" : "$tool" "$work/twocopies.iso")" \
  "cat of the image" "$(measure "$out/base" : cat "$work/twocopies.iso")" 1.5
row "m of a 1 GiB image of 1,024 files" "$(tool_run m "$out/base" : "$tool" "$work/spread.iso")" \
  "sha256sum of the extracted files" "$(measure "$out/sums" : sh -c 'exec sha256sum -- *')" 1.1
# i and e, then w: the whole image copied, and the directory re-packed.
mkdir -p edit && for i in $(seq 0 999); do head -c 4096 /dev/urandom >"edit/new$i"; done
for edit in iadd eerase; do
  case $edit in
    iadd) label="i of 1,000 files of 4 KiB into a directory of 100,000 entries, then w (1 GiB image)" ;;
    eerase) label="e of 1,000 of those 100,000 entries, then w" ;;
  esac
  row "$label" "$(tool_run "$edit" "$out/edit" "rm -f '$out/edit/output.iso'; sync" "$tool" "$work/edit.iso")" \
    "cp of the image" "$(measure "$out/base" "rm -f '$out/base/copy'; sync" cp "$work/edit.iso" copy)" 1.1
done
if [ -z "$only" ]; then
  mount_text=$(mount_section)
  names_text=$(names_table "$out")
fi
out_fs=$(stat -f -c %T "$out")
cd "$work" && rm -rf "$out"
peak=$(sort -n "$peaks" | tail -n 1)

{
  echo "# Benchmarks"
  echo
  echo "Produced by \`bench/run.sh $runs\` on $(date -u +%Y-%m-%d): $runs runs of each case after one"
  echo "warm-up run (page cache warm for the tool and its baselines alike), shown as the fastest"
  echo "and the median, and the largest peak resident memory of the runs (\`/usr/bin/time -f %M\`)."
  echo "Cases that create files start every run from an empty directory after a \`sync\`."
  echo
  echo "Machine: $(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo),"
  echo "$(free -g | awk '/Mem:/ { print $2 }') GiB memory, Linux $(uname -r). Images on"
  echo "$(stat -f -c %T "$work") in $work; outputs on $out_fs beside them unless a table says otherwise."
  echo
  echo "## Copying: g, w, u and r against cp, cp --reflink=never and dd"
  echo
  echo "$disk_table"
  echo
  echo "$tmpfs_table"
  echo
  echo "$xfs_table_text"
  echo
  echo "## A patch instead of the image: u with --patch"
  echo
  echo "$patch_table_text"
  echo
  echo "$align_text"
  echo
  echo "## The other commands"
  echo
  echo "| case | tool fastest / median (ms) | tool peak (KiB) | baseline | baseline fastest / median (ms) | ratio: fastest / median | target |"
  echo "|---|---:|---:|---|---:|---:|---|"
  printf '%s\n' "${rows[@]}"
  echo
  echo "Peak memory of the tool in every case: $peak KiB (target under 8192 KiB: $(verdict "$peak" 8191))."
  echo
  echo "$mount_text"
  echo
  echo "$names_text"
} >"$top/BENCHMARKS.md.new"
if [ -f "$top/bench/NOTES.md" ]; then { echo; cat "$top/bench/NOTES.md"; } >>"$top/BENCHMARKS.md.new"; fi
mv "$top/BENCHMARKS.md.new" "$top/BENCHMARKS.md"
cat "$top/BENCHMARKS.md"
