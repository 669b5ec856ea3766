#!/usr/bin/env bash
# The table of copies on XFS with reflink (a loop device; the part of the
# copying section after the disk and tmpfs): w, u and r writing their output
# there, where the copy of the image shares its blocks. Measured: the tool's
# fastest and median time, a cp that shares the blocks, and the blocks of the
# output shared with no other file against the data the case writes. Without
# root, mkfs.xfs or a loop device, the table says why it is missing.
#
#   bench/xfs.sh [RUNS]
# shellcheck source=bench/lib.sh
. "$(dirname "$0")/lib.sh"

# Bytes in the extents of FILE that it shares with no other file, in KiB.
unshared() {
  filefrag -v "$1" | awk '/blocks of/ { size = $(NF - 1) }
    /^ *[0-9]+:/ { split($0, f, ":"); if ($0 !~ /shared/) sum += f[4] }
    END { print sum * size / 1024 }'
}

# xfs_table MNT: the tool's time, and the blocks of its output that it shares
# with no other file, against the data it writes over the image.
xfs_table() {
  local mnt=$1 case
  make_locals "$mnt"
  mkdir -p "$mnt/u1" "$mnt/rgrow1" "$mnt/rshrink1"
  cp "$mnt/u/file0" "$mnt/u1/" && cp "$mnt/rgrow/file0" "$mnt/rgrow1/"
  cp "$mnt/rshrink/file0" "$mnt/rshrink1/"
  echo "### Copies on XFS with reflink (a loop device)"
  echo
  echo "| case | tool fastest / median (ms) | cp, sharing blocks (ms) | blocks not shared (KiB) | data written (KiB) | target |"
  echo "|---|---:|---:|---:|---:|---|"
  for case in w u1 rgrow1 rshrink1 u rgrow rshrink; do xfs_row "$mnt" "$case"; done
  echo
}

# xfs_row MNT CASE: the row of one case of xfs_table.
xfs_row() {
  local mnt=$1 case=$2 t tm m blocks cp ok
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
  record_peak "$m"
  sync
  blocks=$(unshared "$mnt/$case/output.iso")
  read -r cp _ _ < <(measure "$mnt/base" "rm -f '$mnt/base/copy'; sync" cp "$mnt/$image" copy)
  # The records r patches take a file system block each beside the data.
  ok=$(awk -v t="$t" -v b="$blocks" -v d="$data" -v l="$limit" \
    'BEGIN { print ((l ~ /50 ms/ && t >= 50000) || b > d + 64 ? "missed" : "met") }')
  echo "| $label | $(ms "$t") / $(ms "$tm") | $(ms "$cp") | $blocks | $data | $limit: $ok |"
}

if xfs_mount; then
  need_images patch.iso spread.iso
  cp --reflink=never "$work/patch.iso" "$work/spread.iso" "$xfs/"
  xfs_table "$xfs"
  xfs_unmount
else
  printf '### Copies on XFS with reflink\n\nNot measured: %s\n' "$xfs_why"
fi
