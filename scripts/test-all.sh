#!/usr/bin/env bash
# Every test tier: static analysis, unit, whole-boot and export checks in the
# host, sanitizer and armhf (qemu-arm) builds, the fuzz targets, then the
# emulated camera board.
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh || exit 1
failed_tiers=()
# The set-up's apt handling, against a registry with a broken index (a
# throw-away copy of apt's configuration).
echo "== setup =="
tests/setup/apt_test.sh || failed_tiers+=(setup)
scripts/build.sh host asan armhf || exit 1

# clang-tidy and cppcheck over the product's sources: any finding fails.
echo "== analyse =="
scripts/analyse.sh || failed_tiers+=(analyse)

# The whole-boot tests spend their time in the 30-second settle, so the
# three builds are tested side by side; each one's log is shown in turn.
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
presets=(host asan armhf)
declare -A pids
for preset in "${presets[@]}"; do
  ctest --preset "$preset" > "$logs/$preset.log" 2>&1 &
  pids[$preset]=$!
done
for preset in "${presets[@]}"; do
  wait "${pids[$preset]}" || failed_tiers+=("$preset")
  echo "== ctest --preset $preset =="
  cat "$logs/$preset.log"
done

# Fuzzing: each target from its seeds for a bounded time; a crash fails the tier.
echo "== fuzz =="
scripts/fuzz.sh --seconds 45 || failed_tiers+=(fuzz)

if [ -x board/run-tests.sh ]; then
  echo "== board =="
  board/run-tests.sh || failed_tiers+=(board)
fi

if [ "${#failed_tiers[@]}" -gt 0 ]; then
  echo "failed tiers: ${failed_tiers[*]}"
  exit 1
fi
echo "all tiers passed"
