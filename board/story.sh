#!/usr/bin/env bash
# The main job on the emulated camera board: bootguard judging four boots of
# a camera whose application is installed but does not start, until the
# fourth boot, when it does.
#
#   boot 1-2  application fails: bootguard counts the failed boot in
#             /customer/bootfailed and restarts the camera
#   boot 3    application fails again: bootguard asks U-Boot for the
#             recovery path (ota_upgrade_status=1 in "uenv") and restarts
#   boot 4    application runs: bootguard clears the counter
#
# Every boot is a separate run of qemu on the same NOR flash file, ended by
# bootguard's restart request (qemu runs with -no-reboot) or, after a healthy
# boot, by the board's init.  A boot that restarts ends at once, so the
# counter and the boot-loader variable it left are read at the start of the
# next boot; the last boot reads them after bootguard is done.
#
# Each boot takes about 40 s: bootguard waits 30 s before judging.  Logs:
# board/out/story/boot-N.log.  Installs and builds what it needs (setup.sh,
# the armhf preset).
set -euo pipefail
source "$(dirname "$0")/lib.sh"

"$board/setup.sh"
ensure_bootguard
build_initrd

story=$out/story
rm -rf "$story" && mkdir -p "$story"
nor=$story/nor.img
make_nor_image "$nor"
echo
echo "A new camera: factory flash image $(basename "$nor") (U-Boot environment with"
echo "ota_upgrade_status=0 in \"uenv\", the application installed as /customer/ipcamera)."

apps=(fails fails fails runs)
durations=()
for boot in 1 2 3 4; do
  app=${apps[boot - 1]}
  echo
  if [ "$app" = runs ]; then
    echo "== boot $boot: the application starts =="
  else
    echo "== boot $boot: the application is installed but does not start =="
  fi
  start=$(date +%s)
  boot_once "$nor" "$story/boot-$boot.log" camera "board.boot=$boot" "board.app=$app" ||
    die "boot $boot: qemu failed or timed out (log: $story/boot-$boot.log)"
  durations+=($(( $(date +%s) - start )))
  if [ "$boot" = 1 ]; then
    echo "flash partitions (/proc/mtd):"
    marker "$story/boot-1.log" MTD | sed 's/^/    /'
  fi
  grep -q '^@@BOOTGUARD-START' "$story/boot-$boot.log" ||
    die "boot $boot: bootguard did not start (log: $story/boot-$boot.log)"
  echo "before: /customer/bootfailed: $(marker "$story/boot-$boot.log" COUNTER-before)," \
    "fw_printenv: $(marker "$story/boot-$boot.log" ENV-before)"
  marker "$story/boot-$boot.log" APP | sed 's/^/app:    /'
  echo "bootguard:"
  bootguard_lines "$story/boot-$boot.log" | sed 's/^/    /'
  judged=$(bootguard_seconds "$story/boot-$boot.log" || true)
  if restarted "$story/boot-$boot.log"; then
    echo "-> bootguard restarted the camera ${judged:-?} s after it started (boot: ${durations[-1]} s)"
  else
    echo "-> bootguard returned ($(marker "$story/boot-$boot.log" BOOTGUARD-END)) ${judged:-?} s after it started;" \
      "the camera keeps running (boot: ${durations[-1]} s)"
  fi
done

echo
echo "== after the last boot =="
echo "/customer/bootfailed: $(marker "$story/boot-4.log" COUNTER-after)," \
  "fw_printenv: $(marker "$story/boot-4.log" ENV-after)"

# --- summary -------------------------------------------------------------------
# What each boot left behind is what the next boot found (the last boot's
# own "after" state closes the table).
state_after() {  # boot what(COUNTER|ENV)
  if [ "$1" -lt 4 ]; then
    marker "$story/boot-$(($1 + 1)).log" "$2-before"
  else
    marker "$story/boot-4.log" "$2-after"
  fi
}
echo
echo "=============================== summary ==============================="
printf '%-4s %-6s %-47s %-8s %s\n' boot app "bootguard's lines" counter ota_upgrade_status
for boot in 1 2 3 4; do
  lines=$(bootguard_lines "$story/boot-$boot.log" | paste -sd ';' | sed 's/;/; /g')
  env=$(state_after "$boot" ENV | sed 's/^ota_upgrade_status=//; s/ *$//')
  printf '%-4s %-6s %-47s %-8s %s\n' "$boot" "${apps[boot - 1]}" "$lines" \
    "$(state_after "$boot" COUNTER)" "$env"
done
echo "counter: /customer/bootfailed after the boot (JFFS2 on \"customer\");"
echo "ota_upgrade_status: fw_printenv after the boot (U-Boot environment in \"uenv\")."
echo "Boots 1-3 ended with bootguard's restart request; after boot 3 U-Boot"
echo "would take its recovery path."
