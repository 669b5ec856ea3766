#!/usr/bin/env bash
# Measures discshell on large images, each case beside baseline tools that
# move the same bytes, and writes the tables to BENCHMARKS.md.
#
#   bench/run.sh [RUNS]          (default 7 runs per case)
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
work=${BENCH_DIR:-/tmp/discshell-bench}
out=${BENCH_OUT:-$work/out}
shm=/dev/shm/discshell-bench
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
# The entry g copies out, as a file of its own: what cp copies for g.
[ -f extract.bin ] || dd if=extract.iso of=extract.bin bs=1M skip=32768 iflag=skip_bytes status=none
# 5,000 entries of 4 KiB: 179 directory blocks, data from block 180 on.
[ -f many.iso ] || { "$mkimage" many many.iso 5000 4096 && fill many.iso $((180 * 2048)) 20; }
# 50 directories of 100 entries of 4 KiB: 2 + 50 * 4 directory blocks from block 1.
[ -f tree.iso ] || { "$mkimage" tree tree.iso 50 100 4096 && fill tree.iso $((203 * 2048)) 20; }
# 1,024 entries of 1 MiB: 37 directory blocks.
[ -f spread.iso ] || { "$mkimage" many spread.iso 1024 1048576 && fill spread.iso $((38 * 2048)) 1024; }
[ -f wide.iso ] || "$mkimage" wide wide.iso 100000
[ -f deep.iso ] || "$mkimage" tree deep.iso 100 1000 0
# Hostile shapes: 30,000 entries that all lead back to the root, each with a
# byte count of its own (2.1 MB); one directory of 2,000,000 empty files, each
# at a start block of its own (146 MB).
[ -f self.iso ] || "$mkimage" self self.iso 30000
[ -f flat.iso ] || "$mkimage" flat flat.iso 2000000
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

rm -rf "$out" "$shm" && mkdir -p "$out" "$shm"
disk_table=$(copy_table "the disk" "$out" "$work")
tmpfs_table=$(copy_table "tmpfs" "$shm" "$work")
rm -rf "$shm"

xfs_table_text="### Copies on XFS with reflink

Not measured: "
mnt="$work/xfs"
if [ "$(id -u)" != 0 ]; then
  xfs_table_text+="the script did not run as root, which mounting a loop device needs."
elif ! command -v mkfs.xfs >/dev/null; then
  xfs_table_text+="mkfs.xfs is not installed (Debian: xfsprogs)."
elif ! { rm -f "$work/xfs.img" && truncate -s 5G "$work/xfs.img" &&
  mkfs.xfs -q -f -m reflink=1 "$work/xfs.img" && mkdir -p "$mnt" &&
  mount -o loop "$work/xfs.img" "$mnt"; } 2>/dev/null; then
  xfs_table_text+="no loop device could be set up here."
else
  trap 'umount "$mnt" 2>/dev/null; rm -f "$work/xfs.img"' EXIT
  cp --reflink=never "$work/patch.iso" "$work/spread.iso" "$mnt/"
  xfs_table_text=$(xfs_table "$mnt")
  umount "$mnt" && rm -f "$work/xfs.img"
  trap - EXIT
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
  echo "## The other commands"
  echo
  echo "| case | tool fastest / median (ms) | tool peak (KiB) | baseline | baseline fastest / median (ms) | ratio: fastest / median | target |"
  echo "|---|---:|---:|---|---:|---:|---|"
  printf '%s\n' "${rows[@]}"
  echo
  echo "Peak memory of the tool in every case: $peak KiB (target under 8192 KiB: $(verdict "$peak" 8191))."
} >"$top/BENCHMARKS.md.new"
if [ -f "$top/bench/NOTES.md" ]; then { echo; cat "$top/bench/NOTES.md"; } >>"$top/BENCHMARKS.md.new"; fi
mv "$top/BENCHMARKS.md.new" "$top/BENCHMARKS.md"
cat "$top/BENCHMARKS.md"
