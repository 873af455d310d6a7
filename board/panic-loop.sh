#!/usr/bin/env bash
# What bootguard needs from the system around it, shown on the board: a
# boot that ends before the 30 s settle is over is never judged.
#
#   board/panic-loop.sh [--boots N] [--init busybox|systemd]
#
# The camera holds an update whose application makes the kernel panic 10 s
# after it starts, within the settle, and the kernel command line has
# panic=5: the kernel restarts the board 5 s after the panic, before
# bootguard judges.  The counter never rises, U-Boot's recovery path is
# never asked for, and the camera loops through the same broken boot; a
# kernel panic= delay (or a hardware watchdog timeout) longer than the
# settle would let bootguard count the boot.  Prints, per boot, the counter
# before and after and the guest seconds from bootguard's start to the
# panic's restart; the run is cut after N boots (default 4).  A
# demonstration, not a test.  Logs: board/out/panic-loop/.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

boots=4
while [ $# -gt 0 ]; do
  case $1 in
    --boots) boots=$2; shift 2 ;;
    --init) select_init "$2"; shift 2 ;;
    *) sed -n '2,16p' "$0"; exit 2 ;;
  esac
done
panic_delay=5

"$board/setup.sh" >/dev/null
install_product
build_initrd
dir=$out/panic-loop
rm -rf "$dir" && mkdir -p "$dir"
make_nor_image "$dir/nor.img" panic
# One boot more than shown, so that the last one shown has a successor
# whose state before is its state after; the run is cut there.
BOARD_MAX_BOOTS=$((boots + 1)) run_machine "$dir/nor.img" "$dir/run.log" camera "panic=$panic_delay" \
  > "$dir/machine.log" 2>&1 || true
found=$(split_boots "$dir/run.log" "$dir")
[ "$found" -gt "$boots" ] || die "only $found boots in the run (log: $dir/run.log)"

counter() { marker "$dir/boot-$1.log" COUNTER-before; }
flag() { marker "$dir/boot-$1.log" ENV-before | sed 's/^ota_upgrade_status=//'; }
# The kernel's time stamp of the panic; the restart follows it by the delay.
panic_at() { sed -n 's/^\[ *\([0-9]*\.[0-9]*\)\] Kernel panic - not syncing: .*/\1/p' "$dir/boot-$1.log" | head -n 1; }

counters="" flags="" seconds="" judged=0
for boot in $(seq 1 "$boots"); do
  log=$dir/boot-$boot.log
  start=$(bootguard_start "$log")
  panic=$(panic_at "$boot" | sed 's/\(\.[0-9][0-9]\)[0-9]*$/\1/')
  grep -q "Rebooting in $panic_delay seconds" "$log" || die "boot $boot: no panic restart (log: $log)"
  since=$(awk -v s="$start" -v p="$panic" -v d="$panic_delay" 'BEGIN { printf "%.1f", p + d - s }')
  printf 'boot %s: U-Boot %s path, counter %s -> %s, ota_upgrade_status=%s; bootguard started at %s s, the kernel panicked at %s s and restarted %s s after bootguard'"'"'s start\n' \
    "$boot" "$(uboot_path "$log")" "$(counter "$boot")" "$(counter $((boot + 1)))" "$(flag "$boot")" \
    "$start" "$panic" "$since"
  [ -z "$(bootguard_lines "$log")" ] || judged=$((judged + 1))
  counters+="$(counter "$boot") "
  flags+="$(flag "$boot") "
  seconds+="$since "
done
echo "panic loop: $boots boots with panic=$panic_delay, the kernel restarting" \
  "$(echo $seconds | tr ' ' '\n' | sort -n | sed -n '1p;$p' | paste -sd '-' | sed 's/^\([^-]*\)-\1$/\1/') s" \
  "(guest time) after bootguard's start; counter before each boot: $(echo $counters | tr ' ' '\n' | sort -u | paste -sd ,)," \
  "ota_upgrade_status: $(echo $flags | tr ' ' '\n' | sort -u | paste -sd ,); boots bootguard judged: $judged"
