#!/usr/bin/env bash
# The target binaries carry no C++ runtime: they need the C library only,
# and the dynamic loader they name as their interpreter, which is mapped
# into every dynamic program anyway (on ARM, glibc keeps the stack
# protector's canary there).  Prints each one's stripped size, and how much
# code and constants it can still take before the file grows: the writable
# segment starts where RELRO ends on a page boundary, so the file grows a
# page at a time.  BINARY=MAX fails when the stripped file is above MAX
# bytes (the camera's budget for bootguard).
#
#   check_lean.sh READELF STRIP BINARY[=MAX]...
set -euo pipefail
readelf=$1 strip=$2
shift 2

stripped=$(mktemp)
trap 'rm -f "$stripped"' EXIT
for argument in "$@"; do
  binary=${argument%=*} max=""
  [ "$binary" = "$argument" ] || max=${argument##*=}
  name=$(basename "$binary")
  interpreter=$("$readelf" -lW "$binary" | sed -n 's/.*Requesting program interpreter: .*\/\(.*\)\]/\1/p')
  all_needed=$("$readelf" -d "$binary" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  needed=$(grep -vxF "$interpreter" <<<"$all_needed" | sort | tr '\n' ' ' || true)
  if [ "$needed" != "libc.so.6 " ]; then
    echo "$name needs: $needed(expected libc.so.6 only, besides its interpreter $interpreter)"
    exit 1
  fi
  besides=""
  ! grep -qxF "$interpreter" <<<"$all_needed" || besides=" (and its interpreter $interpreter)"
  "$strip" -o "$stripped" "$binary"
  size=$(stat -c %s "$stripped")
  # Room: from the end of the read-only load segments to the file offset
  # of the last, the writable one.
  mapfile -t loads < <("$readelf" -lW "$stripped" | awk '$1 == "LOAD" { print $2, $5 }')
  read -r below_offset below_size <<<"${loads[-2]}"
  read -r writable_offset _ <<<"${loads[-1]}"
  room=$((writable_offset - below_offset - below_size))
  echo "$name needs libc.so.6 only$besides; stripped size $size bytes, $room bytes of code and constants before it grows by a page"
  if [ -n "$max" ] && [ "$size" -gt "$max" ]; then
    echo "$name: stripped size $size bytes, above its budget of $max"
    exit 1
  fi
done
