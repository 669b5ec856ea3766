#!/usr/bin/env bash
# The table of names in one large directory: what x, u, r and m keep to tell
# local names apart in one directory of 1,000,000 and of 100,000 files (u, r
# and m after x, nothing changed, so every entry has its local file; one run
# each after the warm-up, as x creates a million files), and u and r where no
# local file is, against t of the same 2,000,000 entries. Measured: the
# fastest and median time and the peak memory of each; the peaks go to no
# other table.
#
#   bench/names.sh [RUNS]
# shellcheck source=bench/lib.sh
. "$(dirname "$0")/lib.sh"

# names_rows N: x of one directory of N files, then u, r and m over what it
# extracted, one run each after the warm-up.
names_rows() {
  local n=$1 dir=$out label limit image c t tm m saved=$runs
  label=$(sed ':a;s/\B[0-9]\{3\}\>/,&/;ta' <<<"$n")
  limit=$([ "$n" = 1000000 ] && echo 12288 || echo 8192)
  image="$work/flat$((n / 1000))k.iso"
  [ "$n" = 1000000 ] && image="$work/flat1m.iso"
  runs=1
  read -r t tm m < <(tool_run x "$dir/names" "rm -rf '$dir/names' && mkdir '$dir/names' && sync" "$tool" "$image")
  echo "| x of one directory of $label empty files | $(ms "$t") / $(ms "$tm") | $m | under $limit KiB: $(verdict "$m" $((limit - 1))) |"
  for c in u r m; do
    read -r t tm m < <(tool_run "$c" "$dir/names" : "$tool" "$image")
    echo "| $c of the same, after x, nothing changed | $(ms "$t") / $(ms "$tm") | $m | under $limit KiB: $(verdict "$m" $((limit - 1))) |"
  done
  runs=$saved
  rm -rf "$dir/names"
}

# u and r with no local file at all, against t of the same image.
no_local_rows() {
  local dir=$out c t tm m tt ttm
  mkdir -p "$dir/empty"
  read -r tt ttm m < <(tool_run t "$dir/empty" : "$tool" "$work/flat.iso")
  echo "| t of one directory of 2,000,000 files | $(ms "$tt") / $(ms "$ttm") | $m | |"
  for c in u r; do
    read -r t tm m < <(tool_run "$c" "$dir/empty" : "$tool" "$work/flat.iso")
    echo "| $c of the same, no local file | $(ms "$t") / $(ms "$tm") | $m | at most 2 × t: $(ratio "$t" "$tt") / $(ratio "$tm" "$ttm"), $(verdict "$(ratio "$t" "$tt")" 2) |"
  done
}

need_images flat.iso flat1m.iso flat100k.iso
fresh_dir "$out"
echo "## Names: one directory of many entries"
echo
echo "| case | tool fastest / median (ms) | tool peak (KiB) | target |"
echo "|---|---:|---:|---|"
names_rows 1000000
names_rows 100000
no_local_rows
echo
rm -rf "$out"
