#!/usr/bin/env bash
# The table of reading through --mount: cat, find, ls -l and grep -r through
# the mount, each paired with the same reads of the image, or of the tree x
# extracted onto the disk, and run once untimed first, so the page cache
# (and the kernel's cache of the mount's entries) is as warm for the mount as
# for the baseline. Measured: the fastest and median time of each, the
# median of the pairs' ratios, and the mount server's peak memory. Without
# libfuse, /dev/fuse or fusermount3 the section says why it is missing.
#
#   bench/mount.sh [RUNS]
# shellcheck source=bench/lib.sh
. "$(dirname "$0")/lib.sh"

# The server runs in the foreground under /usr/bin/time: its peak memory is
# known once it is unmounted.
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

# mount_row CASE IMAGE SETUP "COMMAND" BASELINE "BASELINE-COMMAND" RATIO-LIMIT [MS-LIMIT]
# [BASELINE-SETUP]: COMMAND through the mount of IMAGE on $mnt, paired with
# BASELINE-COMMAND; a RATIO-LIMIT of - is no target, an MS-LIMIT (or "") bounds
# COMMAND's median.
mount_rows=()
mount_row() {
  local t tm b bm r limit="≤ $7" verdict_text
  mount_server "$work/$2"
  paired "$3" "$4" "$6" "${9:-}" >"$work/mount.times"
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

# Why this machine cannot measure the mount, or nothing where it can.
why_not_mounted() {
  local refusal
  refusal=$("$tool" --mount "$work" "$work/deep.iso" 2>&1 || true)
  if [[ $refusal == *"without libfuse"* ]]; then
    echo "this build of the tool has no --mount (built without libfuse 3)."
  elif ! [ -r /dev/fuse ] || ! [ -w /dev/fuse ]; then
    echo "/dev/fuse cannot be opened here."
  elif ! command -v fusermount3 >/dev/null; then
    echo "fusermount3 is not installed (Debian: fuse3)."
  fi
}

drop_page_cache() { sync && echo 3 >/proc/sys/vm/drop_caches; }

mount_rows_measured() {
  local dd_entry="dd if='$work/extract.iso' bs=1M skip=32768 count=\$((256 << 20)) iflag=skip_bytes,count_bytes status=none"
  mount_row "cat of a 256 MiB file" extract.iso : "cat '$mnt/payload.bin'" \
    "dd bs=1M of the same bytes from the image" "$dd_entry" 1.5
  mount_row "cat of a 256 MiB file, first read after mounting" extract.iso \
    "unmount_server && mount_server '$work/extract.iso'" "cat '$mnt/payload.bin'" \
    "dd bs=1M of the same bytes from the image" "$dd_entry" -
  # Cold: the page cache dropped before each read, the mount's and the image's.
  if [ -w /proc/sys/vm/drop_caches ]; then
    mount_row "cat of a 256 MiB file, page cache dropped before each read" extract.iso \
      drop_page_cache "cat '$mnt/payload.bin'" \
      "dd bs=1M of the same bytes from the image, page cache dropped" "$dd_entry" 2 "" \
      drop_page_cache
  else
    mount_rows+=("| cat of a 256 MiB file, page cache dropped before each read | not measured: /proc/sys/vm/drop_caches is not writable here (root only) | | | | ≤ 2 |")
  fi
  mount_row "find of 100,000 entries in 100 directories, counted by wc -l" deep.iso : "find '$mnt' | wc -l" \
    "the same over x's extraction on the disk" "find '$out/mdeep' | wc -l" 3 2000
  mount_row "ls -l of a directory of 100,000 entries" wide.iso : "ls -l '$mnt' >/dev/null" \
    "the same over x's extraction on the disk" "ls -l '$out/mwide' >/dev/null" 3 2000
  mount_row "ls -l of a directory of 1,000,000 entries" wide1m.iso : "ls -l '$mnt' >/dev/null" \
    "the same over x's extraction on the disk" "ls -l '$out/mwide1m' >/dev/null" 3
  mount_row "grep -r across a 1 GiB image of 1,024 files" spread.iso : \
    "grep -r -F needle-of-the-bench '$mnt'; true" "the same over x's extraction on the disk" \
    "grep -r -F needle-of-the-bench '$out/mspread'; true" 1.5
}

mount_section() {
  echo "## Reading through --mount"
  echo
  local why server_peak
  why=$(why_not_mounted)
  if [ -n "$why" ]; then
    echo "Not measured: $why"
    return
  fi
  : >"$server_peaks"
  mkdir -p "$out/mdeep" "$out/mwide" "$out/mwide1m" "$out/mspread"
  (cd "$out/mdeep" && "$tool" "$work/deep.iso" <"$work/x.script" >/dev/null)
  (cd "$out/mwide" && "$tool" "$work/wide.iso" <"$work/x.script" >/dev/null)
  (cd "$out/mwide1m" && "$tool" "$work/wide1m.iso" <"$work/x.script" >/dev/null)
  (cd "$out/mspread" && "$tool" "$work/spread.iso" <"$work/x.script" >/dev/null)
  mount_rows_measured
  rm -rf "$out/mdeep" "$out/mwide" "$out/mwide1m" "$out/mspread"
  echo "Each case runs once untimed, then $runs times in turn with its baseline; the ratio is"
  echo "the median of the pairs' ratios. The mount stays up between the runs (for the first"
  echo "read after mounting, each run mounts afresh)."
  echo "Machine load while measured (1, 5, 15 minutes): $(cut -d ' ' -f 1-3 /proc/loadavg)."
  echo
  echo "| case | through the mount fastest / median (ms) | baseline | baseline fastest / median (ms) | ratio: median of pairs | target |"
  echo "|---|---:|---|---:|---:|---|"
  printf '%s\n' "${mount_rows[@]}"
  echo
  server_peak=$(sort -n "$server_peaks" | tail -n 1)
  echo "Peak memory of the mount server in every case: $server_peak KiB (target under 16384 KiB: $(verdict "$server_peak" 16383))."
}

need_images deep.iso wide.iso wide1m.iso spread.iso extract.iso
fresh_dir "$out"
mount_section
rm -rf "$out"
