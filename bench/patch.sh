#!/usr/bin/env bash
# The table of --patch: u of 100 changed 1 MiB files on a 1 GiB image
# writing a VCDIFF delta instead of the image, in runs paired with cat
# writing the same 100 MiB from the same files into one file, and with
# xdelta3 finding a delta from the image and the output.iso -o writes. The
# delta is first checked to give that output.iso. Measured: the medians,
# the paired ratios, the tool's peak and both deltas' sizes.
#
#   bench/patch.sh [RUNS]
# shellcheck source=bench/lib.sh
. "$(dirname "$0")/lib.sh"

# patch_table DIR: u of 100 changed 1 MiB files on a 1 GiB image with
# --patch, in runs paired with its yardsticks, so that a machine whose speed
# drifts moves both alike: writing the same 100 MiB from the same files to one
# file with cat, and (fewer runs: it takes seconds) xdelta3 finding a delta
# from the image and the output.iso that -o writes.
patch_table() {
  local dir=$1 i t m c x peak=0 size xsize times=() cats=() xds=() toCat=() toXd=()
  make_locals "$dir"
  local u="$dir/u" base="$dir/base" image="$work/spread.iso"
  input="$work/u.script"
  check_delta "$u" "$base" "$image"
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
  record_peak "$peak"
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

# check_delta U BASE IMAGE: the untimed run of u with -o and with --patch in
# U; xdelta3 must make BASE/output.iso from the image and the delta, or the
# table stops.
check_delta() {
  local u=$1 base=$2 image=$3
  (cd "$u" && "$tool" -o "$base/output.iso" "$image" <"$input" >/dev/null)
  (cd "$u" && "$tool" --patch "$base/p.vcdiff" "$image" <"$input" >/dev/null)
  xdelta3 -d -f -s "$image" "$base/p.vcdiff" "$base/check.iso"
  cmp -s "$base/check.iso" "$base/output.iso" || { echo "the delta does not give output.iso" >&2; exit 1; }
  rm -f "$base/check.iso"
}

need_images spread.iso
fresh_dir "$out"
echo "## A patch instead of the image: u with --patch"
echo
patch_table "$out"
rm -rf "$out"
