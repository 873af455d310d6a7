#!/usr/bin/env bash
# The main job: a camera with a broken application update, from its first
# failed boot to a healthy one, in one continuous run of the emulated board.
#
#   board/story.sh [--real-time] [--init busybox|systemd] [--flash cfi|spi]
#
#   boots 1-3  U-Boot's normal path; the application in "rootfs" cannot
#              start; bootguard counts the failed boots (counter 1, 2) and
#              restarts, and on the third asks U-Boot for its recovery path
#              (fw_setenv ota_upgrade_status 1)
#   boot 4     U-Boot's recovery path: the recovery system restores
#              "rootfs" from the golden copy in "factory" with
#              bootguard-flash, clears the flag and restarts
#   boot 5     U-Boot's normal path; the application runs; bootguard clears
#              the counter; the run ends after that healthy verdict
#
# One qemu process: every restart resets the board and U-Boot runs again on
# the same flash; nothing on the host steps in between boots.  The guest
# clock runs on executed instructions (-icount), so bootguard's 30 s settle
# passes in about a second; --real-time runs it in real time.  The camera's
# init is busybox init, or systemd with --init systemd (the recovery system
# is the same under both).  --flash spi plays it on the SPI NOR board
# (board/flash-image.sh), where the guest's /init makes U-Boot's choice of
# path from the stored environment.  Logs: board/out/story/ (with systemd:
# board/out/story-systemd/; on SPI NOR: board/out/story-spi/).  Installs and
# builds what it needs.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

while [ $# -gt 0 ]; do
  case $1 in
    --real-time) export BOARD_REAL_TIME=1; shift ;;
    --init) [ $# -ge 2 ] || die "--init needs busybox or systemd"; select_init "$2"; shift 2 ;;
    --flash) [ $# -ge 2 ] || die "--flash needs cfi or spi"; select_flash "$2"; shift 2 ;;
    *) sed -n '2,26p' "$0"; exit 2 ;;
  esac
done

started=$(date +%s.%N)
"$board/setup.sh" >/dev/null
install_product
build_initrd

story=$out/story
[ "$BOARD_INIT" = busybox ] || story=$story-$BOARD_INIT
[ "$BOARD_FLASH" = cfi ] || story=$story-$BOARD_FLASH
rm -rf "$story" && mkdir -p "$story"
nor=$story/nor.img
make_nor_image "$nor" broken
echo "A camera with a broken application update (factory flash image $(basename "$nor")):"
echo "  \"rootfs\" holds an application image whose program cannot start,"
echo "  \"factory\" the golden copy of the application image,"
echo "  \"uenv\" U-Boot's environment with ota_upgrade_status=0."
case $BOARD_INIT in
  busybox) starts="busybox init and the start scripts" ;;
  systemd) starts="systemd and the units" ;;
esac
case $BOARD_FLASH in
  cfi) loader="U-Boot" ;;
  spi) loader="on SPI NOR, the kernel (the guest's /init makes U-Boot's choice of path)" ;;
esac
echo "One run of the board: $loader, Linux, $starts, bootguard; every restart resets the board."

run_status=0
BOARD_MAX_BOOTS=8 BOARD_TIMEOUT=${BOARD_TIMEOUT:-600} run_machine "$nor" "$story/run.log" camera || run_status=$?
boots=$(split_boots "$story/run.log" "$story")

# What the boot found and left: the counter and the recovery flag.  A boot
# that restarts leaves what the next boot finds.
state() {  # boot before|after COUNTER|ENV
  local log=$story/boot-$1.log value
  if [ "$2" = after ] && [ "$1" -lt "$boots" ]; then
    log=$story/boot-$(($1 + 1)).log
    value=$(marker "$log" "$3-before")
  else
    value=$(marker "$log" "$3-$2")
  fi
  [ "$3" = COUNTER ] || value=${value#ota_upgrade_status=}
  echo "${value:-?}"
}
indent() { sed '2,$s/^/           /'; }
recovery_lines() {  # log: the recovery system's lines, its progress shortened
  sed -n '/^@@RECOVERY start/,/^@@RECOVERY \(done\|failed\)/p' "$1" |
    grep -v -e '^@@' -e '^\[ *[0-9]*\.[0-9]*\]' -e '^$' | sed 's/^recovery: //' |
    awk '/^bootguard-flash: [0-9]+%/ { if (!p++) print; last = $0; next }
         { if (last != "") { print "..."; print last; last = "" } print }
         END { if (last != "") { print "..."; print last } }'
}

for boot in $(seq 1 "$boots"); do
  log=$story/boot-$boot.log
  echo
  echo "== boot $boot =="
  echo "U-Boot:    $(uboot_env "$log") environment, $(grep -m1 -e '^U-Boot: ' -e '^@@LOADER ' "$log" |
    sed -e 's/^U-Boot: //' -e 's/^@@LOADER env=[a-z]* path=\([a-z]*\) /\1 path /' || echo "U-Boot's default boot")"
  echo "before:    /customer/bootfailed $(state "$boot" before COUNTER), ota_upgrade_status=$(state "$boot" before ENV)"
  if grep -q '^@@RECOVERY start' "$log"; then
    echo "recovery:  $(recovery_lines "$log" | indent)"
    echo "after:     /customer/bootfailed $(state "$boot" after COUNTER), ota_upgrade_status=$(state "$boot" after ENV)"
    echo "verdict:   the recovery system restarts the camera"
    continue
  fi
  echo "app:       $(marker "$log" APP | indent)"
  target=$(marker "$log" SYSTEMD | sed -n 's/^multi-user.target uptime=\([0-9.]*\) .*/\1/p')
  [ -z "$target" ] ||
    echo "systemd:   multi-user.target reached ${target} s (guest time) after the boot, bootguard started at $(bootguard_start "$log") s"
  echo "bootguard: $(bootguard_lines "$log" | indent)"
  echo "after:     /customer/bootfailed $(state "$boot" after COUNTER), ota_upgrade_status=$(state "$boot" after ENV)"
  if restarted "$log"; then
    echo "verdict:   bootguard restarted the camera $(bootguard_seconds "$log" || echo ?) s (guest time) after it started"
  elif grep -q '^@@BOOTGUARD-END' "$log"; then
    echo "verdict:   healthy; bootguard returned $(bootguard_seconds "$log" || echo ?) s (guest time) after it started"
  else
    echo "verdict:   none (the run ended first)"
  fi
done

echo
echo "=================================== summary ==================================="
printf '%-4s %-26s %-48s %-13s %s\n' boot "U-Boot" "bootguard / recovery" counter ota_upgrade_status
for boot in $(seq 1 "$boots"); do
  log=$story/boot-$boot.log
  if grep -q '^@@RECOVERY start' "$log"; then
    what="recovery: rootfs restored, flag cleared"
    grep -q '^@@RECOVERY done' "$log" || what="recovery: FAILED"
  else
    what=$(bootguard_lines "$log" | paste -sd ';' | sed 's/;/; /g')
  fi
  printf '%-4s %-26s %-48s %-13s %s\n' "$boot" "$(uboot_env "$log") env, $(uboot_path "$log") path" "$what" \
    "$(state "$boot" before COUNTER) -> $(state "$boot" after COUNTER)" \
    "$(state "$boot" before ENV) -> $(state "$boot" after ENV)"
done
echo "counter: /customer/bootfailed (JFFS2 on \"customer\"); ota_upgrade_status: fw_printenv (\"uenv\")."
printf 'Host time: %.0f s for the whole story (%s boots in one run).\n' \
  "$(echo "$(date +%s.%N) - $started" | bc)" "$boots"
[ "$run_status" = 0 ] || die "the run did not end by itself (log: $story/run.log)"
