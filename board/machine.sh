# One run of the emulated machine, and reading its console (sourced by the
# board scripts).
#
# On the cfi kind, qemu-system-arm's virt machine starts Debian's U-Boot
# from its first flash bank; U-Boot reads its environment from the kept bank
# (the NOR file), takes the path its boot command chooses and starts the
# kernel and initramfs that qemu offers over fw_cfg.  On the spi kind,
# qemu's ast2600-evb starts the kernel, its device tree and the initramfs
# itself (Debian has no U-Boot for it), with the NOR file as the SPI NOR
# chip of its FMC controller; the guest's /init stands in for U-Boot's
# choice of path.  A restart request resets the machine: the boot starts
# again in the same qemu process, with the flash as the last boot left it.
# The run ends when the guest powers off, or when a limit is reached.
#
# By default the guest clock runs on executed instructions, 8 ns each, and
# skips idle time (-icount shift=3,sleep=off): bootguard still waits 30 s of
# guest time, which pass in about a second, and a boot's guest times are the
# same on any host.  (shift=auto is not: it stretches each instruction while
# qemu is still translating the first boot's code, more on a slower host,
# and a boot's CPU work then costs it guest seconds.)  BOARD_REAL_TIME=1
# runs the clock in real time; BOARD_ICOUNT replaces the -icount setting.

# The cfi board's U-Boot, built by setup.sh from Debian's source package so
# that it can save its environment; BOARD_UBOOT=debian boots Debian's own
# binary instead, whose every saveenv fails on this qemu (board/README).
# Chosen when the machine starts, after the scripts' options are read.
uboot_binary() {
  case ${BOARD_UBOOT:-built} in
    built) echo "$out/u-boot/u-boot.bin" ;;
    debian) echo /usr/lib/u-boot/qemu_arm/u-boot.bin ;;
    *) die "unknown U-Boot ${BOARD_UBOOT} (built, debian)" ;;
  esac
}

# The machine of the board's flash kind: qemu's options, the kernel's
# console, and the console line that starts each boot (U-Boot's banner; on
# the spi kind, the first line of the guest's /init).
machine_options() {  # nor krel
  case $BOARD_FLASH in
    cfi)
      machine=(-M virt -cpu cortex-a15 -m "${BOARD_MEMORY:-512}" -bios "$(uboot_binary)"
               -drive "if=pflash,unit=1,format=raw,file=$1")
      console=ttyAMA0
      ;;
    spi)
      # Its device tree reserves memory near the top of the evb's 1 GiB,
      # where a smaller memory leaves the kernel hanging without a word.
      machine=(-M ast2600-evb -m "${BOARD_MEMORY:-1024}"
               -dtb "$root/usr/lib/linux-image-$2/aspeed-ast2600-evb.dtb" -drive "if=mtd,format=raw,file=$1"
               "${park_second_core[@]}")
      # The FMC maps a 256 MiB window, which the kernel's default vmalloc
      # area cannot hold: without vmalloc=512M the controller finds no AHB
      # mapping window and registers no flash.  On qemu's instruction clock
      # the kernel waits for ever on the second core early in its start: it
      # runs on one, as most camera SoCs have.
      console="ttyS4,115200 vmalloc=512M maxcpus=1"
      ;;
  esac
}
# The ast2600's second core, which the kernel does not start, would spin in
# qemu's secondary boot loop: it polls the SoC's boot mailbox (SCU 0x180:
# the address to start at, 0x184: the signature for core 1) with WFE, which
# qemu runs as a mere yield, so the core never idles, the instruction clock
# never skips idle time (bootguard's 30 s settle would take 30 s of host
# time) and it takes half of the machine's time slices.  At every reset
# qemu's loader devices put a two-instruction loop (1: wfi; b 1b) in the
# SoC's SRAM and hand it to the core through the mailbox, as the kernel's
# own bring-up does (arch/arm/mach-aspeed): qemu halts it there for good, no
# interrupt being routed to a core the kernel did not start.
park_loop=$out/park-second-core.bin
mkdir -p "$out"
[ -s "$park_loop" ] || printf '\003\360\040\343\375\377\377\352' > "$park_loop"
park_second_core=(
  -device "loader,file=$park_loop,addr=0x10008000,force-raw=on"
  -device loader,addr=0x1e6e2180,data=0x10008000,data-len=4
  -device loader,addr=0x1e6e2184,data=0xabbaab01,data-len=4
)

boot_banner() {
  case $BOARD_FLASH in
    cfi) echo '^U-Boot 20' ;;
    spi) echo '^@@SCENARIO ' ;;
  esac
}

# run_machine NOR LOG SCENARIO [KERNEL-ARGS...]
#   BOARD_MAX_BOOTS (default 12): U-Boot starts after which the run is cut
#   BOARD_TIMEOUT (default 300): host seconds after which the run is cut
#   BOARD_VERBOSE=1: the console on the terminal as well
#   BOARD_NO_REBOOT=1: a restart ends the run instead (one boot per run)
#   BOARD_MEMORY (default 512, on the spi kind 1024): the guest's memory in MiB
#   BOARD_QEMU_OPTIONS: more options for qemu, split at spaces (the
#     benchmark's trace of the SPI NOR chip: -d trace:m25p80_... -D FILE)
# Returns 0 when the guest powered off (or, with BOARD_NO_REBOOT, restarted),
# 124 when a limit cut the run.
run_machine() {
  local nor=$1 logfile=$2 scenario=$3; shift 3
  local krel raw qpid tailpid="" waited=0 halted=0 status=0 options=() machine console
  krel=$(kernel_release)
  machine_options "$nor" "$krel"
  raw=$logfile.raw
  : > "$raw"
  [ -n "${BOARD_REAL_TIME:-}" ] || options=(-icount "${BOARD_ICOUNT:-shift=3,sleep=off}")
  [ -z "${BOARD_NO_REBOOT:-}" ] || options+=(-no-reboot)
  # shellcheck disable=SC2206 # split at spaces on purpose
  [ -z "${BOARD_QEMU_OPTIONS:-}" ] || options+=($BOARD_QEMU_OPTIONS)
  [ "$BOARD_INIT" = busybox ] || set -- "board.init=$BOARD_INIT" "$@"
  qemu-system-arm "${machine[@]}" -nographic -nic none -monitor none \
    "${options[@]}" -kernel "$root/boot/vmlinuz-$krel" -initrd "$initrd" \
    -append "console=$console panic=-1 quiet board.flash=$BOARD_FLASH board.scenario=$scenario $*" \
    -serial "file:$raw" < /dev/null > "$logfile.qemu" 2>&1 &
  qpid=$!
  echo "$qpid" > "$logfile.pid"
  if [ -n "${BOARD_VERBOSE:-}" ]; then
    tail -f --pid="$qpid" "$raw" | tr -d '\r' &
    tailpid=$!
  fi
  local limit=$(( ${BOARD_TIMEOUT:-300} * 5 )) max_boots=${BOARD_MAX_BOOTS:-12}
  while kill -0 "$qpid" 2>/dev/null; do
    sleep 0.2
    waited=$((waited + 1))
    # Once the guest has said "@@HALT" everything it had to say is in the
    # log; a power-off that does not finish is cut short.
    if grep -q '^@@HALT' "$raw"; then
      halted=$((halted + 1))
      # The ast2600 has no power-off: its kernel halts and says so.
      if grep -q '^\[ *[0-9]*\.[0-9]*\] reboot: System halted' "$raw"; then kill "$qpid"; break; fi
      [ "$halted" -le 50 ] || { log "the guest's power-off did not finish; qemu stopped"; kill "$qpid"; break; }
    fi
    if [ "$waited" -gt "$limit" ]; then
      log "run cut after ${BOARD_TIMEOUT:-300} s"; kill "$qpid"; status=124; break
    fi
    if [ "$(grep -c "$(boot_banner)" "$raw")" -gt "$max_boots" ]; then
      log "run cut after $max_boots boots"; kill "$qpid"; status=124; break
    fi
  done
  wait "$qpid" 2>/dev/null || true
  [ -z "$tailpid" ] || wait "$tailpid" 2>/dev/null || true
  tr -d '\r' < "$raw" > "$logfile"
  rm -f "$raw" "$logfile.pid"
  if [ "$status" != 0 ] && [ -s "$logfile.qemu" ]; then
    cat "$logfile.qemu" >&2
  fi
  return "$status"
}

# split_boots LOG DIR: DIR/boot-N.log for each boot of the run (each begins
# with the boot's banner); prints the number of boots.
split_boots() {
  rm -f "$2"/boot-*.log
  awk -v dir="$2" -v banner="$(boot_banner)" '$0 ~ banner { n++ } n { print > (dir "/boot-" n ".log") } END { print n + 0 }' "$1"
}

# --- one boot's console -------------------------------------------------------
# Lines the guest marked "@@KEY value" (value only).
marker() { sed -n "s/^@@$2 //p" "$1"; }
# The environment U-Boot loaded: stored (its CRC checked out) or default.
# On the spi kind the guest's stand-in for U-Boot says which ("@@LOADER").
uboot_env() {
  if grep -q -e '^Loading Environment from Flash\.\.\. OK' -e '^@@LOADER env=stored' "$1"; then echo stored
  elif grep -q -e 'bad CRC, using default environment' -e '^@@LOADER env=default' "$1"; then echo default
  else echo unknown; fi
}
# The path U-Boot's boot command took, as it printed it; U-Boot's own
# default environment has no such line and boots by its distro path.
uboot_path() {
  local path
  path=$(sed -n -e 's/^U-Boot: \([a-z]*\) path.*/\1/p' -e 's/^@@LOADER .*path=\([a-z]*\).*/\1/p' "$1" | head -n 1)
  echo "${path:-default}"
}
# bootguard's own lines: from its start to the end of the boot, without the
# kernel's and the board's.  Under systemd journald puts them on the
# console as "[TIME] bootguard[PID]: LINE", among systemd's status lines
# ("[  OK  ] Started ...", "         Starting ...").
bootguard_lines() {
  sed -n '/^@@BOOTGUARD-START/,$p' "$1" | sed 's/^\[ *[0-9]*\.[0-9]*\] bootguard\[[0-9]*\]: //' |
    grep -v -e '^@@' -e '^\[ *[0-9]*\.[0-9]*\]' -e '^$' -e '^U-Boot 20' \
      -e '^\[[ A-Z*]*\] ' -e '^         [A-Z][a-z]* ' || true
}
# True when the boot ended with a restart request.
restarted() { grep -q '^\[ *[0-9]*\.[0-9]*\] reboot: Restarting system' "$1"; }
# Guest seconds since the boot at bootguard's start, and at its verdict: the
# restart (the kernel's time stamp) or its return.
bootguard_start() { marker "$1" BOOTGUARD-START | sed -n 's/^uptime=//p'; }
bootguard_verdict() {
  local end
  end=$(marker "$1" BOOTGUARD-END | sed -n 's/^uptime=//p')
  [ -n "$end" ] || end=$(sed -n 's/^\[ *\([0-9]*\.[0-9]*\)\] reboot: Restarting system/\1/p' "$1")
  echo "$end"
}
# Guest seconds from bootguard's start to its verdict.
bootguard_seconds() {
  local start end
  start=$(bootguard_start "$1")
  end=$(bootguard_verdict "$1")
  [ -n "$start" ] && [ -n "$end" ] && awk -v s="$start" -v e="$end" 'BEGIN { printf "%.1f", e - s }'
}
