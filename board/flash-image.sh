# The camera's flash: the partition map and the factory image of the kept
# flash, for each flash kind of the board (sourced by the board scripts, not
# run).  A kind is a configuration of the same scripts: machine.sh starts
# its machine, initramfs.sh carries its drivers and files, the guest brings
# it up with board-nor-up.
#
# cfi  qemu's virt machine has two 64 MiB CFI flash banks.  U-Boot runs from
#      the first; the second is the file given to qemu, kept between boots,
#      and runs like the camera's flash.  Linux sees both banks as one NOR
#      device, /dev/mtd0 (256 KiB erase blocks).  U-Boot keeps its
#      environment at the start of the kept bank (0x4000000 in its address
#      map, 0x40000 bytes, one copy), so "uenv" starts there.
# spi  qemu's ast2600-evb (Cortex-A7) with a 64 MiB SPI NOR chip (qemu's
#      m25p80, a W25Q512JV) on its FMC controller, driven by the kernel's
#      spi-nor core through spi-aspeed-smc: the flash cameras boot from,
#      4 KiB sectors (Debian's kernel erases by sector), single bytes
#      programmable.  The file given to qemu is the whole chip, /dev/mtd0.
#      No U-Boot: the board starts the kernel itself, and the guest's /init
#      makes U-Boot's normal/recovery choice from the stored environment.
#      A 64 KiB environment in 4 KiB sectors, as camera boot loaders keep it
#      on SPI NOR.
#
# The board carves the camera's partitions out of the kept flash with
# mtdpart, in the order of the table, so that they get the device nodes
# bootguard has compiled in.  BOARD_FLASH chooses the kind (default cfi).

# flash_kind KIND: the kind's flash map and environment, as these globals.
flash_kind() {
  case $1 in
    cfi)
      nor_bank=0x4000000           # offset of the kept flash in /dev/mtd0
      nor_bank_size=$((64 << 20))
      nor_block=0x40000
      layout=(                     # name offset-in-bank size
        "fdt      0x0100000 0x0040000"
        "spl      0x0140000 0x0040000"
        "u-boot   0x0180000 0x0080000"
        "uenv     0x0000000 0x0100000"
        "factory  0x0200000 0x0100000"
        "uImage   0x0300000 0x0400000"
        "rootfs   0x0700000 0x1000000"
        "customer 0x1700000 0x0800000"
      )
      env_size=0x40000             # as U-Boot is built for the virt board
      ;;
    spi)
      nor_bank=0x0
      nor_bank_size=$((64 << 20))
      nor_block=0x1000
      layout=(                     # the boot loader first, where the SoC boots from
        "fdt      0x00a0000 0x0020000"
        "spl      0x0000000 0x0010000"
        "u-boot   0x0010000 0x0070000"
        "uenv     0x0080000 0x0020000"
        "factory  0x0100000 0x0100000"
        "uImage   0x0200000 0x0400000"
        "rootfs   0x0600000 0x1000000"
        "customer 0x1600000 0x0800000"
      )
      env_size=0x10000
      ;;
    *) die "unknown flash kind $1 (cfi, spi)" ;;
  esac
  flash=$1
  # fw_env.config: device, offset, environment size, erase-block size, blocks.
  fw_env_config="/dev/mtd4 0x0 $env_size $nor_block $((env_size / nor_block))"
}
# select_flash KIND: the kind the board scripts run (--flash KIND).
select_flash() {
  flash_kind "$1"
  export BOARD_FLASH=$1
}
select_flash "${BOARD_FLASH:-cfi}"

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

# put_file IMAGE PARTITION FILE: FILE at the start of PARTITION in IMAGE.
put_file() {
  dd if="$3" of="$1" bs=4k seek=$(( $(part_offset "$2") / 4096 )) conv=notrunc status=none
}

# The camera application's image: a squashfs holding the application
# program and its library, as an update or the factory writes it.  VARIANT
# is good (the factory's golden copy) or a kind of broken update: broken
# (its application cannot start), panic (the kernel panics 10 s after it
# starts), hang (it hangs and the watchdog restarts the camera), nocustomer
# (it names a file system for /customer that the flash does not hold, so
# /customer cannot be mounted).  Stored uncompressed, so that the image
# spans three erase blocks, as a real one spans many, and the variants
# differ in each.
make_app_image() {  # variant output
  local tmp program=$1
  tmp=$(mktemp -d)
  mkdir -p "$tmp/app"
  if [ "$1" = nocustomer ]; then
    program=good
    echo ubifs > "$tmp/app/customer-fs"
  fi
  install -m 755 "$board/guest/app/ipcamera-$program" "$tmp/app/ipcamera"
  awk -v line="libisp.so.2 of the $1 application image" \
    'BEGIN { for (n = 0; n < 600000; n += length(line) + 1) print line }' > "$tmp/app/libisp.so.2"
  mksquashfs "$tmp/app" "$2" -noappend -all-root -quiet -no-progress -mkfs-time 0 -all-time 0 \
    -noI -noD -noF -noX >/dev/null
  rm -rf "$tmp"
}

# The camera's U-Boot environment as its factory writes it: the kit's boot
# counting step exactly as installed (share/bootguard/u-boot-bootcount.env)
# and the board's own variables and paths (guest/u-boot-env), then any
# NAME=VALUE given, each replacing the variable of that name (NAME= leaves
# it unset).
compose_env() {  # output [NAME=VALUE...]
  local output=$1 kit=$install/usr/share/bootguard/u-boot-bootcount.env; shift
  [ -s "$kit" ] || die "no $kit in the install tree"
  { cat "$kit" "$board/guest/u-boot-env"; printf '%s\n' "$@"; } |
    awk -F= '{ name = $1; if (!(name in line)) order[++n] = name; line[name] = $0 }
             END { for (i = 1; i <= n; i++) if (line[order[i]] != order[i] "=") print line[order[i]] }' > "$output"
}

# A new camera's kept NOR bank: erased flash (0xFF) with the factory U-Boot
# environment in "uenv", the golden application image in "factory", the
# application image in "rootfs" (ROOTFS_VARIANT: good, or the kind of broken
# update the camera has installed: broken, panic, hang, nocustomer), and a
# JFFS2 /customer on which the application is installed.  A camera with an
# update has it on trial, as the installer leaves it after a written and
# verified update (upgrade_available=1, bootcount=0); BOARD_ENV adds
# NAME=VALUE lines (split at spaces) to its environment.
make_nor_image() {  # path [rootfs-variant]
  local img=$1 variant=${2:-good} tmp trial=()
  tmp=$(mktemp -d)
  dd if=/dev/zero bs=1M count=$((nor_bank_size >> 20)) status=none | tr '\0' '\377' > "$img"
  [ "$variant" = good ] || trial=(upgrade_available=1 bootcount=0)
  # shellcheck disable=SC2206 # split at spaces on purpose
  compose_env "$tmp/u-boot-env" "${trial[@]}" ${BOARD_ENV:-}
  mkenvimage -s "$env_size" -o "$tmp/env.bin" "$tmp/u-boot-env"
  put_file "$img" uenv "$tmp/env.bin"
  make_app_image good "$tmp/golden.sqfs"
  put_file "$img" factory "$tmp/golden.sqfs"
  make_app_image "$variant" "$tmp/rootfs.sqfs"
  put_file "$img" rootfs "$tmp/rootfs.sqfs"
  # The application is installed as a link into its image, mounted at /app:
  # when the image does not mount, the application is not there either.
  mkdir -p "$tmp/customer"
  ln -s /app/ipcamera "$tmp/customer/ipcamera"
  # Padded to the whole partition with a clean marker in every block, as a
  # factory would flash it: the first mount finds no block left to erase.
  make_jffs2 "$tmp/customer" "$tmp/customer.jffs2" "$(part_size customer)"
  put_file "$img" customer "$tmp/customer.jffs2"
  rm -rf "$tmp"
}

# make_jffs2 DIR OUTPUT SIZE: a JFFS2 image of DIR for the kind's erase
# blocks, SIZE bytes with a clean marker at the start of every block.
# mkfs.jffs2 makes no blocks below 8 KiB: for 4 KiB sectors it makes 8 KiB
# ones, and the sectors between their clean markers get one of their own.
# That holds only while every node lies in the first sector, which a
# directory of a link or two does.
make_jffs2() {
  local block=$((nor_block)) tmp
  [ "$block" -ge 8192 ] || block=8192
  mkfs.jffs2 -r "$1" -o "$2" -e "$block" -l -U --pad="$3"
  [ "$((nor_block))" -lt 8192 ] || return 0
  tmp=$(mktemp -d)
  # bytes 4096-8191 of the image are the second sector: blank if nothing
  # spills over from the first
  [ -z "$(tail -c +4097 "$2" | head -c 4096 | tr -d '\377' | head -c 1)" ] ||
    die "the JFFS2 image of $1 does not fit in one 4 KiB sector"
  # one 8 KiB block: the first sector's clean marker for both of its sectors
  { head -c 12 "$2"; head -c 4084 /dev/zero | tr '\0' '\377'; } > "$tmp/sector"
  cat "$tmp/sector" "$tmp/sector" > "$tmp/blocks"
  while [ "$(stat -c %s "$tmp/blocks")" -lt "$3" ]; do
    cat "$tmp/blocks" "$tmp/blocks" > "$tmp/more" && mv "$tmp/more" "$tmp/blocks"
  done
  { head -c 4096 "$2"; tail -c +4097 "$tmp/blocks" | head -c $(($3 - 4096)); } > "$tmp/image"
  mv "$tmp/image" "$2"
  rm -rf "$tmp"
}

# A blank kept bank but for the factory environment, for the flash tests:
# U-Boot boots it by the normal path and the partitions hold nothing.
make_blank_nor_image() {  # path
  local tmp
  tmp=$(mktemp -d)
  dd if=/dev/zero bs=1M count=$((nor_bank_size >> 20)) status=none | tr '\0' '\377' > "$1"
  compose_env "$tmp/u-boot-env"
  mkenvimage -s "$env_size" -o "$tmp/env.bin" "$tmp/u-boot-env"
  put_file "$1" uenv "$tmp/env.bin"
  rm -rf "$tmp"
}
