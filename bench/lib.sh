# shellcheck shell=bash
# shellcheck disable=SC2034  # the variables are for the scripts that source this
# What every table of the benchmark shares, sourced by bench/run.sh and by
# each table script (bench/TABLE.sh [RUNS], default 7 runs per case): the
# Release build of the tool, the images and how they are made, the scripts
# the cases read, the measuring helpers, and the file the tool's peaks go to.
#
# Images are built once on the disk in $BENCH_DIR (default
# /tmp/discshell-bench, about 4 GiB for every table) with random data, so
# nothing is sparse; a table makes only those it names to need_images. What
# the cases write goes to the disk too ($BENCH_OUT, default $BENCH_DIR/out),
# which a table empties before it starts and removes when done.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
runs=${1:-7}
work=${BENCH_DIR:-/tmp/discshell-bench}
out=${BENCH_OUT:-$work/out}
shm=/dev/shm/discshell-bench
build="$top/build-bench"
tool="$build/discshell"
# The plain POSIX build copies through its buffer only: the tool's own loop.
buffered_tool="$build-generic/discshell"
mkimage="$build/discshell-mkimage"
# Every peak of the tool goes to this file, which run.sh keeps for the whole
# run (the line below the other commands covers the tables before it); a
# table run alone starts it afresh.
peaks="$work/peaks"

# run.sh builds once and sets BENCH_WHOLE_RUN for the tables it runs.
build_tools() {
  cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$build" -j2 >/dev/null
  cmake -S "$top" -B "$build-generic" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DDISCSHELL_GENERIC_POSIX=ON >/dev/null
  cmake --build "$build-generic" -j2 --target discshell >/dev/null
}
if [ -z "${BENCH_WHOLE_RUN:-}" ]; then build_tools; fi
mkdir -p "$work"
cd "$work"
if [ -z "${BENCH_WHOLE_RUN:-}" ]; then : >"$peaks"; fi
record_peak() { echo "$1" >>"$peaks"; }
largest_peak() { sort -n "$peaks" | tail -n 1; }

fill() {  # fill FILE FROM-BYTE MIB: random data over a stretch of the file
  dd if=/dev/urandom of="$1" bs=1M count="$3" seek="$2" oflag=seek_bytes conv=notrunc status=none
}
# need_images NAME...: makes each image in $work that is not there yet.
need_images() {
  local name
  for name in "$@"; do
    if [ ! -f "$work/$name" ]; then make_image "$name"; fi
  done
}
# make_image NAME: builds the image under NAME.part and then names it, so
# that a run stopped half-way leaves no image that passes for complete.
make_image() {
  local part="$1.part"
  rm -f "$part"
  case $1 in
    # 1,024 entries of 1 MiB: 37 directory blocks.
    spread.iso) "$mkimage" many "$part" 1024 1048576; fill "$part" $((38 * 2048)) 1024 ;;
    # One directory of 2,000,000 empty files, each at a start block of its own
    # (146 MB); of 1,000,000 (73 MB), and of 100,000.
    flat.iso) "$mkimage" flat "$part" 2000000 ;;
    flat1m.iso) "$mkimage" flat "$part" 1000000 ;;
    flat100k.iso) "$mkimage" flat "$part" 100000 ;;
    wide.iso) "$mkimage" wide "$part" 100000 ;;
    deep.iso) "$mkimage" tree "$part" 100 1000 0 ;;
    extract.iso) "$mkimage" one-entry "$part" 256; fill "$part" 32768 256 ;;
    # The entry g copies out, as a file of its own: what cp copies for g.
    extract.bin)
      need_images extract.iso
      dd if=extract.iso of="$part" bs=1M skip=32768 iflag=skip_bytes status=none
      ;;
    # The same volume 2,048 bytes into its image (VOLUME-OFFSET 2048): the
    # entry then starts half-way into a page.
    extract-odd.iso)
      need_images extract.iso
      { head -c 2048 /dev/zero && cat extract.iso; } >"$part"
      ;;
    patch.iso) "$mkimage" one-entry "$part" 1024; fill "$part" 32768 1024 ;;
    # 5,000 entries of 4 KiB: 179 directory blocks, data from block 180 on.
    many.iso) "$mkimage" many "$part" 5000 4096; fill "$part" $((180 * 2048)) 20 ;;
    # 50 directories of 100 entries of 4 KiB: 2 + 50 * 4 directory blocks from block 1.
    tree.iso) "$mkimage" tree "$part" 50 100 4096; fill "$part" $((203 * 2048)) 20 ;;
    # One directory of 1,000,000 empty entries (73 MB), for what v keeps a name.
    wide1m.iso) "$mkimage" wide "$part" 1000000 ;;
    # A hostile shape: 30,000 entries that all lead back to the root, each with a
    # byte count of its own (2.1 MB).
    self.iso) "$mkimage" self "$part" 30000 ;;
    # One 1-byte entry with 100,000 copies, all of one block.
    copies.iso) "$mkimage" copies "$part" 100000 ;;
    # 512 entries of 1 MiB with two copies each: every copy 0 from block 21 on,
    # every copy 1 512 MiB further, the same random bytes, so v compares them all.
    twocopies.iso)
      "$mkimage" twocopies "$part" 512 1048576
      fill "$part" $((21 * 2048)) 512
      dd if="$part" of="$part" bs=1M count=$((512 << 20)) skip=$((21 * 2048)) \
        seek=$((21 * 2048 + (512 << 20))) iflag=skip_bytes,count_bytes oflag=seek_bytes \
        conv=notrunc status=none
      ;;
    # One directory of 100,000 entries of 10,000 bytes on 1 GiB (3,572 directory
    # blocks from block 1, the data from block 3,573 on), for i, e and w.
    edit.iso) "$mkimage" many "$part" 100000 10000; fill "$part" $((3573 * 2048)) 976 ;;
    # One subdirectory, dir0, of 100,000 empty entries (7 MB), for i by path.
    sub.iso) "$mkimage" tree "$part" 1 100000 0 ;;
    *) echo "bench: no recipe for the image $1" >&2 && return 1 ;;
  esac
  mv "$part" "$1"
}

# The scripts the cases read, in $work: one command and q each; iadd and
# eerase edit the directory of edit.iso, w's and g's write payload.bin.
script() { printf '%s\nq\n' "$1" >"$work/$2.script"; }
write_scripts() {
  local command i
  for command in a x l t u r v m; do script "$command" "$command"; done
  script 'w payload.bin' w
  script 'g payload.bin' g
  # i adds 1,000 local files of 4 KiB to that directory; e erases 1,000 of its
  # entries, spread through it; w then writes each.
  { for i in $(seq 0 999); do echo "i new$i"; done; printf 'w\nq\n'; } >"$work/iadd.script"
  { for i in $(seq 0 100 99900); do echo "e file$i"; done; printf 'w\nq\n'; } >"$work/eerase.script"
  # The same 1,000 files into the subdirectory dir0 of sub.iso, by path and after c.
  { for i in $(seq 0 999); do echo "i dir0/new$i"; done; printf 'w\nq\n'; } >"$work/ipath.script"
  { echo "c dir0" && for i in $(seq 0 999); do echo "i new$i"; done; printf 'w\nq\n'; } >"$work/iafterc.script"
  # i of a local folder of 99,999 files, then w.
  printf 'i folder\nw\nq\n' >"$work/ifolder.script"
}
write_scripts

# fresh_dir DIR...: each DIR empty, whatever an earlier run left there.
fresh_dir() { rm -rf "$@" && mkdir -p "$@"; }

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
# tool_run SCRIPT DIR SETUP COMMAND...: measure, discshell reading SCRIPT.
tool_run() { input="$work/$1.script"; shift; measure "$@"; input=/dev/null; }
ms() { awk -v us="$1" 'BEGIN { printf "%.1f", us / 1000 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
verdict() { awk -v v="$1" -v l="$2" 'BEGIN { print (v <= l ? "met" : "missed") }'; }
least() { printf '%s\n' "$@" | sort -n | head -n 1; }

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

# paired SETUP "COMMAND" "BASELINE" [BASELINE-SETUP]: both run by sh -c in
# $out, in turn, $runs times each after one untimed run of each, SETUP before
# every COMMAND and BASELINE-SETUP before every BASELINE (in this shell, so
# that it can mount afresh or drop the page cache), untimed; pairs keep the
# ratio meaningful while the machine's load drifts. Prints "fastest median"
# of each, in microseconds, and the median of the pairs' ratios.
paired() {
  local command_times=() baseline_times=() ratios=() start middle resumed end
  eval "$1" && (cd "$out" && sh -c "$2" </dev/null >/dev/null) || true
  (cd "$out" && sh -c "$3" </dev/null >/dev/null) || true
  for _ in $(seq "$runs"); do
    eval "$1"
    start=$(date +%s%N)
    (cd "$out" && sh -c "$2" </dev/null >/dev/null)
    middle=$(date +%s%N)
    eval "${4:-:}"
    resumed=$(date +%s%N)
    (cd "$out" && sh -c "$3" </dev/null >/dev/null)
    end=$(date +%s%N)
    command_times+=("$(((middle - start) / 1000))")
    baseline_times+=("$(((end - resumed) / 1000))")
    ratios+=("$(ratio "$((middle - start))" "$((end - resumed))")")
  done
  local median_line=$(((runs + 1) / 2)) times
  for times in "${command_times[*]}" "${baseline_times[*]}"; do
    times=$(tr ' ' '\n' <<<"$times" | sort -n)
    printf '%s %s ' "$(head -n 1 <<<"$times")" "$(sed -n "${median_line}p" <<<"$times")"
  done
  printf '%s\n' "$(printf '%s\n' "${ratios[@]}" | sort -n | sed -n "${median_line}p")"
}

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

# XFS with reflink on a loop device, for the tables that copy there too.
xfs="$work/xfs"
# xfs_mount: mounts a fresh 5 GiB XFS with reflink on $xfs until xfs_unmount
# (or the script's end); where it cannot, says why in $xfs_why and fails.
xfs_mount() {
  xfs_why=""
  if [ "$(id -u)" != 0 ]; then
    xfs_why="the script did not run as root, which mounting a loop device needs."
  elif ! command -v mkfs.xfs >/dev/null; then
    xfs_why="mkfs.xfs is not installed (Debian: xfsprogs)."
  elif ! { rm -f "$work/xfs.img" && truncate -s 5G "$work/xfs.img" &&
    mkfs.xfs -q -f -m reflink=1 "$work/xfs.img" && mkdir -p "$xfs" &&
    mount -o loop "$work/xfs.img" "$xfs"; } 2>/dev/null; then
    xfs_why="no loop device could be set up here."
  fi
  if [ -n "$xfs_why" ]; then return 1; fi
  trap 'umount "$xfs" 2>/dev/null; rm -f "$work/xfs.img"' EXIT
}
xfs_unmount() {
  umount "$xfs" && rm -f "$work/xfs.img"
  trap - EXIT
}
