#!/usr/bin/env bash
# The target binary carries no C++ runtime: it needs the C library only.
# Prints the stripped size for the record.
#
#   check_lean.sh READELF STRIP BOOTGUARD
set -euo pipefail
readelf=$1 strip=$2 bootguard=$3

needed=$("$readelf" -d "$bootguard" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
if [ "$needed" != "libc.so.6 " ]; then
  echo "bootguard needs: $needed(expected libc.so.6 only)"
  exit 1
fi
stripped=$(mktemp)
trap 'rm -f "$stripped"' EXIT
"$strip" -o "$stripped" "$bootguard"
echo "bootguard needs libc.so.6 only; stripped size $(stat -c %s "$stripped") bytes"
