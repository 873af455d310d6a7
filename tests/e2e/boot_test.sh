#!/usr/bin/env bash
# One boot scenario of the real bootguard executable, checked from outside:
# exact standard output, exit status, the counter file and the boot-loader
# requests that reached /etc/fw_setenv.
#
#   boot_test.sh SCENARIO BOOTGUARD [RUNNER...]
set -euo pipefail

scenario=$1
bootguard=$2
shift 2
runner=("$@")
here=$(dirname "$(realpath "$0")")
failures=0

world=$(mktemp -d "${TMPDIR:-/tmp}/bootguard-e2e-$scenario-XXXXXX")
trap 'rm -rf "$world"' EXIT
mkdir "$world/customer" "$world/tmp" "$world/etc"
# The boot loader's environment tool, replaced by a recorder of its calls.
cat > "$world/etc/fw_setenv" <<'TOOL'
#!/bin/sh
echo "argc=$# $*" >> /etc/fw_setenv.calls
TOOL
chmod +x "$world/etc/fw_setenv"

installed() { touch "$world/customer/ipcamera"; }
running() { touch "$world/tmp/ipcamera"; }
counter_is() { printf '%s' "$1" > "$world/customer/bootfailed"; }

# boot [--no-pid-namespace]: one run; sets $output and $status.
boot() {
  rm -f "$world/started"
  set +e
  output=$("$here/sandbox.sh" "$@" "$world" "$bootguard" "${runner[@]}")
  status=$?
  set -e
  # From bootguard's start (the sandbox notes it), not from the set-up's.
  elapsed=$(($(date +%s) - $(cat "$world/started")))
  rm -f "$world/tmp/ipcamera"  # /tmp does not survive a restart
}

check() {  # check WHAT EXPECTED ACTUAL
  if [ "$2" != "$3" ]; then
    printf 'FAIL %s: %s\n  expected: %q\n  actual:   %q\n' "$scenario" "$1" "$2" "$3"
    failures=$((failures + 1))
  fi
}
counter() { if [ -e "$world/customer/bootfailed" ] || [ -L "$world/customer/bootfailed" ]; then cat "$world/customer/bootfailed"; else echo absent; fi; }
calls() { cat "$world/etc/fw_setenv.calls" 2>/dev/null || true; }

restarted=129  # the PID namespace ended by the restart request
recovery_call="argc=2 ota_upgrade_status 1"

case $scenario in
debug)
  touch "$world/customer/debug"; installed; counter_is 2
  boot
  check output "debug mode" "$output"
  check status 0 "$status"
  check counter 2 "$(counter)"
  check "settle skipped" yes "$([ "$elapsed" -lt 20 ] && echo yes || echo no)"
  ;;
healthy)
  installed; running; counter_is 2
  boot
  check output "recovery 0" "$output"
  check status 0 "$status"
  check counter absent "$(counter)"
  check calls "" "$(calls)"
  check "settle kept" yes "$([ "$elapsed" -ge 29 ] && echo yes || echo no)"
  ;;
not-running)
  installed
  boot
  check output $'ipcamera not run\nrecovery 1\nnum=0\ntry again' "$output"
  check status $restarted "$status"
  check counter 1 "$(counter)"
  check calls "" "$(calls)"
  ;;
nothing-installed)
  boot
  check output $'not find ipcamera\nipcamera not run\nrecovery 1\nnum=0\ntry again' "$output"
  check status $restarted "$status"
  check counter 1 "$(counter)"
  ;;
installed-not-running-counter-1)
  installed; counter_is 1
  boot
  check output $'ipcamera not run\nrecovery 1\nnum=1\ntry again' "$output"
  check status $restarted "$status"
  check counter 2 "$(counter)"
  check calls "" "$(calls)"
  ;;
counter-above-1-asks-for-recovery)
  installed; counter_is 7
  boot
  check output $'ipcamera not run\nrecovery 1\nnum=7' "$output"
  check status $restarted "$status"
  check counter 7 "$(counter)"
  check calls "$recovery_call" "$(calls)"
  ;;
three-failures-then-healthy)
  installed
  for boot_number in 1 2; do
    boot
    check "output of boot $boot_number" $'ipcamera not run\nrecovery 1\nnum='$((boot_number - 1))$'\ntry again' "$output"
    check "status of boot $boot_number" $restarted "$status"
    check "counter after boot $boot_number" $boot_number "$(counter)"
  done
  boot
  check "output of boot 3" $'ipcamera not run\nrecovery 1\nnum=2' "$output"
  check "status of boot 3" $restarted "$status"
  check "counter after boot 3" 2 "$(counter)"
  check "calls after boot 3" "$recovery_call" "$(calls)"
  running
  boot
  check "output of boot 4" "recovery 0" "$output"
  check "status of boot 4" 0 "$status"
  check "counter after boot 4" absent "$(counter)"
  check "calls after boot 4" "$recovery_call" "$(calls)"
  ;;
garbage-counter)
  installed; counter_is "x17"
  boot
  check output $'ipcamera not run\nrecovery 1\nnum=0\ntry again' "$output"
  check counter 1 "$(counter)"
  ;;
negative-counter)
  installed; counter_is "-3"
  boot
  check output $'ipcamera not run\nrecovery 1\nnum=-3\ntry again' "$output"
  check status $restarted "$status"
  check counter -2 "$(counter)"
  ;;
symlinked-counter)
  installed
  printf 'keep' > "$world/etc/victim"
  ln -s /etc/victim "$world/customer/bootfailed"
  boot
  check output $'ipcamera not run\nrecovery 1\nnum=0\ntry again' "$output"
  check "victim untouched" keep "$(cat "$world/etc/victim")"
  check "counter is a plain file" yes "$([ -f "$world/customer/bootfailed" ] && [ ! -L "$world/customer/bootfailed" ] && echo yes || echo no)"
  check counter 1 "$(counter)"
  ;;
restart-refused)
  installed
  boot --no-pid-namespace
  check output $'ipcamera not run\nrecovery 1\nnum=0\ntry again' "$output"
  check status 0 "$status"
  check counter 1 "$(counter)"
  check calls "$recovery_call" "$(calls)"
  ;;
*)
  echo "unknown scenario $scenario" >&2
  exit 2
  ;;
esac

[ "$failures" -eq 0 ] && echo "PASS $scenario"
exit $((failures > 0))
