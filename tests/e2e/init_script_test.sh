#!/usr/bin/env bash
# The boot-time init script S99bootguard, run as busybox init runs it, with
# busybox ash and with dash, in a new user, mount and PID namespace whose
# /tmp is a fresh tmpfs (a new boot).  In bootguard's place runs a stand-in
# that records its runs and then waits like bootguard's settle; in
# fw_printenv's and fw_setenv's, stand-ins that read an environment kept as
# files in /tmp/env and record each write.
#
#   init_script_test.sh SCRIPT STANDIN
#
# SCRIPT is a copy of the init script configured to start STANDIN, a path in
# /tmp that this test creates inside the namespace.
set -euo pipefail

if [ "${1:-}" != --inside ]; then
  exec unshare --user --map-root-user --mount --propagation private --pid --fork --mount-proc \
    bash "$(realpath "$0")" --inside "$(realpath "$1")" "$2"
fi
script=$2 standin=$3
read -r _ _ count < /proc/self/uid_map
[ "$count" = 1 ] || { echo "not in a user namespace" >&2; exit 97; }
# The script may itself live under /tmp (a build tree there): it is carried
# over the fresh tmpfs, into /etc/init.d's place in it.
content=$(cat "$script")
mount -t tmpfs init-script-test /tmp
mkdir -p /tmp/init.d
script=/tmp/init.d/S99bootguard
printf '%s\n' "$content" > "$script"
chmod +x "$script"
command -v busybox > /dev/null || { echo "FAIL: busybox is missing (scripts/install-deps.sh installs it)"; exit 1; }

failures=0
check() {  # check WHAT EXPECTED ACTUAL
  if [ "$2" != "$3" ]; then
    printf 'FAIL %s: %s\n  expected: %q\n  actual:   %q\n' "$shell" "$1" "$2" "$3"
    failures=$((failures + 1))
  fi
}

runs=/tmp/standin.runs
mkdir -p "$(dirname "$standin")"
cat > "$standin" <<STANDIN
#!/bin/sh
ignored=\$(sed -n 's/^SigIgn:[[:space:]]*//p' /proc/\$\$/status)
hup=\$([ \$((0x\$ignored & 1)) = 1 ] && echo ignored || echo default)
echo "stand-in running, stdin \$(readlink /proc/self/fd/0), SIGHUP \$hup"
echo "run \$\$" >> $runs
sleep \$(cat /tmp/standin.settle 2>/dev/null || echo 20)
echo "finished \$\$" >> $runs
STANDIN
chmod +x "$standin"

# The environment tools, first on PATH: an update is on trial from the start.
mkdir -p /tmp/bin /tmp/env
cat > /tmp/bin/fw_printenv <<'TOOL'
#!/bin/sh
[ "$1" = -n ] && [ -e "/tmp/env/$2" ] && cat "/tmp/env/$2"
TOOL
cat > /tmp/bin/fw_setenv <<'TOOL'
#!/bin/sh
{ echo "fw_setenv $*"; cat; } >> /tmp/fw_setenv.writes
TOOL
chmod +x /tmp/bin/fw_printenv /tmp/bin/fw_setenv
export PATH=/tmp/bin:$PATH
writes() { cat /tmp/fw_setenv.writes 2>/dev/null || true; }

run_count() { grep -c '^run ' "$runs" 2>/dev/null || true; }
alive() { [ -n "$(tr -d '\0' 2>/dev/null < "/proc/$1/cmdline")" ]; }  # zombies have none

for shell in "busybox sh" "dash"; do
  rm -f /tmp/bootguard.* "$runs" /tmp/fw_setenv.writes /tmp/standin.settle
  echo 1 > /tmp/env/upgrade_available
  echo 0 > /tmp/env/bootcount
  # shellcheck disable=SC2086  # the shell is a command with arguments
  init() { $shell "$script" "$@"; }

  started=$(date +%s%N)
  init start > /tmp/start.log
  elapsed_ms=$((($(date +%s%N) - started) / 1000000))
  check "start returns at once" yes "$([ "$elapsed_ms" -lt 5000 ] && echo yes || echo "no, ${elapsed_ms} ms")"
  for _ in $(seq 50); do [ "$(run_count)" = 1 ] && break; sleep 0.1; done
  check "start ran the stand-in" 1 "$(run_count)"
  check "it is still waiting when start has returned" "" "$(grep finished "$runs" || true)"
  check "start's output, with the stand-in's line: stdin, and SIGHUP that ends init's session" \
    $'Starting bootguard: OK\nstand-in running, stdin /dev/null, SIGHUP ignored' "$(cat /tmp/start.log)"
  pid=$(cat /tmp/bootguard.pid)
  check "the pid file names the stand-in" "run $pid" "$(head -n 1 "$runs")"

  check "second start" "Starting bootguard: already started in this boot" "$(init start)"
  check "status while waiting" "bootguard is running (pid $pid)" "$(init status)"

  check "stop" "Stopping bootguard: OK" "$(init stop)"
  check "stop ended the stand-in" no "$(alive "$pid" && echo yes || echo no)"
  check "restart after stop" $'Stopping bootguard: not running\nStarting bootguard: already started in this boot' \
    "$(init restart)"
  sleep 0.3
  check "the stand-in ran exactly once" 1 "$(run_count)"
  check "status after stop" "bootguard has run in this boot" "$(init status)"
  check "a bootguard stopped in its settle ends no trial" "" "$(writes)"

  # A new boot whose bootguard returns at once, as from a healthy verdict:
  # the trial ends in one write of both variables; a boot with nothing on
  # trial writes nothing.
  echo 0 > /tmp/standin.settle
  finished=0
  for trial in on off; do
    rm -f /tmp/bootguard.* /tmp/fw_setenv.writes
    [ "$trial" = on ] || rm -f /tmp/env/upgrade_available /tmp/env/bootcount
    init start > /tmp/start.log
    finished=$((finished + 1))
    for _ in $(seq 50); do [ "$(grep -c '^finished' "$runs")" = "$finished" ] && break; sleep 0.1; done
    # The start file's shell writes after the stand-in has ended.
    for _ in $(seq 5); do grep -q 'update accepted' /tmp/start.log && break; sleep 0.1; done
    if [ "$trial" = on ]; then
      check "after the verdict, the trial's end: one fw_setenv write" \
        $'fw_setenv -s -\nupgrade_available=\nbootcount=' "$(writes)"
      check "start's output, then the trial's end" \
        $'Starting bootguard: OK\nstand-in running, stdin /dev/null, SIGHUP ignored\nbootguard: update accepted: upgrade_available and bootcount cleared' \
        "$(cat /tmp/start.log)"
    else
      check "no update on trial: nothing written" "" "$(writes)"
    fi
  done

  set +e
  usage=$(init reload)
  status=$?
  set -e
  check "unknown argument" "Usage: $script {start|stop|restart|status}" "$usage"
  check "unknown argument's exit status" 1 "$status"
done

[ "$failures" -eq 0 ] && echo "PASS init script under busybox sh and dash"
exit $((failures > 0))
