#!/usr/bin/env bash
# The target binaries carry no C++ runtime: they need the C library only.
# Prints each one's stripped size for the record.
#
#   check_lean.sh READELF STRIP BINARY...
set -euo pipefail
readelf=$1 strip=$2
shift 2

stripped=$(mktemp)
trap 'rm -f "$stripped"' EXIT
for binary in "$@"; do
  name=$(basename "$binary")
  needed=$("$readelf" -d "$binary" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
  if [ "$needed" != "libc.so.6 " ]; then
    echo "$name needs: $needed(expected libc.so.6 only)"
    exit 1
  fi
  "$strip" -o "$stripped" "$binary"
  echo "$name needs libc.so.6 only; stripped size $(stat -c %s "$stripped") bytes"
done
