#!/usr/bin/env bash
# The table of copies onto the disk and into tmpfs: g, w, u and r each
# writing its output into the directory, beside cp, cp --reflink=never and
# dd bs=1M copying the same bytes there; the tool's fastest and median time
# and theirs, and the ratio to the fastest baseline.
#
#   bench/copies.sh [RUNS]
# shellcheck source=bench/lib.sh
. "$(dirname "$0")/lib.sh"

# copy_table FS-NAME DIR IMAGES: g, w, u and r writing into DIR, each beside
# cp, cp --reflink=never and dd bs=1M of the same bytes; one table row each.
copy_table() {
  local name=$1 dir=$2 images=$3 case
  make_locals "$dir"
  echo "### Copies on $name ($(stat -f -c %T "$dir"))"
  echo
  echo "| case | tool fastest / median (ms) | cp | cp --reflink=never | dd bs=1M | ratio to the fastest baseline: fastest / median | target ≤ 1.05 |"
  echo "|---|---:|---:|---:|---:|---:|---|"
  for case in g w u rgrow rshrink; do copy_row "$case" "$dir" "$images"; done
  rm -rf "$dir"/{w,g,u,rgrow,rshrink,base}
  echo
}

# copy_row CASE DIR IMAGES: the row of one case of copy_table.
copy_row() {
  local case=$1 dir=$2 images=$3 t tm m cp cpm cpn cpnm dd ddm best bestm label
  local image=spread.iso sub=$case script=$case source
  case $case in
    g) image=extract.iso ;;
    w) image=patch.iso ;;
    rgrow | rshrink) script=r ;;
  esac
  read -r t tm m < <(tool_run "$script" "$dir/$sub" "rm -f '$dir/$sub/output.iso' '$dir/g/payload.bin'; sync" "$tool" "$images/$image")
  record_peak "$m"
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
  bestm=$(least "$cpm" "$cpnm" "$ddm")
  case $case in
    g) label="g of a 256 MiB entry" ;;
    w) label="w on a 1 GiB image (1 MiB replacement)" ;;
    u) label="u of 100 changed 1 MiB files on a 1 GiB image" ;;
    rgrow) label="r of 100 files of 1 MiB grown past their blocks" ;;
    rshrink) label="r of 100 files of 1 MiB shrunk to half" ;;
  esac
  echo "| $label | $(ms "$t") / $(ms "$tm") | $(ms "$cp") / $(ms "$cpm") | $(ms "$cpn") / $(ms "$cpnm") | $(ms "$dd") / $(ms "$ddm") | $(ratio "$t" "$best") / $(ratio "$tm" "$bestm") | $(verdict "$(ratio "$t" "$best")" 1.05) |"
}

need_images spread.iso patch.iso extract.iso extract.bin
fresh_dir "$out" "$shm"
echo "## Copying: g, w, u and r against cp, cp --reflink=never and dd"
echo
copy_table "the disk" "$out" "$work"
copy_table "tmpfs" "$shm" "$work"
rm -rf "$out" "$shm"
