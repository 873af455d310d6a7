#!/usr/bin/env bash
# The write benchmark on the emulated camera board, in wall-clock time (the
# guest clock in real time, no -icount): `bootguard-flash write` against
# mtd-utils (flashcp -v; flash_erase + flashcp -v; flash_erase + nandwrite
# -p + a read-back compare) and against the floor (one dd read of the
# partition), for a fresh write, an unchanged rewrite and one changed block
# of a 3 MiB image in a 4 MiB partition, on NAND (nandsim, also with SLC
# chip timing) and NOR (qemu's CFI flash).  One boot; each case REPS times
# (default 5): the medians, the spread (min-max), and the erases, bytes
# programmed and bytes read of one more run; then the peak memory of a
# 16 MiB image write.  Times are those of the emulated board: the ratios
# are what carries over to a camera.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

"$board/setup.sh" >/dev/null
install_product
build_initrd
nor=$out/bench-nor.img
make_blank_nor_image "$nor"
logfile=$out/bench.log
BOARD_REAL_TIME=1 BOARD_MAX_BOOTS=1 BOARD_TIMEOUT=1800 run_machine "$nor" "$logfile" bench "board.reps=${REPS:-5}" ||
  die "the benchmark boot failed (log: $logfile)"
grep -q '^@@BENCH-END' "$logfile" || die "the benchmark did not finish (log: $logfile)"
sed -n 's/^@@INFO /warning: /p' "$logfile"

# median and spread of a comma-separated list of microseconds, in ms
stats() {
  tr ',' '\n' <<<"$1" | sort -n | awk '{ v[NR] = $1 } END {
    m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    printf "%.0f %.0f %.0f\n", m / 1000, v[1] / 1000, v[NR] / 1000 }'
}
mib() { awk -v b="$1" 'BEGIN { printf "%.2f", b / 1048576 }'; }

echo "bootguard-flash write vs. mtd-utils, a 3 MiB image in a 4 MiB partition (\"uImage\"),"
echo "wall clock on the emulated board, ${REPS:-5} runs each: median and spread (min-max)"
echo
printf '%-10s %-10s %-16s %8s %13s %6s %11s %9s %8s\n' \
  flash case tool "ms" "spread ms" erased "programmed" "read" "vs ours"
declare -A ours
while read -r flash case tool times; do
  read -r median low high < <(stats "$times")
  read -r erases programmed bytes_read < <(marker "$logfile" COUNT | awk -v k="$flash $case $tool" \
    '$1 " " $2 " " $3 == k { print $4, $5, $6 }') || die "no counts for $flash $case $tool"
  [ "$tool" != bootguard-flash ] || ours[$flash $case]=$median
  base=${ours[$flash $case]:-${ours[$flash unchanged]:-}}
  ratio=$(awk -v t="$median" -v o="$base" 'BEGIN { if (o > 0) printf "%.2f", t / o; else print "-" }')
  printf '%-10s %-10s %-16s %8s %13s %6s %7s MiB %5s MiB %8s\n' "$flash" "$case" "$tool" "$median" \
    "$low-$high" "$erases" "$(mib "$programmed")" "$(mib "$bytes_read")" "$ratio"
done < <(marker "$logfile" BENCH)
echo
echo "\"vs ours\": the tool's median over bootguard-flash's in the same case (above 1: we are faster);"
echo "for dd-read, the floor, over bootguard-flash's unchanged rewrite."
for flash in nand nand-timed nor; do
  floor=$(marker "$logfile" BENCH | awk -v f="$flash" '$1 == f && $3 == "dd-read" { print $4 }')
  [ -n "$floor" ] || continue
  read -r floor_ms _ < <(stats "$floor")
  awk -v f="$flash" -v o="${ours[$flash unchanged]}" -v d="$floor_ms" \
    'BEGIN { printf "%-10s unchanged rewrite / floor (one dd read): %d ms / %d ms = %.2f\n", f, o, d, o / d }'
done
marker "$logfile" HWM | while read -r tool bytes kib; do
  echo "peak memory (VmHWM) of $tool write, $(mib "$bytes") MiB image: $kib KiB"
done
