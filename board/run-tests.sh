#!/usr/bin/env bash
# The board test tier: bootguard on the emulated camera board.
#
#   board/run-tests.sh [story] [flash]     (both when none is named)
#
# story  the main job's four boots (story.sh), then every bootguard line,
#        the counter file and the stored boot-loader variable of each boot
#        are checked, and the "uenv" partition is read out of the NOR file
# flash  one boot that runs the flash module through the real bootguard
#        process on nandsim, mtdram and the CFI NOR flash, every result read
#        back independently (guest/flash-tests.sh)
#
# Prints each check and ends with "N passed, M failed"; exits non-zero when
# anything failed.  About four minutes after setup.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

parts=("$@")
[ ${#parts[@]} -gt 0 ] || parts=(story flash)

passed=0
failed=0
pass() { echo "PASS $*"; passed=$((passed + 1)); }
fail() { echo "FAIL $*"; failed=$((failed + 1)); }
expect() {  # description actual expected
  if [ "$2" = "$3" ]; then
    pass "$1"
  else
    fail "$1"
    echo "     expected: $(printf '%s' "$3" | tr '\n' '|')"
    echo "     got:      $(printf '%s' "$2" | tr '\n' '|')"
  fi
}

"$board/setup.sh"
ensure_bootguard
build_initrd

story_tests() {
  local story=$out/story log
  if ! "$board/story.sh"; then
    fail "story: story.sh ran to its end"
    return
  fi
  echo
  echo "== story checks =="
  log=$story/boot-1.log
  expect "story: /proc/mtd lists the camera's partitions" \
    "$(marker "$log" MTD | sed -n 's/^\(mtd[1-8]\): .* \("[^"]*"\)$/\1 \2/p' | grep -v '^mtd2 ')" \
    "$(printf '%s\n' 'mtd1 "fdt"' 'mtd3 "u-boot"' 'mtd4 "uenv"' 'mtd5 "factory"' 'mtd6 "uImage"' 'mtd7 "rootfs"' 'mtd8 "customer"')"
  # Boots 1-3: the application fails; the counter goes absent -> 1 -> 2 and
  # the third boot asks for recovery instead of retrying.
  local boot counters=(absent 1 2) lines
  for boot in 1 2 3; do
    log=$story/boot-$boot.log
    lines=$(printf '%s\n' "ipcamera not run" "recovery 1" "num=$((boot - 1))")
    [ "$boot" = 3 ] || lines+=$'\n'"try again"
    expect "story boot $boot: counter file before: ${counters[boot - 1]}" "$(marker "$log" COUNTER-before)" "${counters[boot - 1]}"
    expect "story boot $boot: ota_upgrade_status still 0" "$(marker "$log" ENV-before)" "ota_upgrade_status=0"
    expect "story boot $boot: the application fails to start" "$(marker "$log" APP)" "ipcamera: failed to start"
    expect "story boot $boot: bootguard's lines" "$(bootguard_lines "$log")" "$lines"
    restarted "$log" && pass "story boot $boot: ends with a restart" || fail "story boot $boot: ends with a restart"
  done

  log=$story/boot-4.log
  expect "story boot 4: counter file left at 2 by the recovery boot" "$(marker "$log" COUNTER-before)" 2
  expect "story boot 4: recovery request stored: ota_upgrade_status=1" "$(marker "$log" ENV-before)" "ota_upgrade_status=1"
  expect "story boot 4: the application starts" "$(marker "$log" APP)" "ipcamera: started"
  expect "story boot 4: bootguard's lines" "$(bootguard_lines "$log")" "recovery 0"
  expect "story boot 4: bootguard returns with status 0" "$(marker "$log" BOOTGUARD-END)" "exit=0"
  expect "story boot 4: counter file removed" "$(marker "$log" COUNTER-after)" absent
  expect "story boot 4: ota_upgrade_status=1 kept" "$(marker "$log" ENV-after)" "ota_upgrade_status=1"

  # bootguard judges only after its 30 s wait (start of its run to the
  # restart, or to its return on the healthy boot).
  local waited
  for boot in 1 2 3 4; do
    waited=$(bootguard_seconds "$story/boot-$boot.log")
    if [ -n "$waited" ] && [ "$waited" -ge 30 ] && [ "$waited" -le 40 ]; then
      pass "story boot $boot: bootguard waited 30 s before judging (${waited} s)"
    else
      fail "story boot $boot: bootguard waited 30 s before judging (${waited:-?} s)"
    fi
  done

  # The flash itself, read on this machine from the NOR file: "uenv"'s
  # environment copy holds the variable set by the real fw_setenv.
  local vars
  vars=$(dd if="$story/nor.img" bs=64k skip=$(( $(part_offset uenv) / 65536 )) count=1 status=none |
    tail -c +5 | tr '\0' '\n' | grep '^ota_upgrade_status=' || true)
  expect "story: NOR file's uenv partition holds ota_upgrade_status=1" "$vars" "ota_upgrade_status=1"
}

flash_tests() {
  local log=$out/flashtest.log nor=$out/test-nor.img line
  echo
  echo "== flash module on nandsim, mtdram and CFI NOR (one boot) =="
  # A blank NOR bank of its own: the story's flash file is left alone.
  dd if=/dev/zero bs=1M count=$((nor_bank_size >> 20)) status=none | tr '\0' '\377' > "$nor"
  if ! boot_once "$nor" "$log" flashtest; then
    fail "flash: the test boot ended normally (log: $log)"
  fi
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

for part in "${parts[@]}"; do
  case $part in
    story) story_tests ;;
    flash) flash_tests ;;
    *) die "unknown part $part (story, flash)" ;;
  esac
done

echo
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
