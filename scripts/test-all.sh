#!/usr/bin/env bash
# Every test tier: unit, whole-boot and export checks in the host, sanitizer
# and armhf (qemu-arm) builds, then the emulated camera board.
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh || exit 1
scripts/build.sh host asan armhf || exit 1

failed_tiers=()
for preset in host asan armhf; do
  echo "== ctest --preset $preset =="
  ctest --preset "$preset" || failed_tiers+=("$preset")
done
if [ -x board/run-tests.sh ]; then
  echo "== board =="
  board/run-tests.sh || failed_tiers+=(board)
fi

if [ "${#failed_tiers[@]}" -gt 0 ]; then
  echo "failed tiers: ${failed_tiers[*]}"
  exit 1
fi
echo "all tiers passed"
