#!/usr/bin/env bash
# Runs the fuzz targets (build/fuzz/fuzz_TARGET) from their seed corpora and
# saved regressions, two at a time, and prints for each one its executions
# per second, the edges it covered and its corpus size.  Fails when a target
# finds a crash; the input is kept in build/fuzz/crashes/TARGET/ and belongs
# in fuzz/regressions/TARGET/ once the fault is fixed.
#
#   scripts/fuzz.sh [--minutes N | --seconds N] [TARGET...]   (default: 10 minutes each, all targets)
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=600
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --minutes) seconds=$(( $2 * 60 )); shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    -*) echo "usage: $0 [--minutes N | --seconds N] [TARGET...]" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done
[ "${#targets[@]}" -gt 0 ] || targets=(image_writer boot_env partition_list counter check_config check_env)

scripts/install-deps.sh || exit 1
cmake --preset fuzz > /dev/null || exit 1
build_log=$(mktemp)
trap 'rm -f "$build_log"' EXIT
if ! cmake --build --preset fuzz > "$build_log" 2>&1; then
  cat "$build_log"
  exit 1
fi

runs=build/fuzz/runs
mkdir -p "$runs"

# One target: the working corpus grows in build/fuzz/corpus/TARGET; the
# committed seeds and regressions are only read.
fuzz_one() {
  local target=$1
  mkdir -p "build/fuzz/corpus/$target" "build/fuzz/crashes/$target"
  local inputs=("build/fuzz/corpus/$target" "fuzz/corpus/$target")
  [ -d "fuzz/regressions/$target" ] && inputs+=("fuzz/regressions/$target")
  # The partition list's long lines need inputs above libFuzzer's 4 KiB default.
  local longest=4096
  [ "$target" = partition_list ] && longest=9000
  # A flash input costs in proportion to its partition's size, up to a
  # hundred times another's, and large partitions reach no code that small
  # ones do not: the quick ones are scheduled more.
  local schedule=()
  case "$target" in image_writer | boot_env) schedule=(-entropic_scale_per_exec_time=1) ;; esac
  build/fuzz/fuzz_"$target" -max_total_time="$seconds" -timeout=30 -max_len="$longest" "${schedule[@]}" \
      -print_final_stats=1 -artifact_prefix="build/fuzz/crashes/$target/" "${inputs[@]}" > "$runs/$target.log" 2>&1
}

summary() {
  local target=$1 log=$runs/$1.log
  local speed cov corpus
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  corpus=$(grep -o 'corp: [0-9]*/[0-9]*[a-zA-Z]*' "$log" | tail -1 | cut -d' ' -f2)
  printf '%-15s %8s exec/s  %6s edges  corpus %s inputs, %s\n' "$target" "${speed:-?}" "${cov:-?}" \
      "${corpus%%/*}" "${corpus#*/}"
}

failed=()
for ((i = 0; i < ${#targets[@]}; i += 2)); do
  pids=()
  for target in "${targets[@]:i:2}"; do
    [ -x "build/fuzz/fuzz_$target" ] || { echo "no fuzz target $target" >&2; exit 2; }
    fuzz_one "$target" &
    pids+=($!)
  done
  for j in "${!pids[@]}"; do
    target=${targets[i + j]}
    if ! wait "${pids[j]}"; then
      failed+=("$target")
      echo "== fuzz_$target found a crash =="
      grep -v '^    #' "$runs/$target.log" | tail -25
    fi
    summary "$target"
  done
done

if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzz targets with crashes: ${failed[*]}"
  exit 1
fi
