#!/usr/bin/env bash
# Prints one SHA-256 line for every output a build of discshell makes: every
# session the test suite runs (status, standard output and error, and each
# file its directory holds afterwards), and the writes of the benchmark's
# kinds of image (w, u, r grown and shrunk, i, e, n and the bare w, --patch).
# Run it on the build of a commit before a change and after it, and diff the
# two: a change that only moves code must leave both lists alike.
#
#   tools/fingerprint_outputs.sh BUILD-DIR > fingerprints.txt
#
# The images and local files are made afresh from fixed seeds, so two runs
# on two builds see the same bytes.
set -euo pipefail
build=$(cd "$1" && pwd)
tool="$build/discshell"
mkimage="$build/discshell-mkimage"
work=$(mktemp -d)
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
[ -z "${KEEP:-}" ] || echo "kept in $work" >&2

# The test suite's sessions, recorded by the harness.
DISCSHELL_RECORD_OUTPUTS="$work/tests" ctest --test-dir "$build" -j2 >"$work/ctest.log" 2>&1 || {
  echo "the tests fail on $build" >&2
  tail -n 20 "$work/ctest.log" >&2
  exit 1
}

# bytes SEED COUNT: COUNT pseudo-random bytes, the same for the same SEED.
bytes() { head -c "$2" /dev/zero | openssl enc -aes-128-ctr -nosalt -pass "pass:$1" 2>/dev/null; }
fill() {  # fill IMAGE FROM-BYTE COUNT SEED
  bytes "$4" "$3" | dd of="$1" bs=1M seek="$2" oflag=seek_bytes conv=notrunc status=none
}
images="$work/images"
mkdir -p "$images"
cd "$images"
"$mkimage" many many.iso 2000 4096 && fill many.iso $((72 * 2048)) $((2000 * 4096)) many
"$mkimage" tree tree.iso 20 50 4096 && fill tree.iso $((83 * 2048)) $((1000 * 4096)) tree
"$mkimage" one-entry patch.iso 4 && fill patch.iso 32768 $((4 << 20)) patch
"$mkimage" many edit.iso 5000 1000 && fill edit.iso $((180 * 2048)) $((5000 * 1000)) edit

# session NAME IMAGE SETUP SCRIPT [OPTION...]: runs SCRIPT on IMAGE in a fresh
# directory after SETUP (run there), and keeps the outputs under NAME.
session() {
  local name=$1 image=$2 setup=$3 script=$4
  shift 4
  local dir="$work/bench/$name/files"
  mkdir -p "$dir"
  (cd "$dir" && eval "$setup" && printf '%s\nq\n' "$script" |
    "$tool" "$@" "$images/$image" >../stdout 2>../stderr; echo $? >../status) || true
}
locals() {  # locals SIZE-PLUS STEP: local files file0, fileSTEP, ... of 4096+SIZE-PLUS bytes
  for i in $(seq 0 "$2" 1999); do bytes "u$i$1" $((4096 + $1)) >"file$i"; done
}
session w many.iso 'bytes w 4000 >file7' 'w file7'
session u many.iso 'locals 0 97' 'u'
session rgrow many.iso 'locals 5000 89' 'r'
session rshrink many.iso 'locals -3000 83' 'r'
session upatch many.iso 'locals 0 97' 'u' --patch delta.vcdiff
session rpatch many.iso 'locals 5000 89' 'r' --patch delta.vcdiff
session treeu tree.iso 'mkdir dir7 && bytes t 4096 >dir7/file3' 'u'
session treer tree.iso 'mkdir dir7 && bytes t 9000 >dir7/file3' 'r'
session iadd edit.iso 'for i in $(seq 0 299); do bytes i$i $((i * 37)) >new$i; done' \
  "$(for i in $(seq 0 299); do echo "i new$i"; done; echo w)"
session eerase edit.iso : "$(for i in $(seq 0 50 4950); do echo "e file$i"; done; echo w)"
session rename edit.iso : "$(for i in $(seq 0 97 4900); do echo "n file$i renamed$i"; done; echo w)"
session ifolder tree.iso 'mkdir -p add/sub && for i in $(seq 0 40); do bytes f$i 3000 >add/sub/f$i; done' \
  $'i add\ne dir3\nn dir4 four\ni dir5/extra\nw' 
session editpatch edit.iso 'bytes x 5000 >extra' $'i extra\ne file9\nn file8 eight\nw' \
  --patch delta.vcdiff

cd "$work"
find tests bench -type f -print0 | sort -z | xargs -0 sha256sum
