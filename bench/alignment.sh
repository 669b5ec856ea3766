#!/usr/bin/env bash
# The tables of copies by alignment, on the disk, in tmpfs and on XFS with
# reflink: g of a 256 MiB entry on a page boundary and of one 2,048 bytes
# into a page, in turn with dd bs=1M of the same stretch, cp of a file of its
# bytes and the tool's own buffered loop (the plain POSIX build). Measured:
# the fastest and median time of each, and the tool's ratio to the fastest
# other.
#
#   bench/alignment.sh [RUNS]
# shellcheck source=bench/lib.sh
. "$(dirname "$0")/lib.sh"

# align_table FS-NAME DIR IMAGES: both entries' rows, writing into DIR. On
# XFS cp would share the file's blocks, which an entry off a page cannot:
# there it copies them.
align_table() {
  local name=$1 dir=$2 images=$3 at cp=cp
  if [ "$(stat -f -c %T "$dir")" = xfs ]; then cp="cp --reflink=never"; fi
  mkdir -p "$dir/g"
  echo "### g by alignment on $name ($(stat -f -c %T "$dir"))"
  echo
  echo "| entry | tool fastest / median (ms) | dd bs=1M | $cp of its bytes | buffered loop | ratio to the fastest other: fastest / median | target ≤ 1.05 |"
  echo "|---|---:|---:|---:|---:|---:|---|"
  for at in 32768 34816; do align_row "$dir" "$images" "$at" "$cp"; done
  rm -rf "$dir/g"
  echo
}

# align_row DIR IMAGES AT CP: the row of the entry at byte AT of its image.
align_row() {
  local dir=$1 images=$2 at=$3 cp=$4 results t tm d dm c cm l lm best bestm
  local image=extract.iso offset=0 label="256 MiB entry on a page boundary (byte 32768)"
  if [ "$at" = 34816 ]; then
    image=extract-odd.iso offset=2048 label="256 MiB entry 2,048 bytes into a page (byte 34816)"
  fi
  results=$(interleaved "$dir/g" "rm -f '$dir/g/payload.bin' '$dir/g/copy'; sync" \
    "'$tool' '$images/$image' $offset" \
    "dd if='$images/$image' of=copy bs=1M skip=$at count=$((256 << 20)) iflag=skip_bytes,count_bytes status=none" \
    "$cp '$images/extract.bin' copy" \
    "'$buffered_tool' '$images/$image' $offset")
  { read -r t tm; read -r d dm; read -r c cm; read -r l lm; } <<<"$results"
  best=$(least "$d" "$c" "$l")
  bestm=$(least "$dm" "$cm" "$lm")
  echo "| $label | $(ms "$t") / $(ms "$tm") | $(ms "$d") / $(ms "$dm") | $(ms "$c") / $(ms "$cm") | $(ms "$l") / $(ms "$lm") | $(ratio "$t" "$best") / $(ratio "$tm" "$bestm") | $(verdict "$(ratio "$t" "$best")" 1.05) |"
}

# The entry on XFS needs copies of the images on its file system.
xfs_align_table() {
  if xfs_mount; then
    cp --reflink=never "$work/extract.iso" "$work/extract-odd.iso" "$work/extract.bin" "$xfs/"
    align_table "XFS with reflink" "$xfs" "$xfs"
    xfs_unmount
  else
    printf '### g by alignment on XFS with reflink\n\nNot measured: %s\n' "$xfs_why"
  fi
}

need_images extract.iso extract-odd.iso extract.bin
fresh_dir "$out" "$shm"
echo "## Copies by alignment: g of an entry on a page boundary and off one"
echo
echo "The kernel's copy runs at full speed only where the entry's position and the"
echo "output's agree modulo the page size; elsewhere the tool's buffer copies."
echo
align_table "the disk" "$out" "$work"
align_table "tmpfs" "$shm" "$work"
xfs_align_table
rm -rf "$out" "$shm"
