#!/usr/bin/env bash
# The main job: a camera with a broken update, from the update's first boot
# to the healthy boot after recovery, in one continuous run of the emulated
# board.
#
#   board/story.sh [--update KIND] [--real-time] [--init busybox|systemd]
#                  [--flash cfi|spi] [--env NAME=VALUE]... [--uboot debian]
#
# The update is on trial (upgrade_available=1, bootcount=0, as the installer
# leaves it), and U-Boot counts its boots (share/bootguard/u-boot-bootcount.env,
# bootlimit 5).  KIND, the kind of broken update:
#   broken      (default) the application cannot start: boots 1-3 U-Boot's
#               normal path, bootguard counts the failed boots (counter 1,
#               2) and restarts, and on the third asks U-Boot for recovery
#               (fw_setenv ota_upgrade_status 1); boot 4 U-Boot's recovery
#               path: the recovery system restores "rootfs" from the golden
#               copy in "factory" with bootguard-flash, clears the flag and
#               the count and restarts; boot 5 the normal path, healthy
#   panic       the kernel panics 10 s after the application starts, with
#               panic=5: no boot lives to bootguard's verdict; U-Boot counts
#               boots 1-5 and takes the recovery path on boot 6
#   hang        the application arms the watchdog (softdog) and hangs: the
#               watchdog restarts each boot before the verdict; recovery on
#               boot 6
#   nocustomer  the update names a file system /customer does not hold:
#               /customer cannot be mounted and bootguard's counter cannot
#               rise; recovery on boot 6
# or a good update:
#   good        boot 1 counted by U-Boot and healthy: bootguard's verdict
#               ends the trial (the start file clears upgrade_available and
#               bootcount); boots 2-4 a healthy camera not on trial, each
#               restarted after its verdict: U-Boot writes nothing
# Each boot shows U-Boot's path, its count and its saves of the environment
# ("Saving Environment to Flash"); the run ends after the healthy verdict
# that follows recovery (or the fourth healthy one), with one table line: the kind, the boot that took
# the recovery path, the environment writes at boot.
#
# --env NAME=VALUE sets (NAME= unsets) a variable of the factory
# environment, for bad input (bootlimit=, bootcount=ten); --uboot debian
# boots Debian's own U-Boot binary, whose every saveenv fails on this qemu.
#
# One qemu process: every restart resets the board and U-Boot runs again on
# the same flash; nothing on the host steps in between boots.  The guest
# clock runs on executed instructions (-icount), so bootguard's 30 s settle
# passes in about a second; --real-time runs it in real time.  The camera's
# init is busybox init, or systemd with --init systemd (the recovery system
# is the same under both).  --flash spi plays it on the SPI NOR board
# (board/flash-image.sh), where the guest's /init makes U-Boot's choice of
# path from the stored environment but counts nothing.  Logs: board/out/story/,
# suffixed by the init, the flash kind, the update kind, -env and -debian
# when not the default.  Installs and builds what it needs.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

update=broken BOARD_ENV=""
while [ $# -gt 0 ]; do
  case $1 in
    --real-time) export BOARD_REAL_TIME=1; shift ;;
    --init) [ $# -ge 2 ] || die "--init needs busybox or systemd"; select_init "$2"; shift 2 ;;
    --flash) [ $# -ge 2 ] || die "--flash needs cfi or spi"; select_flash "$2"; shift 2 ;;
    --update) [ $# -ge 2 ] || die "--update needs a kind"; update=$2; shift 2 ;;
    --env) [[ ${2:-} == [a-z_]*=* ]] || die "--env needs NAME=VALUE"; BOARD_ENV+="$2 "; shift 2 ;;
    --uboot) [ "${2:-}" = debian ] || die "--uboot takes debian"; export BOARD_UBOOT=debian; shift 2 ;;
    *) sed -n '2,51p' "$0"; exit 2 ;;
  esac
done
case $update in
  broken|hang|nocustomer) kernel_args=() ;;
  good) kernel_args=(board.restarts=3) ;;
  panic) kernel_args=(panic=5) ;;
  *) die "unknown kind of update $update (broken, panic, hang, nocustomer, good)" ;;
esac
export BOARD_ENV

started=$(date +%s.%N)
"$board/setup.sh" >/dev/null
install_product
build_initrd

story=$out/story
[ "$BOARD_INIT" = busybox ] || story=$story-$BOARD_INIT
[ "$BOARD_FLASH" = cfi ] || story=$story-$BOARD_FLASH
[ "$update" = broken ] || story=$story-$update
[ -z "$BOARD_ENV" ] || story=$story-env
[ -z "${BOARD_UBOOT:-}" ] || story=$story-$BOARD_UBOOT
rm -rf "$story" && mkdir -p "$story"
nor=$story/nor.img
if [ "$update" = good ]; then
  BOARD_ENV="upgrade_available=1 bootcount=0 $BOARD_ENV" make_nor_image "$nor" good
  echo "A camera with a good update on trial (factory flash image $(basename "$nor")):"
  echo "  \"rootfs\" holds the good application image, \"factory\" its golden copy,"
  echo "  \"uenv\" U-Boot's environment with ota_upgrade_status=0, upgrade_available=1, bootcount=0."
else
  make_nor_image "$nor" "$update"
  echo "A camera with a broken update on trial (factory flash image $(basename "$nor")):"
  case $update in
    broken) echo "  \"rootfs\" holds an application image whose program cannot start," ;;
    panic) echo "  \"rootfs\" holds an application image whose driver panics the kernel 10 s after the start (panic=5)," ;;
    hang) echo "  \"rootfs\" holds an application image that arms the watchdog and hangs," ;;
    nocustomer) echo "  \"rootfs\" holds an application image that names a file system /customer does not hold," ;;
  esac
  echo "  \"factory\" the golden copy of the application image,"
  echo "  \"uenv\" U-Boot's environment with ota_upgrade_status=0, upgrade_available=1, bootcount=0${BOARD_ENV:+, and ${BOARD_ENV% }}."
fi
case $BOARD_INIT in
  busybox) starts="busybox init and the start scripts" ;;
  systemd) starts="systemd and the units" ;;
esac
case $BOARD_FLASH in
  cfi) loader="U-Boot" ;;
  spi) loader="on SPI NOR, the kernel (the guest's /init makes U-Boot's choice of path)" ;;
esac
[ -z "${BOARD_UBOOT:-}" ] || loader="Debian's own U-Boot binary"
echo "One run of the board: $loader, Linux, $starts, bootguard; every restart resets the board."

run_status=0
BOARD_MAX_BOOTS=8 BOARD_TIMEOUT=${BOARD_TIMEOUT:-600} run_machine "$nor" "$story/run.log" camera "${kernel_args[@]}" || run_status=$?
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
# U-Boot's count of the update on trial (the kit's step), and its saves of
# the environment, before the kernel starts.
uboot_part() { sed '/^Starting kernel/q' "$1"; }
count_lines() {
  local lines
  lines=$(uboot_part "$1" | grep -e '^bootguard: ' -e '^Saving Environment' -e '^OK$' -e '^Failed' -e 'timeout' |
    sed 's/^bootguard: //')
  echo "${lines:-nothing (no update on trial, or recovery asked for already)}"
}
saves() { uboot_part "$1" | grep -c '^Saving Environment to Flash' || true; }
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
  echo "count:     $(count_lines "$log" | indent); $(saves "$log") save(s) of the environment"
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
# The kind, the first boot on U-Boot's recovery path, and U-Boot's saves of
# the environment, per boot and in all.
recovery_boot=none per_boot="" all_saves=0
for boot in $(seq 1 "$boots"); do
  log=$story/boot-$boot.log
  [ "$recovery_boot" != none ] || [ "$(uboot_path "$log")" != recovery ] || recovery_boot=$boot
  per_boot+="$(saves "$log") "
  all_saves=$((all_saves + $(saves "$log")))
done
healthy_end=no
grep -q '^@@BOOTGUARD-END' "$story/boot-$boots.log" && [ "$(uboot_path "$story/boot-$boots.log")" = normal ] &&
  healthy_end=yes
printf '%-12s %-18s %-24s %s\n' kind "boots to recovery" "env writes at boot" "per boot"
printf '%-12s %-18s %-24s %s\n' "$update${BOARD_ENV:+ (${BOARD_ENV% })}${BOARD_UBOOT:+ (U-Boot: $BOARD_UBOOT)}" \
  "$recovery_boot" "$all_saves" "$(echo $per_boot | tr ' ' ,)"
echo "kind=$update recovery_boot=$recovery_boot saves=$all_saves per_boot=$(echo $per_boot | tr ' ' ,) boots=$boots healthy_end=$healthy_end" |
  tee "$story/table"
printf 'Host time: %.0f s for the whole story (%s boots in one run).\n' \
  "$(echo "$(date +%s.%N) - $started" | bc)" "$boots"
[ "$run_status" = 0 ] || die "the run did not end by itself (log: $story/run.log)"
