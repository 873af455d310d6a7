#!/usr/bin/env bash
# Write benchmark on the emulated camera board: ZQDeviceWrite (called by
# name inside the real bootguard process) against flash_erase + nandwrite -p
# on NAND and flash_erase + flashcp -v on NOR, on the same 3 MiB image and
# 4 MiB partition, for a fresh write, an unchanged rewrite and an image with
# one changed block.  One boot; prints a table with the ratios of one run.
# Times are wall clock inside the emulated board, so only the ratios mean
# something for a real camera.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

"$board/setup.sh" >/dev/null
ensure_bootguard
build_initrd
nor=$out/bench-nor.img
dd if=/dev/zero bs=1M count=$((nor_bank_size >> 20)) status=none | tr '\0' '\377' > "$nor"
log=$out/bench.log
boot_once "$nor" "$log" bench || die "the benchmark boot failed (log: $log)"
grep -q '^@@BENCH-END' "$log" || die "the benchmark did not finish (log: $log)"
if grep -q '^@@INFO' "$log"; then
  sed -n 's/^@@INFO /warning: /p' "$log"
fi

echo "ZQDeviceWrite vs. the mtd-utils baseline, same 3 MiB image and 4 MiB partition"
echo "(NAND baseline: flash_erase + nandwrite -p; NOR baseline: flash_erase + flashcp -v)"
echo
printf '%-5s %-18s %14s %10s %12s\n' flash case ZQDeviceWrite baseline baseline/ZQ
marker "$log" BENCH | while read -r kind case zq base; do
  case $case in
    fresh) what="fresh write" ;;
    unchanged) what="unchanged rewrite" ;;
    *) what="one changed block" ;;
  esac
  ratio=$(awk -v z="$zq" -v b="$base" 'BEGIN { if (z > 0) printf "%.2f", b / z; else print "-" }')
  printf '%-5s %-18s %11s ms %7s ms %12s\n' "$kind" "$what" "$zq" "$base" "$ratio"
done
echo
echo "A ratio above 1: ZQDeviceWrite took less time than the baseline."
