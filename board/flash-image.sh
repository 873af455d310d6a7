# The camera's flash: the partition map and the factory image of the kept
# NOR bank (sourced by the board scripts, not run).
#
# qemu's virt machine has two 64 MiB CFI flash banks.  U-Boot runs from the
# first; the second is the file given to qemu, kept between boots and runs
# like the camera's flash.  Linux sees both banks as one NOR device,
# /dev/mtd0 (256 KiB erase blocks), and the board carves the camera's
# partitions out of the kept bank with mtdpart, in the order of the table
# below, so that they get the device nodes bootguard has compiled in.
#
# U-Boot keeps its environment at the start of the kept bank (0x4000000 in
# its address map, 0x40000 bytes, one copy), so "uenv" starts there.

nor_bank=0x4000000           # offset of the kept bank in /dev/mtd0
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
# The environment as U-Boot is built for it (fw_env.config: device, offset,
# environment size, erase-block size, blocks).
env_size=0x40000
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

# put_file IMAGE PARTITION FILE: FILE at the start of PARTITION in IMAGE.
put_file() {
  dd if="$3" of="$1" bs=4k seek=$(( $(part_offset "$2") / 4096 )) conv=notrunc status=none
}

# The camera application's image: a squashfs holding the application
# program and its library, as an update or the factory writes it.  VARIANT
# is good (the factory's golden copy) or broken (an update whose application
# cannot start).  Stored uncompressed, so that the image spans three erase
# blocks, as a real one spans many, and the two variants differ in each.
make_app_image() {  # variant output
  local tmp
  tmp=$(mktemp -d)
  mkdir -p "$tmp/app"
  install -m 755 "$board/guest/app/ipcamera-$1" "$tmp/app/ipcamera"
  awk -v line="libisp.so.2 of the $1 application image" \
    'BEGIN { for (n = 0; n < 600000; n += length(line) + 1) print line }' > "$tmp/app/libisp.so.2"
  mksquashfs "$tmp/app" "$2" -noappend -all-root -quiet -no-progress -mkfs-time 0 -all-time 0 \
    -noI -noD -noF -noX >/dev/null
  rm -rf "$tmp"
}

# A new camera's kept NOR bank: erased flash (0xFF) with the factory U-Boot
# environment in "uenv", the golden application image in "factory", the
# application image in "rootfs" (ROOTFS_VARIANT: good, or broken for a
# camera that has installed a broken update), and a JFFS2 /customer on
# which the application is installed.
make_nor_image() {  # path [rootfs-variant]
  local img=$1 variant=${2:-good} tmp
  tmp=$(mktemp -d)
  dd if=/dev/zero bs=1M count=$((nor_bank_size >> 20)) status=none | tr '\0' '\377' > "$img"
  mkenvimage -s "$env_size" -o "$tmp/env.bin" "$board/guest/u-boot-env"
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
  mkfs.jffs2 -r "$tmp/customer" -o "$tmp/customer.jffs2" -e "$nor_block" -l -U \
    --pad="$(part_size customer)"
  put_file "$img" customer "$tmp/customer.jffs2"
  rm -rf "$tmp"
}

# A blank kept bank but for the factory environment, for the flash tests:
# U-Boot boots it by the normal path and the partitions hold nothing.
make_blank_nor_image() {  # path
  local tmp
  tmp=$(mktemp -d)
  dd if=/dev/zero bs=1M count=$((nor_bank_size >> 20)) status=none | tr '\0' '\377' > "$1"
  mkenvimage -s "$env_size" -o "$tmp/env.bin" "$board/guest/u-boot-env"
  put_file "$1" uenv "$tmp/env.bin"
  rm -rf "$tmp"
}
