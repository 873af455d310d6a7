#!/usr/bin/env bash
# The board test tier: bootguard on the emulated camera board, U-Boot
# included.
#
#   board/run-tests.sh [--flash cfi|spi] [story] [systemd] [trial] [env] [flash] [check] [cuts]
#
# With no part named, every part runs on the CFI NOR board, and story, flash
# and cuts on the SPI NOR board too (board/flash-image.sh); --flash runs
# the parts named, or all that apply, on one kind.  Two parts run at a time,
# each with one emulated board, but for cuts, which runs two boards itself.
#
# story    the main job (story.sh): each boot's U-Boot environment and path,
#          bootguard's lines, the counter, the recovery flag, the recovery
#          system's restore, and the flash file afterwards
# systemd  the same story with systemd as the camera's init
#          (story.sh --init systemd): per boot, multi-user.target before
#          the verdict, one bootguard, a manual restart and stop refused,
#          its lines on the console and in the journal, the restart
# trial    U-Boot's count of an update on trial (story.sh --update KIND):
#          updates whose boots end before bootguard's verdict (panic, also
#          under systemd; hang; nocustomer) take the recovery path on boot
#          6 with one save a boot, the boot after it healthy; a good update
#          is counted once and ended by its healthy verdict (under both
#          inits), and then the camera writes nothing at boot
# env      the environment functions judged by U-Boot over restarts
#          (guest/env-tests.sh)
# flash    one boot that runs the flash module through the real bootguard
#          process and bootguard-flash on nandsim, mtdram and the CFI NOR
#          flash (on SPI NOR: the SPI NOR chip), every result read back
#          independently (guest/flash-tests.sh)
# check    bootguard-check on the camera, a boot each (scenario check): the
#          shipped camera passes (exit 0, no FAIL), on both kinds; on CFI
#          NOR each planted fault of the camera's contract (board.fault=,
#          panic=0) gives its FAIL line and exit 1; the CPU of a full run
# cuts     the power-cut campaign's fixed sample (power-cuts.sh --cuts 12,
#          half of its exact cuts torn; on SPI NOR --cuts 4), and one cut on
#          a camera without /etc/u-boot-initial-env, which must be caught as
#          a camera that never recovers
#
# Prints each check and ends with "N passed, M failed" and the host time;
# exits non-zero when anything failed.  Every run but the trial part's
# panic and hang uses -icount: nothing here measures time.  Logs of each part: board/out/tier/.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

kinds=()
parts=()
while [ $# -gt 0 ]; do
  case $1 in
    --flash) [ $# -ge 2 ] || die "--flash needs cfi or spi"; kinds=("$2"); shift 2 ;;
    story|systemd|trial|env|flash|check|cuts) parts+=("$1"); shift ;;
    *) die "unknown part $1 (story, systemd, trial, env, flash, check, cuts; --flash cfi|spi)" ;;
  esac
done
# What runs: KIND:PART, the cuts last.  systemd, trial and env play
# U-Boot's part, which only the CFI NOR board has.
[ ${#kinds[@]} -gt 0 ] || kinds=(cfi spi)
[ ${#parts[@]} -gt 0 ] || parts=(story systemd trial env flash check cuts)
runs=()
for part in "${parts[@]}"; do
  for kind in "${kinds[@]}"; do
    case $kind:$part in
      spi:systemd|spi:trial|spi:env|*:cuts) ;;
      *) runs+=("$kind:$part") ;;
    esac
  done
done
if [[ " ${parts[*]} " == *" cuts "* ]]; then
  for kind in "${kinds[@]}"; do runs+=("$kind:cuts"); done
fi

pass() { echo "PASS $tag$*"; }
fail() { echo "FAIL $tag$*"; }
expect() {  # description actual expected
  if [ "$2" = "$3" ]; then
    pass "$1"
  else
    fail "$1"
    echo "     expected: $(printf '%s' "$3" | tr '\n' '|')"
    echo "     got:      $(printf '%s' "$2" | tr '\n' '|')"
  fi
}
check() {  # description command...
  local what=$1; shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}
between() { awk -v v="$1" -v lo="$2" -v hi="$3" 'BEGIN { exit !(v != "" && v >= lo && v < hi) }'; }

started=$SECONDS
"$board/setup.sh" >/dev/null
install_product
build_initrd
# Every initramfs the parts boot, built before they start side by side;
# from here on the scripts take the install tree as it is.
case " ${runs[*]} " in *" cfi:systemd "*|*" cfi:trial "*) (select_init systemd && build_initrd) ;; esac
export BOARD_NO_BUILD=1

story_tests() {
  local story=$out/story log boot
  [ "$BOARD_FLASH" = cfi ] || story=$story-$BOARD_FLASH
  local paths=(normal normal normal recovery normal) counters=(absent 1 2 2 2 absent) flags=(0 0 0 1 0 0)
  if ! "$board/story.sh" --flash "$BOARD_FLASH"; then
    fail "story: story.sh ran to its end"
  fi
  echo
  echo "== story checks =="
  expect "story: five boots, the run ends after the healthy verdict" "$(ls "$story"/boot-*.log 2>/dev/null | wc -l)" 5
  expect "story: /proc/mtd lists the camera's partitions" \
    "$(marker "$story/boot-1.log" MTD | sed -n 's/^\(mtd[1-8]\): .* \("[^"]*"\)$/\1 \2/p' | grep -v '^mtd2 ')" \
    "$(printf '%s\n' 'mtd1 "fdt"' 'mtd3 "u-boot"' 'mtd4 "uenv"' 'mtd5 "factory"' 'mtd6 "uImage"' 'mtd7 "rootfs"' 'mtd8 "customer"')"
  for boot in 1 2 3 4 5; do
    log=$story/boot-$boot.log
    [ -e "$log" ] || { fail "story boot $boot: happened"; continue; }
    expect "story boot $boot: U-Boot loads the stored environment" "$(uboot_env "$log")" stored
    expect "story boot $boot: U-Boot takes the ${paths[boot - 1]} path" "$(uboot_path "$log")" "${paths[boot - 1]}"
    expect "story boot $boot: counter before" "$(marker "$log" COUNTER-before)" "${counters[boot - 1]}"
    expect "story boot $boot: ota_upgrade_status before" "$(marker "$log" ENV-before)" "ota_upgrade_status=${flags[boot - 1]}"
  done
  # Boots 1-3: the broken update's application fails; the counter goes
  # absent -> 1 -> 2 and the third boot asks for recovery instead.
  local lines seconds
  for boot in 1 2 3; do
    log=$story/boot-$boot.log
    lines=$(printf '%s\n' "ipcamera not run" "recovery 1" "num=$((boot - 1))")
    [ "$boot" = 3 ] || lines+=$'\n'"try again"
    expect "story boot $boot: the application cannot start" "$(marker "$log" APP)" \
      "ipcamera: cannot start: /usr/lib/libisp.so.2: version mismatch (broken update)"
    expect "story boot $boot: bootguard's lines" "$(bootguard_lines "$log")" "$lines"
    check "story boot $boot: ends with bootguard's restart" restarted "$log"
    seconds=$(bootguard_seconds "$log" || true)
    check "story boot $boot: bootguard judged 30 s (guest time) after it started (${seconds:-?} s)" \
      between "$seconds" 30 31
  done
  # Boot 4: the recovery system restores "rootfs" and clears the flag.
  log=$story/boot-4.log
  check "story boot 4: the recovery system ran to its end" grep -q '^@@RECOVERY done' "$log"
  check "story boot 4: bootguard-flash wrote the golden image into rootfs" \
    grep -q "^Writing from to rootfs,offset:0 len:$(part_size factory)$" "$log"
  expect "story boot 4: the write's last progress line" \
    "$(grep '^bootguard-flash: [0-9]*%' "$log" | tail -n 1 | cut -d' ' -f2)" "100%"
  expect "story boot 4: the flag cleared" "$(marker "$log" ENV-after)" "ota_upgrade_status=0"
  check "story boot 4: ends with a restart" restarted "$log"
  # Boot 5: the restored application runs; bootguard clears the counter.
  log=$story/boot-5.log
  expect "story boot 5: the application starts" "$(marker "$log" APP)" "ipcamera: started (factory image)"
  expect "story boot 5: bootguard's lines" "$(bootguard_lines "$log")" "recovery 0"
  seconds=$(bootguard_seconds "$log" || true)
  check "story boot 5: bootguard returned 30 s (guest time) after it started (${seconds:-?} s)" \
    between "$seconds" 30 31
  expect "story boot 5: counter removed" "$(marker "$log" COUNTER-after)" absent
  expect "story boot 5: ota_upgrade_status stays 0" "$(marker "$log" ENV-after)" "ota_upgrade_status=0"
  # The flash file itself, read on this machine: "rootfs" holds the golden
  # image and "uenv" the cleared flag.
  local golden
  golden=$(mktemp)
  make_app_image good "$golden"
  check "story: the NOR file's rootfs starts with the golden application image" \
    cmp -s -n "$(stat -c %s "$golden")" "$golden" \
    <(tail -c +$(( $(part_offset rootfs) + 1 )) "$story/nor.img")
  rm -f "$golden"
  # U-Boot counts boots 1-3 of the update (bootguard's path asks for
  # recovery first), boot 4 is bound for recovery already, and the
  # recovery system ends the trial: nothing is written at boot 5.
  [ "$BOARD_FLASH" != cfi ] ||
    expect "story: recovery on boot 4, U-Boot's saves of the environment per boot" \
      "$(sed 's/ boots=.*//' "$story/table")" "kind=broken recovery_boot=4 saves=3 per_boot=1,1,1,0,0"
  expect "story: the NOR file's uenv holds ota_upgrade_status=0" \
    "$(tail -c +$(( $(part_offset uenv) + 5 )) "$story/nor.img" | head -c $((env_size - 4)) | tr '\0' '\n' |
      grep '^ota_upgrade_status=' || true)" \
    "ota_upgrade_status=0"
}

# What the reporter saw of "systemctl NAME bootguard.service" while bootguard
# waited: "status=0" or "failed", the unit's main process afterwards, and
# "refused" when systemd refused the operation.
systemctl_probe() {  # log name
  local line
  line=$(marker "$1" SYSTEMD | grep "^$2 status=" || true)
  [ -n "$line" ] || { echo "none"; return; }
  case $line in "$2 status=0 "*) printf 'status=0' ;; *) printf 'failed' ;; esac
  printf ' pid=%s' "$(echo "$line" | sed -n 's/^[^ ]* status=[0-9]* pid=\([0-9]*\):.*/\1/p')"
  case $line in *"Operation refused"*) printf ' refused' ;; esac
  echo
}

# One boot of the camera under systemd, judged by bootguard.
systemd_boot_checks() {  # log boot expected-lines
  local log=$1 name="systemd boot $2" pid target verdict
  pid=$(sed -n 's/^\[ *[0-9]*\.[0-9]*\] bootguard\[\([0-9]*\)\]: .*/\1/p' "$log" | sort -u | paste -sd ' ')
  expect "$name: bootguard's lines on the console, from one process" "$(bootguard_lines "$log") pid=${pid:-none}" \
    "$3 pid=$(systemctl_probe "$log" start | sed -n 's/.* pid=\([0-9]*\).*/\1/p')"
  target=$(marker "$log" SYSTEMD | sed -n 's/^multi-user.target uptime=\([0-9.]*\) .*/\1/p')
  verdict=$(bootguard_verdict "$log")
  check "$name: multi-user.target reached (${target:-never} s) before bootguard's verdict (${verdict:-none} s)" \
    awk -v t="$target" -v v="$verdict" 'BEGIN { exit !(t != "" && v != "" && t + 0 < v + 0) }'
  expect "$name: while bootguard waits a manual start starts no second one, a restart and a stop are refused" \
    "$(systemctl_probe "$log" start); $(systemctl_probe "$log" restart); $(systemctl_probe "$log" stop); waiting=$(marker "$log" SYSTEMD | sed -n 's/^probed .*waiting=//p')" \
    "status=0 pid=$pid; failed pid=$pid refused; failed pid=$pid refused; waiting=yes"
}

systemd_tests() {
  local story=$out/story-systemd log boot lines pid counters=(absent 1 2)
  if ! "$board/story.sh" --init systemd; then
    fail "systemd: story.sh --init systemd ran to its end"
  fi
  echo
  echo "== the story under systemd =="
  expect "systemd: five boots, the run ends after the healthy verdict" "$(ls "$story"/boot-*.log 2>/dev/null | wc -l)" 5
  # Boots 1-3: the broken update fails; each verdict restarts the board.
  for boot in 1 2 3; do
    log=$story/boot-$boot.log
    [ -e "$log" ] || { fail "systemd boot $boot: happened"; continue; }
    expect "systemd boot $boot: U-Boot's normal path, the counter before" \
      "$(uboot_path "$log") $(marker "$log" COUNTER-before)" "normal ${counters[boot - 1]}"
    lines=$(printf '%s\n' "ipcamera not run" "recovery 1" "num=$((boot - 1))")
    [ "$boot" = 3 ] || lines+=$'\n'"try again"
    systemd_boot_checks "$log" "$boot" "$lines"
    check "systemd boot $boot: bootguard's restart resets the board" restarted "$log"
  done
  # Boot 4: U-Boot's recovery path, the recovery system as under busybox init.
  log=$story/boot-4.log
  [ -e "$log" ] || { fail "systemd boot 4: happened"; return; }
  expect "systemd boot 4: U-Boot's recovery path; the recovery system restores rootfs and clears the flag" \
    "$(uboot_path "$log") $(grep -c '^@@RECOVERY done' "$log") $(marker "$log" ENV-after)" "recovery 1 ota_upgrade_status=0"
  # Boot 5: healthy; the journal holds what the console showed.
  log=$story/boot-5.log
  [ -e "$log" ] || { fail "systemd boot 5: happened"; return; }
  expect "systemd boot 5: U-Boot's normal path, the application starts" \
    "$(uboot_path "$log") $(marker "$log" APP)" "normal ipcamera: started (factory image)"
  systemd_boot_checks "$log" 5 "recovery 0"
  pid=$(systemctl_probe "$log" start | sed -n 's/.* pid=\([0-9]*\).*/\1/p')
  # The unit is a oneshot: its start ends with its last command, after the
  # verdict, and its main process is then that command's shell.
  expect "systemd boot 5: journalctl -u bootguard: one start, bootguard's lines" \
    "$(marker "$log" JOURNAL | grep -c 'systemd\[1\]: Starting bootguard.service') $(marker "$log" JOURNAL | sed -n "s/^.* bootguard\[$pid\]: //p")" \
    "1 recovery 0"
  expect "systemd boot 5: a start after the verdict runs none; the unit stays active" \
    "$(systemctl_probe "$log" start-after | cut -d' ' -f1) $(marker "$log" JOURNAL | grep -c 'systemd\[1\]: Starting bootguard.service') $(marker "$log" SYSTEMD | sed -n 's/^state //p')" \
    "status=0 1 ActiveState=active NRestarts=0 SubState=exited"
  expect "systemd boot 5: counter removed" "$(marker "$log" COUNTER-after)" absent
}

# The stored environment's variables in a NOR file, one a line.
nor_env() { tail -c +$(( $(part_offset uenv) + 5 )) "$1" | head -c $((env_size - 4)) | tr '\0' '\n' | sed '/^$/q'; }

trial_tests() {
  local run kind init story log first table
  echo
  echo "== U-Boot's count of an update on trial =="
  for run in panic hang nocustomer panic:systemd good good:systemd; do
    kind=${run%%:*} init=busybox story=$out/story
    [ "$run" = "$kind" ] || { init=${run#*:}; story=$story-$init; }
    story=$story-$kind
    # A boot after the kernel's emergency restart (a panic's, softdog's)
    # can spin before its console comes up on qemu 7.2's instruction clock
    # (-icount shift=3,sleep=off), never on the real-time clock (bootguard's
    # own restarts are not emergency ones): those runs take the latter.
    local clock=()
    case $kind in panic|hang) clock=(--real-time) ;; esac
    BOARD_INIT=$init "$board/story.sh" --update "$kind" "${clock[@]}" > "$tier/trial-$kind-$init.log" 2>&1 ||
      fail "trial $run: story.sh ran to its end (log: $tier/trial-$kind-$init.log)"
    table=$(cat "$story/table" 2>/dev/null || echo none)
    sed -n '/^kind  */,/^kind=/p' "$tier/trial-$kind-$init.log" | sed '$d' | sed 's/^/     /'
    first=$story/boot-1.log
    [ -e "$first" ] || { fail "trial $run: a boot happened"; continue; }
    log=$story/boot-$(ls "$story"/boot-*.log | wc -l).log
    case $kind in
      good)
        expect "trial $run: counted once, accepted by the healthy verdict, then three healthy boots with no save at boot" \
          "$table" "kind=good recovery_boot=none saves=1 per_boot=1,0,0,0 boots=4 healthy_end=yes"
        # (under systemd the journal's copy of the line is shown too)
        expect "trial $run: the start file ends the trial in one write" \
          "$(grep -v '^@@JOURNAL' "$first" | grep -c 'bootguard: update accepted: upgrade_available and bootcount cleared') $(marker "$first" TRIAL-after)" \
          "1 upgrade_available= bootcount="
        expect "trial $run: no second write when nothing is on trial" "$(grep -c 'update accepted' "$log")" 0
        # The flash file: the environment of boot 4 is the one boot 1's
        # acceptance wrote (no write since), and holds no trial.
        expect "trial $run: the NOR file's environment holds no trial" \
          "$(nor_env "$story/nor.img" | grep -e '^upgrade_available=' -e '^bootcount=' -e '^ota_upgrade_status=' | sort | paste -sd ' ')" \
          "ota_upgrade_status=0"
        continue ;;
      panic) check "trial $run: boot 1 ends in a kernel panic" grep -q 'Kernel panic - not syncing' "$first" ;;
      hang) check "trial $run: boot 1 ends by the watchdog" grep -q 'softdog: Initiating system reboot' "$first" ;;
      nocustomer) check "trial $run: boot 1 cannot mount /customer" grep -q '^@@ERROR cannot mount /customer' "$first" ;;
    esac
    expect "trial $run: recovery on boot 6, one save a boot (bootlimit + 1 in all), a healthy boot after it" \
      "$table" "kind=$kind recovery_boot=6 saves=6 per_boot=1,1,1,1,1,1,0 boots=7 healthy_end=yes"
    expect "trial $run: boot 6 asks for recovery past bootlimit" \
      "$(grep -c '^bootguard: boot 0x6 of an update on trial is past bootlimit 5: recovery' "$story/boot-6.log" 2>/dev/null)" 1
    expect "trial $run: the healthy boot finds no trial and writes nothing" \
      "$(marker "$log" TRIAL-after) $(grep -c 'update accepted' "$log")" "upgrade_available= bootcount= 0"
  done
}

env_tests() {
  local dir=$out/envtest nor log boots
  echo
  echo "== environment functions, judged by U-Boot =="
  rm -rf "$dir" && mkdir -p "$dir"
  nor=$dir/nor.img
  make_nor_image "$nor"
  BOARD_MAX_BOOTS=6 run_machine "$nor" "$dir/run.log" envtest || fail "env: the run ended by itself"
  boots=$(split_boots "$dir/run.log" "$dir")
  expect "env: four boots" "$boots" 4
  log=$dir/boot-1.log
  expect "env boot 1: stored environment, normal path" "$(uboot_env "$log") $(uboot_path "$log")" "stored normal"
  check "env boot 1: invalidate-env succeeds" grep -q '^@@ENVTEST status=0' "$log"
  log=$dir/boot-2.log
  expect "env boot 2: after invalidate-env U-Boot warns of the bad CRC and boots by its default path" \
    "$(uboot_env "$log") $(uboot_path "$log")" "default default"
  check "env boot 2: the camera still boots" grep -q '^@@ENVTEST step=2 mode=$' "$log"
  expect "env boot 2: fw_setenv rebuilds an environment" "$(marker "$log" 'ENVTEST printenv')" "board_check=1"
  check "env boot 2: erase-env succeeds" grep -q '^@@ENVTEST status=0' "$log"
  log=$dir/boot-3.log
  expect "env boot 3: after erase-env U-Boot warns of the bad CRC and boots by its default path" \
    "$(uboot_env "$log") $(uboot_path "$log")" "default default"
  check "env boot 3: the camera still boots" grep -q '^@@ENVTEST step=3 mode=$' "$log"
  log=$dir/boot-4.log
  expect "env boot 4: the flag fw_setenv set over an erased environment takes U-Boot's recovery path" \
    "$(uboot_env "$log") $(uboot_path "$log")" "stored recovery"
  check "env boot 4: the kernel is told so" grep -q '^@@ENVTEST step=4 mode=recovery$' "$log"
}

flash_tests() {
  local log=$out/flashtest-$BOARD_FLASH.log nor=$out/test-nor-$BOARD_FLASH.img line
  echo
  case $BOARD_FLASH in
    cfi) echo "== flash module on nandsim, mtdram and CFI NOR (one boot) ==" ;;
    spi) echo "== flash module on SPI NOR (one boot) ==" ;;
  esac
  # A NOR bank of its own: the story's flash file is left alone.
  make_blank_nor_image "$nor"
  BOARD_MAX_BOOTS=1 run_machine "$nor" "$log" flashtest || fail "flash: the test boot ended normally (log: $log)"
  grep -q '^@@FLASHTEST-END' "$log" || fail "flash: the guest tests ran to their end (log: $log)"
  while IFS= read -r line; do
    case $line in
      "@@CHECK PASS "*) pass "flash ${line#@@CHECK PASS }" ;;
      "@@CHECK FAIL "*) fail "flash ${line#@@CHECK FAIL }"
        # the details just before a failure
        grep -B3 -F -x -- "$line" "$log" | grep '^@@INFO' | sed 's/^@@INFO /     /' | cut -c1-300 ;;
    esac
  done < "$log"
}

cut_tests() {
  local log=$out/power-cuts-$BOARD_FLASH.log last cuts=12
  # On SPI NOR a sample that shows its cuts and tears at work: the
  # campaign's logic is the same on both kinds.
  [ "$BOARD_FLASH" = cfi ] || cuts=4
  echo
  echo "== power cuts: the fixed sample =="
  "$board/power-cuts.sh" --flash "$BOARD_FLASH" --cuts "$cuts" --seed 1 --jobs 2 > "$log" 2>&1 || true
  sed -n '/^where the power was cut/,$p' "$log"
  last=$(grep '^power cuts: ' "$log" || true)
  check "cuts: every cut of the sample converged, some of them torn, no invariant broken" \
    eval '[[ "$last" =~ ^power\ cuts:\ $cuts\ injected,\ [0-9]+\ inside\ flash\ operations,\ [1-9][0-9]*\ torn,\ $cuts\ converged ]] &&
          ! grep -q "^broken: " "$log"'
  [ "$BOARD_FLASH" = cfi ] || return 0
  # Without the factory environment file fw_setenv cannot rebuild an
  # environment a cut destroyed: the camera must be seen never to recover.
  "$board/power-cuts.sh" --without-initial-env --cut 3:2 > "$log.negative" 2>&1 || true
  check "cuts: a camera without /etc/u-boot-initial-env that loses its environment is caught looping" \
    grep -q 'converged=no' "$log.negative"
}

# One boot of a factory-fresh camera in the check scenario: bootguard-check's
# lines (indented, so that the tier does not count them as its own), its
# exit status and CPU seconds.
check_boot() {  # name kernel-args...
  local name=$1 log=$out/check-$BOARD_FLASH/$1.log nor=$out/check-$BOARD_FLASH/nor.img
  shift
  make_nor_image "$nor"
  BOARD_MAX_BOOTS=1 run_machine "$nor" "$log" check "$@" || fail "check $name: the boot ran to its end (log: $log)"
  check_lines=$(sed -n '/^@@CHECK-START/,/^@@CHECK-STATUS/p' "$log" | grep -E '^(PASS|WARN|FAIL) |^[0-9]+ passed' || true)
  check_status=$(marker "$log" CHECK-STATUS)
  check_cpu=$(marker "$log" CHECK-TIME | awk '$1 == "user" || $1 == "sys" { s += $2 } END { printf "%.2f", s }')
  check_cpu10=$(marker "$log" CHECK-TIME10 | awk '$1 == "user" || $1 == "sys" { s += $2 } END { printf "%.3f", s / 10 }')
}

check_tests() {
  local fault args expected
  mkdir -p "$out/check-$BOARD_FLASH"
  echo
  echo "== bootguard-check on the camera =="
  check_boot shipped
  echo "$check_lines" | sed 's/^/     /'
  echo "     CPU of the run (user + sys, on the instruction clock): $check_cpu s; of ten runs: $check_cpu10 s a run"
  expect "check: the shipped camera: exit 0, no FAIL" \
    "$check_status $(echo "$check_lines" | grep -c '^FAIL ')" "0 0"
  # The ast2600's watchdogs keep the SoC's 30 s timeout (none of them is
  # started); nothing else of the shipped camera is short of the contract.
  local warned=""
  [ "$BOARD_FLASH" = cfi ] || warned=watchdog
  expect "check: the shipped camera warns of: ${warned:-nothing}" \
    "$(echo "$check_lines" | sed -n 's/^WARN \([^:]*\):.*/\1/p' | paste -sd ' ')" "$warned"
  check "check: a full run under 50 ms of CPU on the board's instruction clock ($check_cpu s; $check_cpu10 s a run of ten)" \
    awk -v s="$check_cpu" -v t="$check_cpu10" 'BEGIN { exit !(s != "" && s < 0.05 && t != "" && t < 0.05) }'
  [ "$BOARD_FLASH" = cfi ] || return 0
  # Each fault in a boot of its own: KERNEL-ARGS|the FAIL line it must give.
  while IFS='|' read -r -u 3 fault args expected; do
    # shellcheck disable=SC2086 # the kernel arguments split at spaces
    check_boot "$fault" $args
    echo "     $fault: $(echo "$check_lines" | grep '^FAIL ' | paste -sd '|' | sed 's/|/ | /g')"
    expect "check $fault: exit 1 and its FAIL line" \
      "$check_status $(echo "$check_lines" | grep -F -x -m1 "$expected" || true)" "1 $expected"
  done 3<<'FAULTS'
panic-0|panic=0|FAIL kernel-panic: kernel.panic is 0: a panic hangs the camera for ever and is never counted; set panic= to restart
customer-tmpfs|board.fault=customer-tmpfs|FAIL customer: /customer is a tmpfs, lost at every restart with the counter: mount a file system that keeps its files (JFFS2, UBIFS) there
wrong-offset|board.fault=wrong-offset|FAIL env-partition: /etc/fw_env.config puts 0x40000 bytes at 0x100000, past the end of mtd4 "uenv" (0x100000 bytes): fix the offset or size
env-readonly|board.fault=env-readonly|FAIL env-partition: mtd4 "uenv" is read-only (/sys/class/mtd/mtd4/flags without MTD_WRITEABLE 0x400): fw_setenv cannot write it; drop read-only from the partition in the device tree
env-corrupt|board.fault=env-corrupt board.initial_env=absent|FAIL env-crc: the stored environment on /dev/mtd4 has a bad CRC-32 and /etc/u-boot-initial-env is missing: fw_setenv cannot rebuild it; ship /etc/u-boot-initial-env
swapped-names|board.fault=swapped-names|FAIL partitions: "fdt" is mtd6 in /proc/mtd, but bootguard writes fdt to /dev/mtd1, which holds "uImage": put "fdt" at /dev/mtd1
no-recovery|board.fault=no-recovery|FAIL bootcmd: bootcmd in the stored environment never refers to ota_upgrade_status: the recovery request would change nothing; make it take the recovery path when ota_upgrade_status is 1
FAULTS
}

# One part on one kind, its lines to its own log.
run_part() {  # kind part
  select_flash "$1"
  # (the flash part's checks name their kind of flash already)
  tag=""
  [ "$1" = cfi ] || [ "$2" = flash ] || tag="$1 "
  case $2 in
    story) story_tests ;;
    systemd) systemd_tests ;;
    trial) trial_tests ;;
    env) env_tests ;;
    flash) flash_tests ;;
    check) check_tests ;;
    cuts) cut_tests ;;
  esac
}

# Two parts at a time, cuts (which runs two boards itself) alone, each
# part's lines shown in order as it ends.
tier=$out/tier
rm -rf "$tier" && mkdir -p "$tier"
declare -A pids=()
shown=0
show_ended() {  # wait-for-all
  local run
  while [ "$shown" -lt "${#runs[@]}" ]; do
    run=${runs[shown]}
    [ -n "${pids[$run]:-}" ] || return 0
    if [ "$1" = all ] || ! kill -0 "${pids[$run]}" 2>/dev/null; then
      wait "${pids[$run]}" || true
      cat "$tier/${run/:/-}.log"
      shown=$((shown + 1))
    else
      return 0
    fi
  done
}
for run in "${runs[@]}"; do
  if [ "${run#*:}" = cuts ]; then
    show_ended all
  else
    while [ "$(jobs -rp | wc -l)" -ge 2 ]; do sleep 1; show_ended some; done
  fi
  ( run_part "${run%%:*}" "${run#*:}" ) > "$tier/${run/:/-}.log" 2>&1 &
  pids[$run]=$!
  [ "${run#*:}" != cuts ] || show_ended all
done
show_ended all

passed=$(cat "$tier"/*.log | grep -c '^PASS ' || true)
failed=$(cat "$tier"/*.log | grep -c '^FAIL ' || true)
echo
echo "$passed passed, $failed failed ($((SECONDS - started)) s of host time)"
[ "$failed" = 0 ]
