#!/usr/bin/env bash
# The supervisor's story, boot by boot, on this machine: the camera
# application is installed but never starts for three boots, then it runs.
# Each boot is the armhf bootguard under qemu-arm in a namespace sandbox,
# where a restart request ends the sandbox instead of this machine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/build.sh armhf > /dev/null

world=$(mktemp -d /tmp/bootguard-story-XXXXXX)
trap 'rm -rf "$world"' EXIT
mkdir "$world/customer" "$world/tmp" "$world/etc"
touch "$world/customer/ipcamera"
cat > "$world/etc/fw_setenv" <<'TOOL'
#!/bin/sh
# Stands in for the boot loader's environment tool: records the request.
echo "$*" >> /etc/fw_env.requests
TOOL
chmod +x "$world/etc/fw_setenv"

for boot in 1 2 3 4; do
  [ "$boot" = 4 ] && touch "$world/tmp/ipcamera"
  echo "== boot $boot: application $([ "$boot" = 4 ] && echo runs || echo 'never starts') (30 s settle) =="
  set +e
  tests/e2e/sandbox.sh "$world" build/armhf/bootguard qemu-arm -L /usr/arm-linux-gnueabihf | sed 's/^/  bootguard: /'
  status=${PIPESTATUS[0]}
  set -e
  rm -f "$world/tmp/ipcamera"
  [ "$status" = 129 ] && echo "  restart requested" || echo "  exited with status $status"
  echo "  /customer/bootfailed: $(cat "$world/customer/bootfailed" 2>/dev/null || echo absent)"
  echo "  boot-loader requests so far: $(paste -sd';' "$world/etc/fw_env.requests" 2>/dev/null || echo none)"
done
