#!/usr/bin/env bash
# The benchmarks on the emulated camera board: board/bench.sh [time] [memory]
# (both when none is named).
#
# time: `bootguard-flash write` against mtd-utils (flashcp -v; flash_erase +
# flashcp -v; flash_erase + nandwrite -p + a read-back compare) and against
# the floor of an unchanged rewrite (one busybox cat of the image file and
# the whole partition), for a fresh write, an unchanged rewrite and one
# changed block of a 3 MiB image in a 4 MiB partition, on NAND (nandsim,
# also with SLC chip timing) and NOR (qemu's CFI flash), in wall-clock time
# (the guest clock in real time, no -icount).  One boot; each case REPS
# times (default 5): the medians, the spread (min-max), and the erases,
# bytes programmed and bytes read of one more run.  Times are those of the
# emulated board: the ratios are what carries over to a camera.
# BENCH_CLOCK=instructions times the same cases on qemu's instruction clock
# (-icount shift=3: 8 ns per guest instruction, idle time skipped) instead:
# the same figures on a busy host, counting the work of the guest's CPU
# only (qemu's flash device itself takes no guest time).
#
# memory: on a camera with little memory (qemu -m 80, the kernel without its
# CMA area), the extra memory each tool needs to write a 16 MiB image held in
# /tmp and to read 16 MiB, and the largest image in /tmp each writes
# (guest/membench.sh); "before" is bootguard-flash as it was when it read
# the whole image into its heap, built from that commit.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

parts=("$@")
[ ${#parts[@]} -gt 0 ] || parts=(time memory)
heap_tool_commit=1a47779   # the last commit whose tool copied the image into its heap

"$board/setup.sh" >/dev/null
install_product
nor=$out/bench-nor.img

# median and spread of a comma-separated list of microseconds, in ms
stats() {
  tr ',' '\n' <<<"$1" | sort -n | awk '{ v[NR] = $1 } END {
    m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    printf "%.0f %.0f %.0f\n", m / 1000, v[1] / 1000, v[NR] / 1000 }'
}
mib() { awk -v b="$1" 'BEGIN { printf "%.2f", b / 1048576 }'; }

time_bench() {
  local logfile=$out/bench.log
  build_initrd
  make_blank_nor_image "$nor"
  local clock=(BOARD_REAL_TIME=1) what="wall clock"
  if [ "${BENCH_CLOCK:-}" = instructions ]; then
    clock=(BOARD_ICOUNT=shift=3,sleep=off) what="qemu's instruction clock (8 ns per instruction)"
    logfile=$out/bench-instructions.log
  fi
  (export "${clock[@]}" BOARD_MAX_BOOTS=1 BOARD_TIMEOUT=1800
    run_machine "$nor" "$logfile" bench "board.reps=${REPS:-5}") || die "the benchmark boot failed (log: $logfile)"
  grep -q '^@@BENCH-END' "$logfile" || die "the benchmark did not finish (log: $logfile)"
  sed -n 's/^@@INFO /warning: /p' "$logfile"
  echo "bootguard-flash write vs. mtd-utils, a 3 MiB image in a 4 MiB partition (\"uImage\"),"
  echo "$what on the emulated board, ${REPS:-5} runs each: median and spread (min-max)"
  echo
  printf '%-10s %-10s %-16s %8s %13s %6s %11s %9s %8s\n' \
    flash case tool "ms" "spread ms" erased "programmed" "read" "vs ours"
  declare -A ours
  while read -r flash case tool times; do
    read -r median low high < <(stats "$times")
    read -r erases programmed bytes_read < <(marker "$logfile" COUNT | awk -v k="$flash $case $tool" \
      '$1 " " $2 " " $3 == k { print $4, $5, $6 }') || die "no counts for $flash $case $tool"
    [ "$tool" != bootguard-flash ] || ours[$flash $case]=$median
    if [ "$tool" = floor ]; then
      ratio=$(awk -v t="$median" -v o="${ours[$flash unchanged]}" 'BEGIN { if (t > 0) printf "%.2f", o / t; else print "-" }')
    else
      ratio=$(awk -v t="$median" -v o="${ours[$flash $case]}" 'BEGIN { if (o > 0) printf "%.2f", t / o; else print "-" }')
    fi
    printf '%-10s %-10s %-16s %8s %13s %6s %7s MiB %5s MiB %8s\n' "$flash" "$case" "$tool" "$median" \
      "$low-$high" "$erases" "$(mib "$programmed")" "$(mib "$bytes_read")" "$ratio"
  done < <(marker "$logfile" BENCH)
  echo
  echo "\"vs ours\": the tool's median over bootguard-flash's in the same case (above 1: we are faster);"
  echo "for floor, bootguard-flash's unchanged rewrite over the floor."
  for flash in nand nand-timed nor; do
    floor=$(marker "$logfile" BENCH | awk -v f="$flash" '$1 == f && $3 == "floor" { print $4 }')
    [ -n "$floor" ] || continue
    read -r floor_ms _ < <(stats "$floor")
    awk -v f="$flash" -v o="${ours[$flash unchanged]}" -v d="$floor_ms" \
      'BEGIN { printf "%-10s unchanged rewrite / floor (one cat of image and partition): %d ms / %d ms = %.2f\n", f, o, d, o / d }'
  done
}

# bootguard-flash from the commit before images were mapped, for armhf.
build_heap_tool() {
  local source=$out/heap-tool
  [ ! -x "$out/bootguard-flash-heap" ] || return 0
  log "building bootguard-flash as of $heap_tool_commit"
  rm -rf "$source"
  mkdir -p "$source"
  git -C "$repo" archive "$heap_tool_commit" | tar -x -C "$source"
  (cd "$source" && cmake --preset armhf && cmake --build --preset armhf --target bootguard-flash) \
    > "$out/heap-tool.log" 2>&1 || die "building the earlier tool failed (log: $out/heap-tool.log)"
  cp "$source/build/armhf/bootguard-flash/bootguard-flash" "$out/bootguard-flash-heap"
  rm -rf "$source"
}

memory_bench() {
  local logfile=$out/membench.log
  build_heap_tool
  build_initrd
  make_blank_nor_image "$nor"
  BOARD_MEMORY=80 BOARD_MAX_BOOTS=1 BOARD_TIMEOUT=3600 run_machine "$nor" "$logfile" membench cma=0 ||
    die "the memory benchmark boot failed (log: $logfile)"
  grep -q '^@@MEMBENCH-END' "$logfile" || die "the memory benchmark did not finish (log: $logfile)"
  sed -n 's/^@@INFO /warning: /p' "$logfile"
  echo "Memory on a camera with little memory (qemu -m 80, no CMA area), NOR flash: MemAvailable"
  echo "before the command, the lowest sampled during it, and the extra memory the command took"
  echo
  printf '%-26s %-6s %9s %13s %13s %12s %7s\n' tool command image "before KiB" "lowest KiB" "extra KiB" status
  marker "$logfile" MEM | while read -r tool command bytes before lowest _ status; do
    printf '%-26s %-6s %5s MiB %13s %13s %12s %7s\n' "$(tool_name "$tool")" "$command" "$(mib "$bytes")" \
      "$before" "$lowest" $((before - lowest)) "$status"
  done
  echo
  echo "The largest image in /tmp each tool writes there (64 KiB steps, three tries per size;"
  echo "/tmp holds at most $(mib $(( $(marker "$logfile" TMP) * 1024 ))) MiB, all the memory available but 8 MiB):"
  marker "$logfile" LARGEST | while read -r tool bytes failing why; do
    printf '%-26s %8s MiB   (%s MiB: %s)\n' "$(tool_name "$tool")" "$(mib "$bytes")" "$(mib "$failing")" "$(failure "$why")"
  done
  echo "The OOM killer's victims in this boot (a 2 MiB reserve, memwatch --hold, is its second choice):"
  sed -n 's/^@@OOM .*Killed process [0-9]* (\([^)]*\)).*/\1/p' "$logfile" | sort | uniq -c | sed 's/^ */  /'
}

tool_name() {
  case $1 in
    bootguard-flash-heap) echo "bootguard-flash (before)" ;;
    flashcp) echo "flashcp -v" ;;
    *) echo "$1" ;;
  esac
}
failure() {
  case $1 in
    137) echo "killed by the OOM killer" ;;
    -) echo "past the partition's end" ;;
    no-room-for-the-image) echo "no room in /tmp for the image" ;;
    *) echo "exit status $1" ;;
  esac
}

for part in "${parts[@]}"; do
  case $part in
    time) time_bench ;;
    memory) memory_bench ;;
    *) die "unknown part $part (time, memory)" ;;
  esac
done
