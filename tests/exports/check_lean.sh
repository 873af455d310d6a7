#!/usr/bin/env bash
# The target binaries carry no C++ runtime: they need the C library only,
# and the dynamic loader they name as their interpreter, which is mapped
# into every dynamic program anyway (on ARM, glibc keeps the stack
# protector's canary there).  Prints each one's stripped size for the
# record.
#
#   check_lean.sh READELF STRIP BINARY...
set -euo pipefail
readelf=$1 strip=$2
shift 2

stripped=$(mktemp)
trap 'rm -f "$stripped"' EXIT
for binary in "$@"; do
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
  echo "$name needs libc.so.6 only$besides; stripped size $(stat -c %s "$stripped") bytes"
done
