# Shared by the board scripts (sourced, not run): paths, the camera's flash
# layout, building the initramfs and the factory flash image, booting qemu
# once, and reading the guest's markers out of a console log.

board=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$board/.." && pwd)
cache=$board/cache
out=$board/out
root=$cache/root

# The armhf executable under test.  BOARD_BOOTGUARD may name another armhf
# program, to try the board's plumbing before bootguard builds.
bootguard_bin=${BOARD_BOOTGUARD:-$repo/build/armhf/bootguard}

# --- flash layout --------------------------------------------------------------
# qemu's virt machine has two 64 MiB CFI flash banks, seen by physmap as one
# 128 MiB NOR device (/dev/mtd0, 256 KiB erase blocks).  The first bank is
# the machine's firmware slot and is not kept; the second bank is the file
# given to qemu, so the camera's partitions are carved out of it and survive
# restarts.  mtdpart numbers them in this order after the master: mtd1 ...
# mtd8, matching the device nodes bootguard has compiled in.
nor_bank=0x4000000           # offset of the kept bank in /dev/mtd0
nor_bank_size=$((64 << 20))
nor_block=0x40000
layout=(                     # name offset-in-bank size
  "fdt      0x0000000 0x0040000"
  "spl      0x0040000 0x0040000"
  "u-boot   0x0080000 0x0080000"
  "uenv     0x0100000 0x0100000"
  "factory  0x0200000 0x0040000"
  "uImage   0x0240000 0x0400000"
  "rootfs   0x0640000 0x1000000"
  "customer 0x1640000 0x0800000"
)
# U-Boot environment: one 64 KiB copy at the start of "uenv" (fw_env.config
# wants hex sizes: device, offset, env size, erase-block size, blocks).
env_size=0x10000
fw_env_config="/dev/mtd4 0x0 $env_size $nor_block 1"

# Offset in the kept bank and size of a partition, from the table above.
part_offset() { part_field "$1" 2; }
part_size() { part_field "$1" 3; }
part_field() {  # name field-number
  local entry fields
  for entry in "${layout[@]}"; do
    read -r -a fields <<<"$entry"
    if [ "${fields[0]}" = "$1" ]; then echo $((fields[$2 - 1])); return; fi
  done
  die "no partition $1"
}

log() { echo "board: $*"; }
die() { echo "board: $*" >&2; exit 1; }

kernel_release() { cat "$out/kernel-release"; }

# --- bootguard ---------------------------------------------------------------
# Builds (or refreshes: ninja does nothing when it is up to date) the armhf
# executable with the project's own preset; on a fresh clone it configures
# the preset first.  BOARD_NO_BUILD=1 takes the executable as it is.
ensure_bootguard() {
  mkdir -p "$out"
  if [ -n "${BOARD_BOOTGUARD:-}" ]; then
    [ -x "$bootguard_bin" ] || die "BOARD_BOOTGUARD=$bootguard_bin is not an executable"
    return
  fi
  if [ -z "${BOARD_NO_BUILD:-}" ] || [ ! -x "$bootguard_bin" ]; then
    if [ ! -e "$repo/build/armhf/build.ninja" ]; then
      if [ -x "$repo/scripts/install-deps.sh" ]; then "$repo/scripts/install-deps.sh"; fi
      log "configuring the armhf build"
      (cd "$repo" && cmake --preset armhf) > "$out/configure.log" 2>&1 ||
        { cat "$out/configure.log" >&2; die "configuring the armhf build failed"; }
    fi
    (cd "$repo" && cmake --build --preset armhf --target bootguard) > "$out/build.log" 2>&1 ||
      { cat "$out/build.log" >&2; die "the armhf build of bootguard failed"; }
  fi
  [ -x "$bootguard_bin" ] || die "no armhf bootguard at $bootguard_bin"
}

# --- initramfs ---------------------------------------------------------------
# Everything the board runs lives in one initramfs: busybox, glibc, the
# U-Boot environment tool, mtd-utils, the MTD modules, bootguard and the
# guest scripts.  Rebuilt only when one of its inputs is newer.
initrd=$out/initrd.cpio.gz

copy_libs() {  # staging binaries...: copies the shared libraries they need
  local stage=$1 bin lib todo seen=" "; shift
  todo=("$@")
  while [ "${#todo[@]}" -gt 0 ]; do
    bin=${todo[0]}; todo=("${todo[@]:1}")
    for lib in $(arm-linux-gnueabihf-readelf -d "$bin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
      case $seen in *" $lib "*) continue ;; esac
      seen="$seen$lib "
      local found="" dir
      for dir in lib/arm-linux-gnueabihf usr/lib/arm-linux-gnueabihf lib; do
        [ -e "$root/$dir/$lib" ] && { found=$root/$dir/$lib; break; }
      done
      [ -n "$found" ] || die "library $lib (for $bin) not found in $root"
      mkdir -p "$stage/lib/arm-linux-gnueabihf"
      cp -L "$found" "$stage/lib/arm-linux-gnueabihf/$lib"
      todo+=("$found")
    done
  done
  cp -L "$root/lib/ld-linux-armhf.so.3" "$stage/lib/ld-linux-armhf.so.3"
}

build_initrd() {
  local krel stage moddir m inputs
  krel=$(kernel_release)
  inputs=("$bootguard_bin" "$out/bgprobe.so" "$board"/guest/* "$board/lib.sh" "$out/kmod/modules.stamp")
  if [ -e "$initrd" ]; then
    local newer=0 f
    for f in "${inputs[@]}"; do [ "$f" -nt "$initrd" ] && newer=1; done
    [ "$newer" = 0 ] && return
  fi
  stage=$out/initrd
  rm -rf "$stage"
  mkdir -p "$stage"/{bin,sbin,usr/bin,usr/sbin,usr/lib,etc,proc,sys,dev,tmp,customer,root}
  cp "$root/bin/busybox" "$stage/bin/busybox"
  # The kernel opens /dev/console for init's standard streams before any
  # devtmpfs exists, so the node must be in the archive.
  # (Without the right to create it, init still gets its console once it
  # has mounted devtmpfs.)
  mknod -m 600 "$stage/dev/console" c 5 1 2>/dev/null || true
  cp "$bootguard_bin" "$stage/usr/sbin/bootguard"
  cp "$out/bgprobe.so" "$stage/usr/lib/bgprobe.so"
  cp "$root/usr/bin/fw_printenv" "$root/usr/bin/fw_setenv" "$stage/usr/bin/"
  # bootguard runs the environment tool as /etc/fw_setenv.
  cp "$root/usr/bin/fw_setenv" "$stage/etc/fw_setenv"
  for m in flash_erase nandwrite nanddump flashcp mtdinfo mtdpart; do
    cp "$root/usr/sbin/$m" "$stage/usr/sbin/"
  done
  copy_libs "$stage" "$stage/usr/sbin/bootguard" "$stage/usr/bin/fw_setenv" "$stage"/usr/sbin/* "$stage/usr/lib/bgprobe.so"
  echo "$fw_env_config" > "$stage/etc/fw_env.config"
  cp "$board/guest/u-boot-initial-env" "$stage/etc/u-boot-initial-env"
  # The default environment as U-Boot stores it, for flash the tool refuses.
  mkenvimage -s "$env_size" -o "$stage/root/env.bin" "$board/guest/u-boot-initial-env"
  printf '%s\n' "${layout[@]}" > "$stage/etc/board-layout"
  echo "$nor_bank" > "$stage/etc/board-nor-bank"
  cp "$board/guest/init" "$stage/init"
  install -m 755 "$board/guest/nor-up" "$stage/usr/sbin/board-nor-up"
  cp "$board/guest/flash-tests.sh" "$board/guest/bench.sh" "$stage/root/" 2>/dev/null || true
  chmod 755 "$stage/init" "$stage"/root/*.sh 2>/dev/null || true
  # Only the modules the board loads, with a modules.dep made for them.
  moddir=$stage/lib/modules/$krel
  for m in drivers/mtd/nand/raw/nandsim.ko fs/jffs2/jffs2.ko; do
    mkdir -p "$moddir/kernel/$(dirname "$m")"
    cp "$root/lib/modules/$krel/kernel/$m" "$moddir/kernel/$m"
  done
  mkdir -p "$moddir/extra"
  cp "$out"/kmod/*.ko "$moddir/extra/"
  cp "$root/lib/modules/$krel/modules.order" "$root/lib/modules/$krel/modules.builtin"* "$moddir/" 2>/dev/null || true
  depmod -b "$stage" "$krel"
  (cd "$stage" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc --quiet -R 0:0) | gzip -1 > "$initrd.tmp"
  mv "$initrd.tmp" "$initrd"
}

# --- factory flash image -------------------------------------------------------
# A new camera's kept NOR bank: erased flash (0xFF) with the default U-Boot
# environment in "uenv" and a JFFS2 /customer holding the installed camera
# application.
make_nor_image() {  # path
  local img=$1 tmp
  tmp=$(mktemp -d)
  dd if=/dev/zero bs=1M count=$((nor_bank_size >> 20)) status=none | tr '\0' '\377' > "$img"
  mkenvimage -s "$env_size" -o "$tmp/env.bin" "$board/guest/u-boot-initial-env"
  dd if="$tmp/env.bin" of="$img" bs=64k seek=$(( $(part_offset uenv) / 65536 )) conv=notrunc status=none
  mkdir -p "$tmp/customer"
  cp "$board/guest/ipcamera" "$tmp/customer/ipcamera"
  chmod 755 "$tmp/customer/ipcamera"
  # Padded to the whole partition with a clean marker in every block, as a
  # factory would flash it: the first mount finds no block left to erase.
  mkfs.jffs2 -r "$tmp/customer" -o "$tmp/customer.jffs2" -e "$nor_block" -l -U \
    --pad="$(part_size customer)"
  dd if="$tmp/customer.jffs2" of="$img" bs=64k seek=$(( $(part_offset customer) / 65536 )) conv=notrunc status=none
  rm -rf "$tmp"
}

# --- one boot ------------------------------------------------------------------
# Boots the board once with the given NOR file and scenario; the console goes
# to the log file (and to the terminal when BOARD_VERBOSE is set).  With
# -no-reboot a restart request ends qemu at once, like a power cycle.  Once
# the guest has said "@@HALT" everything it had to say is in the log, so a
# power-off that does not finish within a few seconds is cut short.
boot_once() {  # nor-image log scenario [kernel args...]
  local nor=$1 logfile=$2 scenario=$3; shift 3
  local krel raw qpid tailpid="" limit halted=0 waited=0 status=0
  krel=$(kernel_release)
  raw=$logfile.raw
  : > "$raw"
  qemu-system-arm -M virt -cpu cortex-a15 -m 512 -nographic -nic none -no-reboot \
    -monitor none -serial "file:$raw" \
    -kernel "$root/boot/vmlinuz-$krel" -initrd "$initrd" \
    -drive "if=pflash,unit=1,format=raw,file=$nor" \
    -append "console=ttyAMA0 panic=-1 quiet board.scenario=$scenario $*" \
    < /dev/null > "$logfile.qemu" 2>&1 &
  qpid=$!
  if [ -n "${BOARD_VERBOSE:-}" ]; then
    tail -f --pid="$qpid" "$raw" | tr -d '\r' &
    tailpid=$!
  fi
  limit=$(( ${BOARD_BOOT_TIMEOUT:-180} * 2 ))     # in half seconds
  while kill -0 "$qpid" 2>/dev/null; do
    sleep 0.5
    waited=$((waited + 1))
    if grep -q '^@@HALT' "$raw"; then
      halted=$((halted + 1))
      [ "$halted" -le 20 ] || {
        echo "board: the guest's power-off did not finish; qemu stopped" >&2
        kill "$qpid" 2>/dev/null; break; }
    fi
    [ "$waited" -le "$limit" ] || { echo "board: boot timed out" >&2; kill "$qpid" 2>/dev/null; status=124; break; }
  done
  wait "$qpid" 2>/dev/null || [ "$halted" -gt 20 ] || [ "$status" != 0 ] || status=1
  [ -z "$tailpid" ] || wait "$tailpid" 2>/dev/null || true
  tr -d '\r' < "$raw" > "$logfile"
  rm -f "$raw"
  if [ "$status" != 0 ] && [ -s "$logfile.qemu" ]; then
    cat "$logfile.qemu" >&2
  fi
  return "$status"
}

# Lines the guest marked "@@KEY value" (value only).
marker() { sed -n "s/^@@$2 //p" "$1"; }
# bootguard's own lines: between its start marker and the end of that run.
bootguard_lines() {
  sed -n '/^@@BOOTGUARD-START/,/^@@BOOTGUARD-END/p' "$1" |
    grep -v -e '^@@' -e '^\[ *[0-9]*\.[0-9]*\]' -e '^reboot: ' -e '^$' || true
}
# True when the boot ended with a restart request (qemu's -no-reboot turns
# it into the end of the run) rather than the board's own power-off.
restarted() {
  ! grep -q '^@@BOOTGUARD-END' "$1" && grep -q '^\[ *[0-9]*\.[0-9]*\] reboot: Restarting system' "$1"
}
# Whole seconds from bootguard's start to its restart request (the kernel's
# time stamp on the restart) or to its return.
bootguard_seconds() {
  local start end
  start=$(marker "$1" UPTIME-START)
  end=$(marker "$1" UPTIME-END)
  [ -n "$end" ] || end=$(sed -n 's/^\[ *\([0-9]*\.[0-9]*\)\] reboot: Restarting system/\1/p' "$1")
  [ -n "$start" ] && [ -n "$end" ] && awk -v s="$start" -v e="$end" 'BEGIN { printf "%d", e - s }'
}
