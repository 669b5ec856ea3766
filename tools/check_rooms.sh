#!/usr/bin/env bash
# Checks that each room of src/ includes only the rooms below it, as the
# README's architecture section draws them, and that no #if on a platform
# stands outside src/platform/. CI runs it beside the format check.
set -euo pipefail
cd "$(dirname "$0")/.."
declare -A allowed=(
  [platform]=""
  [bytes]="platform"
  [volume]="platform bytes"
  [output]="platform bytes volume"
  [local]="platform bytes volume"
  [edit]="platform bytes volume output local"
  [mount]="platform volume local"
  [console]="platform bytes volume output local edit mount"
)
status=0
for file in src/*/*; do
  room=$(basename "$(dirname "$file")")
  if [ -z "${allowed[$room]+set}" ]; then
    echo "$file: src/$room/ is no room the architecture names"
    status=1
    continue
  fi
  while IFS= read -r included; do
    [ "$included" = "$room" ] && continue
    case " ${allowed[$room]} " in
      *" $included "*) ;;
      *) echo "$file: src/$room/ may not include src/$included/"; status=1 ;;
    esac
  done < <(sed -nE 's|^#include "([a-z_]+)/[^"]*".*|\1|p' "$file" | sort -u)
done
if grep -nE '^#\s*if.*(_WIN32|__linux__|__APPLE__|__unix__)' $(ls src/*/* | grep -v '^src/platform/'); then
  echo "platform conditionals belong in src/platform/"
  status=1
fi
exit $status
