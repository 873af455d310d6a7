#!/usr/bin/env bash
# Boots the emulated camera board once and shows its console.
#
#   board/boot.sh [--fresh] [--nor FILE] SCENARIO [NAME=VALUE...]
#
# SCENARIO is camera (a camera boot: the application starts only with
# app=runs, then bootguard runs once), inspect (print the kept counter and
# boot-loader variable), flashtest or bench.  NAME=VALUE pairs go on the
# kernel command line as board.NAME=VALUE.  The NOR flash file (default
# board/out/nor.img) is kept between boots like the camera's flash; --fresh
# replaces it with a factory image first.  Runs setup.sh and builds the armhf
# bootguard when needed.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

fresh=0
nor=$out/nor.img
while [ $# -gt 0 ]; do
  case $1 in
    --fresh) fresh=1; shift ;;
    --nor) nor=$2; shift 2 ;;
    -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
    *) break ;;
  esac
done
[ $# -ge 1 ] || die "usage: $0 [--fresh] [--nor FILE] SCENARIO [NAME=VALUE...]"
scenario=$1; shift
args=()
for kv in "$@"; do args+=("board.$kv"); done

"$board/setup.sh" >/dev/null
ensure_bootguard
build_initrd
if [ "$fresh" = 1 ] || [ ! -e "$nor" ]; then
  log "new factory flash image $nor"
  make_nor_image "$nor"
fi
BOARD_VERBOSE=1 boot_once "$nor" "$out/last-boot.log" "$scenario" "${args[@]}"
