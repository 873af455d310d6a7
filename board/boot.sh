#!/usr/bin/env bash
# Runs the emulated camera board with its console on the terminal.
#
#   board/boot.sh [--fresh] [--broken] [--nor FILE] [--init busybox|systemd] [--flash cfi|spi] SCENARIO [NAME=VALUE...]
#
# SCENARIO is camera (U-Boot, then the camera or, on U-Boot's recovery path,
# the recovery system; restarts reset the board and the run goes on until a
# healthy verdict powers it off), flashtest, envtest, bench or check
# (bootguard-check on the started camera; fault=FAULT plants one of
# guest/common's camera_check).  NAME=VALUE
# pairs go on the kernel command line as board.NAME=VALUE.  The NOR flash
# file (default board/out/nor.img) is kept between runs like the camera's
# flash; --fresh replaces it with a factory image first, --broken with one
# whose "rootfs" holds a broken application update.  --init systemd boots
# the camera's normal path with systemd instead of busybox init; --flash spi
# boots the SPI NOR board (default file board/out/nor-spi.img).
# BOARD_REAL_TIME=1 runs the guest clock in real time.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

variant=""
nor=$out/nor.img
while [ $# -gt 0 ]; do
  case $1 in
    --fresh) variant=good; shift ;;
    --broken) variant=broken; shift ;;
    --nor) nor=$2; shift 2 ;;
    --init) select_init "$2"; shift 2 ;;
    --flash) select_flash "$2"; [ "$2" = cfi ] || [ "$nor" != "$out/nor.img" ] || nor=$out/nor-$2.img; shift 2 ;;
    -h|--help) sed -n '2,16p' "$0"; exit 0 ;;
    *) break ;;
  esac
done
[ $# -ge 1 ] || die "usage: $0 [--fresh] [--broken] [--nor FILE] [--init busybox|systemd] [--flash cfi|spi] SCENARIO [NAME=VALUE...]"
scenario=$1; shift
args=()
for kv in "$@"; do args+=("board.$kv"); done

"$board/setup.sh" >/dev/null
install_product
build_initrd
if [ -n "$variant" ] || [ ! -e "$nor" ]; then
  log "new factory flash image $nor (${variant:-good} rootfs)"
  make_nor_image "$nor" "${variant:-good}"
fi
BOARD_VERBOSE=1 run_machine "$nor" "$out/last-run.log" "$scenario" "${args[@]}"
