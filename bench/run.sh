#!/usr/bin/env bash
# Measures discshell on large images, each case beside a baseline tool that
# moves the same bytes, and writes the table to BENCHMARKS.md.
#
#   bench/run.sh [RUNS]          (default 7 runs per case; the fastest is shown)
#
# Images are built in $BENCH_DIR (default /tmp/discshell-bench, about 3.6 GiB)
# with random data, so nothing is sparse. What the cases write goes to
# $BENCH_OUT (default /dev/shm/discshell-bench, up to 5.5 GiB of memory): on
# tmpfs the tool and its baseline are not at the mercy of the disk's
# writeback, which here stalls identical runs for up to seconds. Every case
# runs once untimed first, so the page cache is as warm for the tool as for
# its baseline; cases that create files start each run from an empty
# directory.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-7}
work=${BENCH_DIR:-/tmp/discshell-bench}
out=${BENCH_OUT:-/dev/shm/discshell-bench}
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
# 5,000 entries of 4 KiB: 179 directory blocks, data from block 180 on.
[ -f many.iso ] || { "$mkimage" many many.iso 5000 4096 && fill many.iso $((180 * 2048)) 20; }
# 50 directories of 100 entries of 4 KiB: 2 + 50 * 4 directory blocks from block 1.
[ -f tree.iso ] || { "$mkimage" tree tree.iso 50 100 4096 && fill tree.iso $((203 * 2048)) 20; }
# 1,024 entries of 1 MiB: 37 directory blocks.
[ -f spread.iso ] || { "$mkimage" many spread.iso 1024 1048576 && fill spread.iso $((38 * 2048)) 1024; }
[ -f wide.iso ] || "$mkimage" wide wide.iso 100000
[ -f deep.iso ] || "$mkimage" tree deep.iso 100 1000 0

# --- The tree walk on hostile shapes: what it costs and what it keeps. ---
# 30,000 entries that all lead back to the root, each with a byte count of its
# own (2.1 MB): one walk decides them all.
[ -f self.iso ] || "$mkimage" self self.iso 30000
# One directory of 2,000,000 empty files, each at a start block of its own
# (146 MB): nothing is kept per file.
[ -f flat.iso ] || "$mkimage" flat flat.iso 2000000
# --- end of the hostile shapes ---
[ -f copies.iso ] || "$mkimage" copies copies.iso 100000  # for r, below
rm -rf "$out" && mkdir -p "$out" && cd "$out" && mkdir -p run base w g u
head -c $((1 << 20)) /dev/urandom > w/payload.bin  # the replacement w writes in
for i in $(seq 0 10 990); do head -c $((1 << 20)) /dev/urandom > "u/file$i"; done  # 100 changed files
script() { printf '%s\nq\n' "$1" > "$work/$2"; }
script 'w payload.bin' w.script
script 'g payload.bin' g.script
script a a.script
script x x.script
script l l.script
script t t.script
script u u.script
# The baselines copy what the tool writes.
(mkdir -p files && cd files && "$tool" "$work/many.iso" <"$work/a.script" >/dev/null)
(mkdir -p tree && cd tree && "$tool" "$work/tree.iso" <"$work/x.script" >/dev/null)

# measure DIR STDIN SETUP COMMAND...: runs SETUP in $out (untimed) and then
# COMMAND in DIR with STDIN, $runs times after a warm-up; prints
# "fastest-microseconds peak-KiB" (the peak of all runs). The fastest run, not
# the median: on the machines this runs on, identical runs that write a lot
# stall for seconds now and then while the kernel writes back, and those
# stalls say nothing about the tool or its baseline.
measure() {
  local dir=$1 input=$2 setup=$3; shift 3
  local times=() peak=0 start end kib
  (cd "$out" && eval "$setup") && (cd "$dir" && "$@" <"$input" >/dev/null)
  for _ in $(seq "$runs"); do
    (cd "$out" && eval "$setup")
    start=$(date +%s%N)
    kib=$(cd "$dir" && /usr/bin/time -f "%M" "$@" <"$input" 2>&1 >/dev/null | tail -n 1)
    end=$(date +%s%N)
    times+=("$(((end - start) / 1000))")
    if [ "$kib" -gt "$peak" ]; then peak=$kib; fi
  done
  printf '%s %s\n' "$(printf '%s\n' "${times[@]}" | sort -n | head -n 1)" "$peak"
}
fresh='rm -rf run/out && mkdir run/out && sync'
cleared='rm -rf run/out && sync'

read -r w_t w_m < <(measure w "$work/w.script" "rm -f w/output.iso && sync" "$tool" "$work/patch.iso")
read -r cp_t cp_m < <(measure base /dev/null "rm -f base/copy.iso && sync" cp "$work/patch.iso" copy.iso)
read -r g_t g_m < <(measure g "$work/g.script" "rm -f g/payload.bin && sync" "$tool" "$work/extract.iso")
read -r dd_t dd_m < <(measure base /dev/null "rm -f base/dd.bin && sync" dd if="$work/extract.iso" of=dd.bin bs=1M \
  skip=32768 count=$((256 << 20)) iflag=skip_bytes,count_bytes status=none)
read -r big_t big_m < <(measure g "$work/g.script" "rm -f g/payload.bin && sync" "$tool" "$work/patch.iso")
read -r a_t a_m < <(measure run/out "$work/a.script" "$fresh" "$tool" "$work/many.iso")
read -r acp_t acp_m < <(measure run /dev/null "$cleared" cp -r "$out/files" out)
read -r x_t x_m < <(measure run/out "$work/x.script" "$fresh" "$tool" "$work/tree.iso")
read -r xcp_t xcp_m < <(measure run /dev/null "$cleared" cp -r "$out/tree" out)
read -r u_t u_m < <(measure u "$work/u.script" "rm -f u/output.iso && sync" "$tool" "$work/spread.iso")
read -r ucp_t ucp_m < <(measure base /dev/null "rm -f base/copy.iso && sync" cp "$work/spread.iso" copy.iso)
read -r l_t l_m < <(measure base "$work/l.script" : "$tool" "$work/wide.iso")
read -r cat_t cat_m < <(measure base /dev/null : cat "$work/wide.iso")
read -r t_t t_m < <(measure base "$work/t.script" : "$tool" "$work/deep.iso")
read -r tcat_t tcat_m < <(measure base /dev/null : cat "$work/deep.iso")
# --- hostile shapes: time and peak memory only ---
read -r self_t self_m < <(measure base "$work/t.script" : "$tool" "$work/self.iso")
read -r flat_t flat_m < <(measure base "$work/t.script" : "$tool" "$work/flat.iso")
# --- end of the hostile shapes ---

# ---- r: files of any size -------------------------------------------------
# r of 100 of the 1 MiB entries of spread.iso, each grown past its blocks
# (moved to the end), and each shrunk to half (in place); u and r of one
# entry with 100,000 copies, all of one block. Each against cp of the image.
mkdir -p rgrow rshrink rcopies
for i in $(seq 0 10 990); do
  head -c $(((1 << 20) + 1)) /dev/urandom > "rgrow/file$i"
  head -c $((1 << 19)) /dev/urandom > "rshrink/file$i"
done
printf 'b' > rcopies/many
script r r.script
read -r rg_t rg_m < <(measure rgrow "$work/r.script" "rm -f rgrow/output.iso && sync" "$tool" "$work/spread.iso")
read -r rs_t rs_m < <(measure rshrink "$work/r.script" "rm -f rshrink/output.iso && sync" "$tool" "$work/spread.iso")
read -r uc_t uc_m < <(measure rcopies "$work/u.script" "rm -f rcopies/output.iso" "$tool" "$work/copies.iso")
read -r rc_t rc_m < <(measure rcopies "$work/r.script" "rm -f rcopies/output.iso" "$tool" "$work/copies.iso")
# ---- end of r -------------------------------------------------------------

# --- v and m: checking a whole volume, and checksums -------------------------
# twocopies.iso: 512 entries of 1 MiB with two copies each, 20 directory blocks,
# then every copy 0 from block 21 on and every copy 1 512 MiB further; the
# copies 1 are the same random bytes as the copies 0, so v compares them all.
cd "$work"
if [ ! -f twocopies.iso ]; then
  "$mkimage" twocopies twocopies.iso 512 1048576
  fill twocopies.iso $((21 * 2048)) 512
  dd if=twocopies.iso of=twocopies.iso bs=1M count=512 skip=$((21 * 2048)) seek=$((21 * 2048 + (512 << 20))) \
    iflag=skip_bytes,count_bytes oflag=seek_bytes conv=notrunc status=none
fi
script v v.script
script m m.script
cd "$out"
(mkdir -p sums && cd sums && "$tool" "$work/spread.iso" <"$work/x.script" >/dev/null)
read -r v_t v_m < <(measure base "$work/v.script" : "$tool" "$work/deep.iso")
read -r vc_t vc_m < <(measure base "$work/v.script" : "$tool" "$work/twocopies.iso")
read -r vcat_t vcat_m < <(measure base /dev/null : cat "$work/twocopies.iso")
read -r m_t m_m < <(measure base "$work/m.script" : "$tool" "$work/spread.iso")
read -r sum_t sum_m < <(measure "$out/sums" /dev/null : sh -c 'exec sha256sum -- *')
# --- end of v and m ----------------------------------------------------------

out_fs=$(stat -f -c %T "$out")
cd "$work" && rm -rf "$out"

ms() { awk -v us="$1" 'BEGIN { printf "%.1f", us / 1000 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
verdict() {  # verdict VALUE LIMIT
  awk -v v="$1" -v l="$2" 'BEGIN { print (v <= l ? "met" : "missed") }'
}
row() {  # row CASE TOOL-US TOOL-KIB BASELINE BASE-US BASE-KIB LIMIT
  echo "| $1 | $(ms "$2") | $3 | $4 | $(ms "$5") | $6 | $(ratio "$2" "$5") | ≤ $7: $(verdict "$(ratio "$2" "$5")" "$7") |"
}

{
  echo "# Benchmarks"
  echo
  echo "Produced by \`bench/run.sh $runs\` on $(date -u +%Y-%m-%d): the fastest wall time of $runs runs"
  echo "after one warm-up run (page cache warm for the tool and its baseline alike), and the"
  echo "largest peak resident memory of those runs (\`/usr/bin/time -f %M\`). Cases that create"
  echo "files start every run from an empty directory after a \`sync\`, tool and baseline alike."
  echo "Why the fastest and not the median: see the notes below the table."
  echo
  echo "Machine: $(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo),"
  echo "$(free -g | awk '/Mem:/ { print $2 }') GiB memory, Linux $(uname -r), images on"
  echo "$(stat -f -c %T "$work") in $work, written to $out_fs in $out."
  echo
  echo "| case | tool (ms) | tool peak (KiB) | baseline | baseline (ms) | baseline peak (KiB) | ratio | target |"
  echo "|---|---:|---:|---|---:|---:|---:|---|"
  row "w on a 1 GiB image (1 MiB replacement)" "$w_t" "$w_m" "cp of the image" "$cp_t" "$cp_m" 1.1
  row "g of a 256 MiB entry" "$g_t" "$g_m" "dd bs=1M of the same bytes" "$dd_t" "$dd_m" 1.1
  echo "| g of a 1 GiB entry | $(ms "$big_t") | $big_m | | | | | memory only |"
  row "a on 5,000 entries of 4 KiB" "$a_t" "$a_m" "cp -r of the same files" "$acp_t" "$acp_m" 1.25
  row "x of 5,000 files of 4 KiB in 50 directories" "$x_t" "$x_m" "cp -r of the same tree" "$xcp_t" "$xcp_m" 1.25
  row "u of 100 changed 1 MiB files on a 1 GiB image" "$u_t" "$u_m" "cp of the image" "$ucp_t" "$ucp_m" 1.1
  row "r of 100 files of 1 MiB, each grown past its blocks, on a 1 GiB image" "$rg_t" "$rg_m" "cp of the image" "$ucp_t" "$ucp_m" 1.1
  row "r of 100 files of 1 MiB, each shrunk in place, on a 1 GiB image" "$rs_t" "$rs_m" "cp of the image" "$ucp_t" "$ucp_m" 1.1
  echo "| u of one entry with 100,000 copies | $(ms "$uc_t") | $uc_m | | | | | under 1000 ms: $(verdict "$uc_t" 999999) |"
  echo "| r of one entry with 100,000 copies | $(ms "$rc_t") | $rc_m | | | | | under 1000 ms: $(verdict "$rc_t" 999999) |"
  row "l of 100,000 entries (block size 2048)" "$l_t" "$l_m" "cat of the image" "$cat_t" "$cat_m" 20
  row "t of 100,000 entries in 100 directories" "$t_t" "$t_m" "cat of the image" "$tcat_t" "$tcat_m" 20
  echo "| t of 30,000 entries that all lead back to their directory | $(ms "$self_t") | $self_m | | | | | ≤ 1000 ms: $(verdict "$(ms "$self_t")" 1000) |"
  echo "| t of one directory of 2,000,000 files | $(ms "$flat_t") | $flat_m | | | | | < 8192 KiB: $(verdict "$flat_m" 8191) |"
  echo
  peak=$(printf '%s\n' "$w_m" "$g_m" "$big_m" "$a_m" "$x_m" "$u_m" "$l_m" "$t_m" "$self_m" "$flat_m" "$rg_m" "$rs_m" "$uc_m" "$rc_m" | sort -n | tail -n 1)
  row "v of 100,000 entries in 100 directories" "$v_t" "$v_m" "t of the same image" "$t_t" "$t_m" 3
  row "v of a 1 GiB image: 512 entries of 1 MiB, two copies each" "$vc_t" "$vc_m" "cat of the image" "$vcat_t" "$vcat_m" 1.5
  row "m of a 1 GiB image: 1,024 entries of 1 MiB" "$m_t" "$m_m" "sha256sum of the extracted files" "$sum_t" "$sum_m" 1.1
  echo
  peak=$(printf '%s\n' "$w_m" "$g_m" "$big_m" "$a_m" "$x_m" "$u_m" "$l_m" "$t_m" "$v_m" "$vc_m" "$m_m" |
    sort -n | tail -n 1)
  echo "Peak memory of the tool in every case: $peak KiB (target under 8192 KiB: $(verdict "$peak" 8191))."
} >"$top/BENCHMARKS.md.new"
if [ -f "$top/bench/NOTES.md" ]; then { echo; cat "$top/bench/NOTES.md"; } >>"$top/BENCHMARKS.md.new"; fi
mv "$top/BENCHMARKS.md.new" "$top/BENCHMARKS.md"
cat "$top/BENCHMARKS.md"
