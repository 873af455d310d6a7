#!/usr/bin/env bash
# Prepares the emulated camera board: host tools, the armhf packages the
# board runs (Debian 12's armmp kernel, busybox, systemd, the U-Boot
# environment tool, mtd-utils, glibc), the MTD drivers Debian's armhf kernel
# leaves out, and the small armhf helper programs of the guest.
#
# Everything lands in board/cache (downloads, unpacked packages, kernel
# sources) and board/out (built modules and programs); both are ignored by
# git.  Idempotent: a second run only checks that the pieces are there and
# rebuilds helpers whose sources changed.  Needs root only while host
# packages are missing.
set -euo pipefail

board=$(cd "$(dirname "$0")" && pwd)
cache=$board/cache
out=$board/out
root=$cache/root            # armhf packages unpacked with dpkg-deb -x
mkdir -p "$cache/debs" "$root" "$out"

log() { echo "setup: $*"; }
apt_who=setup
source "$board/../scripts/apt.sh"

# --- host packages ----------------------------------------------------------
# qemu-system-arm boots the board with u-boot-qemu's U-Boot; u-boot-tools
# (mkenvimage), mtd-utils (mkfs.jffs2) and squashfs-tools build the factory
# flash content; cpio packs the initramfs; the cross compiler builds the
# guest helpers and, with linux-source-6.1 and linux-kbuild-6.1, the missing
# kernel modules; systemd's systemctl enables the units of the systemd
# initramfs in its staging tree (systemctl --root).
host_packages=(
  qemu-system-arm u-boot-qemu u-boot-tools mtd-utils squashfs-tools cpio gzip xz-utils kmod bc systemd
  g++-arm-linux-gnueabihf gcc-arm-linux-gnueabihf binutils-arm-linux-gnueabihf
  linux-source-6.1 linux-kbuild-6.1 make
  dpkg-dev bison flex swig python3-setuptools libssl-dev libpython3-dev
)
missing=()
for p in "${host_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
need_update=0
# The armhf packages are fetched with apt-get download, which needs the
# foreign architecture in apt's lists.
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  [ "$(id -u)" = 0 ] || { echo "setup: run as root once (dpkg --add-architecture armhf)" >&2; exit 1; }
  log "adding the armhf architecture"
  dpkg --add-architecture armhf
  need_update=1
fi
if [ "${#missing[@]}" -gt 0 ]; then
  [ "$(id -u)" = 0 ] || { echo "setup: run as root once to install: ${missing[*]}" >&2; exit 1; }
  need_update=1
fi
# The package lists must know the armhf packages before the first download.
if [ "$need_update" = 1 ] ||
   { [ ! -e "$cache/unpacked.stamp" ] && ! apt-cache show linux-image-armmp:armhf >/dev/null 2>&1; } ||
   { [ ! -e "$cache/systemd.stamp" ] && ! apt-cache show systemd:armhf >/dev/null 2>&1; }; then
  log "apt-get update"
  apt_update
fi
if [ "${#missing[@]}" -gt 0 ]; then
  log "installing host packages: ${missing[*]}"
  apt_install "${missing[@]}" >/dev/null
fi

# --- armhf packages ----------------------------------------------------------
# The kernel release is chosen once (the one the mirror offers when the cache
# is first filled) and remembered, so later runs need no package look-ups.
if [ -s "$cache/kernel-release" ]; then
  krel=$(cat "$cache/kernel-release")
else
  kpkg=$(apt-cache depends linux-image-armmp:armhf | awk '/Depends: linux-image-/ {print $2; exit}')
  kpkg=${kpkg%:armhf}
  krel=${kpkg#linux-image-}
  [ -n "$krel" ] || { echo "setup: cannot find the armhf armmp kernel package" >&2; exit 1; }
  echo "$krel" > "$cache/kernel-release"
fi
kcommon=${krel%-armmp}-common
guest_packages=(
  "linux-image-$krel:armhf" "linux-headers-$krel:armhf" "linux-headers-$kcommon"
  busybox-static:armhf libubootenv-tool:armhf libubootenv0.1:armhf zlib1g:armhf
  mtd-utils:armhf libc6:armhf
)
if [ ! -e "$cache/unpacked.stamp" ]; then
  log "downloading armhf packages (kernel $krel)"
  (cd "$cache/debs" && apt_download "${guest_packages[@]}") || exit 1
  log "unpacking"
  for deb in "$cache/debs/"*.deb; do dpkg-deb -x "$deb" "$root"; done
  # The headers packages refer to each other and to the kbuild tools by
  # absolute /usr/src and relative /usr/lib paths; point them at the copies
  # here and at the host's (amd64) linux-kbuild-6.1.
  hdr=$root/usr/src/linux-headers-$krel
  sed -i "s|^include .*|include $root/usr/src/linux-headers-$kcommon/Makefile|" "$hdr/Makefile"
  for d in "$hdr" "$root/usr/src/linux-headers-$kcommon"; do
    ln -sfn /usr/lib/linux-kbuild-6.1/scripts "$d/scripts"
    ln -sfn /usr/lib/linux-kbuild-6.1/tools "$d/tools"
  done
  touch "$cache/unpacked.stamp"
fi
# systemd, the board's second init (board.init=systemd): PID 1, journald,
# systemctl and journalctl, and every library they link.  A cache filled
# before the board had systemd gets them through a stamp of their own.
systemd_packages=(
  systemd:armhf                 # systemd, systemd-journald, systemctl, journalctl, the units
  libsystemd-shared:armhf       # libsystemd-shared and libsystemd-core, which all of them link
  # what those link, and what these link in turn (libc6 is there already)
  libacl1:armhf libapparmor1:armhf libaudit1:armhf libcap-ng0:armhf libblkid1:armhf
  libcap2:armhf libcrypt1:armhf libgcrypt20:armhf libgpg-error0:armhf libip4tc2:armhf
  libkmod2:armhf liblz4-1:armhf liblzma5:armhf libmount1:armhf libpam0g:armhf
  libpcre2-8-0:armhf libseccomp2:armhf libselinux1:armhf libssl3:armhf libzstd1:armhf
)
if [ ! -e "$cache/systemd.stamp" ]; then
  log "downloading systemd's armhf packages"
  mkdir -p "$cache/debs-systemd"
  (cd "$cache/debs-systemd" && apt_download "${systemd_packages[@]}") || exit 1
  for deb in "$cache/debs-systemd/"*.deb; do dpkg-deb -x "$deb" "$root"; done
  touch "$cache/systemd.stamp"
fi
# Debian's dynamically linked busybox, apart from the static one the board
# runs: the benchmark's floor (one cat of the image and the partition) goes
# through it, so that mtdcount.so (a preload) can count what it reads.
if [ ! -x "$cache/busybox-dynamic/bin/busybox" ]; then
  log "downloading the dynamic busybox"
  mkdir -p "$cache/debs-dynamic-busybox"
  (cd "$cache/debs-dynamic-busybox" && apt_download busybox:armhf) || exit 1
  deb=$(ls "$cache/debs-dynamic-busybox/busybox_"*_armhf.deb | head -n 1)
  rm -rf "$cache/busybox-dynamic" && dpkg-deb -x "$deb" "$cache/busybox-dynamic"
fi
echo "$krel" > "$out/kernel-release"

# --- out-of-tree MTD drivers -------------------------------------------------
# Debian's armhf kernel has neither the CFI NOR drivers for qemu's pflash nor
# physmap's device-tree support nor mtdram.  Build them from the matching
# source tree; only the few files needed are pulled out of the tarball.  The
# spi-nor core is Debian's own module, built again from the same sources
# with the power-cut hooks.
kmod=$out/kmod
if [ ! -e "$kmod/modules.stamp" ] || [ "$board/kmod/Kbuild" -nt "$kmod/modules.stamp" ] ||
   [ -n "$(find "$board/kmod" -name '*.c' -newer "$kmod/modules.stamp")" ] ||
   [ "$0" -nt "$kmod/modules.stamp" ]; then
  src=$cache/src/linux-source-6.1/drivers/mtd
  if [ ! -e "$src/maps/physmap-core.c" ] || [ ! -e "$src/spi-nor/core.c" ]; then
    log "extracting MTD driver sources from linux-source-6.1"
    mkdir -p "$cache/src"
    tar -xJf /usr/src/linux-source-6.1.tar.xz -C "$cache/src" --wildcards \
      'linux-source-6.1/drivers/mtd/chips/*' 'linux-source-6.1/drivers/mtd/maps/physmap*' \
      'linux-source-6.1/drivers/mtd/devices/mtdram.c' 'linux-source-6.1/drivers/mtd/spi-nor/*'
  fi
  log "building cfi_util gen_probe cfi_probe cfi_cmdset_0001 physmap mtdram spi-nor"
  rm -rf "$kmod" && mkdir -p "$kmod/spi-nor"
  cp "$src"/chips/{cfi_util.c,gen_probe.c,cfi_probe.c,fwh_lock.h} \
     "$src"/maps/physmap-core.c "$src"/maps/physmap-{bt1-rom,gemini,ixp4xx,versatile}.h \
     "$src"/devices/mtdram.c "$board/kmod/Kbuild" "$board/kmod/power-cut.c" "$board/kmod/power-cut-cfi.c" "$kmod/"
  # The power-cut campaign cuts at, or tears, an exact flash operation: the
  # drivers' flash operations are renamed driver_*, and the hooks in
  # kmod/power-cut-*.c take their names.
  hook() {  # source output hook-file include-after renames...
    local source=$1 output=$2 hook_file=$3 after=$4; shift 4
    local IFS='|'
    awk -v renames="$*" -v hook="$hook_file" -v after="$after" '
      BEGIN { n = split(renames, r, "|") }
      { for (i = 1; i <= n; i += 2) if (index($0, r[i]) == 1) { $0 = r[i + 1] substr($0, length(r[i]) + 1); renamed++ } }
      { print }
      $0 == after { print "#include \"" hook "\"" }
      END { exit renamed != n / 2 }
    ' "$source" > "$output" ||
      { echo "setup: cannot hook the flash operations of $(basename "$source")" >&2; exit 1; }
  }
  hook "$src/chips/cfi_cmdset_0001.c" "$kmod/cfi_cmdset_0001.c" power-cut-cfi.c '#include "fwh_lock.h"' \
    'static int __xipram do_write_oneword(' 'static int __xipram driver_write_oneword(' \
    'static int __xipram do_write_buffer(' 'static int __xipram driver_write_buffer(' \
    'static int __xipram do_erase_oneblock(' 'static int __xipram driver_erase_oneblock('
  cp "$src"/spi-nor/*.[ch] "$board/kmod/power-cut.c" "$board/kmod/power-cut-spi-nor.c" "$kmod/spi-nor/"
  sed '/controllers/d' "$src/spi-nor/Makefile" > "$kmod/spi-nor/Kbuild"
  hook "$src/spi-nor/core.c" "$kmod/spi-nor/core.c" power-cut-spi-nor.c '#include "core.h"' \
    'ssize_t spi_nor_write_data(' 'static ssize_t driver_write_data(' \
    'int spi_nor_erase_sector(' 'static int driver_erase_sector(' \
    'module_init(spi_nor_module_init);' 'module_init(board_spi_nor_init);' \
    'module_exit(spi_nor_module_exit);' 'module_exit(board_spi_nor_exit);'
  # The host (amd64) modpost mis-sizes the armhf of_device_id tables and
  # fails; a table only feeds module autoloading aliases (the driver's
  # of_match_table still binds the device, and the board loads its modules
  # by name), so it is left out.
  sed -i '/^MODULE_DEVICE_TABLE(of, of_flash_match);/d' "$kmod/physmap-core.c"
  sed -i '/^MODULE_DEVICE_TABLE(of, spi_nor_of_table);/d' "$kmod/spi-nor/core.c"
  make -s -C "$root/usr/src/linux-headers-$krel" M="$kmod" ARCH=arm \
    CROSS_COMPILE=arm-linux-gnueabihf- -j2 modules >"$kmod/build.log" 2>&1 ||
    { cat "$kmod/build.log" >&2; exit 1; }
  touch "$kmod/modules.stamp"
fi

# --- the cfi board's U-Boot ---------------------------------------------------
# Debian's U-Boot binary (u-boot-qemu) cannot save its environment on
# Debian 12's qemu: the CFI write-to-buffer command takes its word count at
# the buffer's address in qemu 7.2 (qemu issue 2343, fixed upstream in
# 2024), and U-Boot writes the count at the erase block's base, so every
# saveenv ends "Flash buffer write timeout" and leaves a bad CRC.  Linux's
# cfi_cmdset_0001 writes the count at the buffer's address, which both
# chips accept; the board's U-Boot is built from Debian's own source
# package, with Debian's patches and qemu_arm_defconfig, and that one write
# moved, as a camera maker builds the boot loader it ships.  The source
# comes through a deb-src list of Debian's mirror kept in the cache (the
# machine's own apt lists stay as they are).
uboot_version=2023.01+dfsg-2+deb12u3
uboot_cache=$cache/u-boot
uboot_src=$uboot_cache/src/u-boot-${uboot_version%-*}
uboot_out=$out/u-boot
if [ "$(cat "$uboot_out/built" 2>/dev/null)" != "$uboot_version" ] || [ ! -s "$uboot_out/u-boot.bin" ]; then
  if [ ! -e "$uboot_src/.unpacked" ]; then
    mirror=$(sed -n 's/^URIs: *\([^ ]*\/debian\)$/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1)
    mirror=${mirror:-http://deb.debian.org/debian}
    log "downloading U-Boot's source package $uboot_version from $mirror"
    mkdir -p "$uboot_cache/apt/lists/partial" "$uboot_cache/apt/cache/archives/partial" \
      "$uboot_cache/apt/sources" "$uboot_cache/src"
    printf 'Types: deb-src\nURIs: %s\nSuites: bookworm bookworm-updates\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n\nTypes: deb-src\nURIs: %s-security\nSuites: bookworm-security\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
      "$mirror" "$mirror" > "$uboot_cache/apt/sources/debian-src.sources"
    printf 'Dir::Etc::SourceList "/dev/null";\nDir::Etc::SourceParts "%s";\nDir::State::Lists "%s";\nDir::Cache "%s";\n' \
      "$uboot_cache/apt/sources" "$uboot_cache/apt/lists" "$uboot_cache/apt/cache" > "$uboot_cache/apt/apt.conf"
    export APT_CONFIG=$uboot_cache/apt/apt.conf
    apt_update
    (cd "$uboot_cache/src" && apt-get source -q "u-boot=$uboot_version" 2>&1 |
       grep -v -e '^W: Download is performed unsandboxed' -e '^Get:' -e '^Fetched ' -e '^dpkg-source: info' >&2) || true
    unset APT_CONFIG
    [ -e "$uboot_src/Makefile" ] || { echo "setup: U-Boot's source package $uboot_version did not unpack" >&2; exit 1; }
    touch "$uboot_src/.unpacked"
  fi
  log "building U-Boot $uboot_version (qemu_arm_defconfig, the CFI buffer count at the buffer's address)"
  rm -rf "$uboot_out" && mkdir -p "$uboot_out/build"
  # Only the Intel command set's count write: the AMD one has its own offset.
  # flash_write_cmd addresses in port-width units scaled by chip_lsb, hence
  # the shifts; the patched line is recognised on a second build.
  count_write='			flash_write_cmd(info, sector, 0, cnt - 1);'
  [ "$(grep -cxF "$count_write" "$uboot_src/drivers/mtd/cfi_flash.c")" = 1 ] ||
    grep -qxF '			flash_write_cmd(info, sector, (dest - info->start[sector]) >> (shift + info->chip_lsb), cnt - 1);' \
      "$uboot_src/drivers/mtd/cfi_flash.c" ||
    { echo "setup: the CFI buffer count write is not where U-Boot $uboot_version has it" >&2; exit 1; }
  sed -i "s|^$count_write\$|			flash_write_cmd(info, sector, (dest - info->start[sector]) >> (shift + info->chip_lsb), cnt - 1);|" \
    "$uboot_src/drivers/mtd/cfi_flash.c"
  { make -C "$uboot_src" O="$uboot_out/build" CROSS_COMPILE=arm-linux-gnueabihf- qemu_arm_defconfig &&
    make -C "$uboot_src" O="$uboot_out/build" CROSS_COMPILE=arm-linux-gnueabihf- -j2 u-boot.bin; } \
    > "$uboot_out/build.log" 2>&1 || { tail -n 30 "$uboot_out/build.log" >&2; exit 1; }
  cp "$uboot_out/build/u-boot.bin" "$uboot_out/u-boot.bin"
  echo "$uboot_version" > "$uboot_out/built"
fi

# --- guest helper programs ---------------------------------------------------
# bgprobe.so is preloaded into the real bootguard process by the board tests:
# its constructor calls the exported flash functions by name and exits
# before bootguard's main runs.  mtdcount.so counts what any program does to
# the flash, stopwatch times a command and memwatch samples the memory left
# while one runs, for the benchmarks.
build_helper() {  # output source compile-command...
  local target=$1 source=$2; shift 2
  if [ ! -e "$target" ] || [ "$source" -nt "$target" ]; then
    log "building $(basename "$target")"
    "$@"
  fi
}
build_helper "$out/bgprobe.so" "$board/guest/bgprobe.c" \
  arm-linux-gnueabihf-gcc -O2 -Wall -Wextra -Werror -shared -fPIC -o "$out/bgprobe.so" "$board/guest/bgprobe.c" -ldl
build_helper "$out/stopwatch" "$board/guest/stopwatch.c" \
  arm-linux-gnueabihf-gcc -O2 -Wall -Wextra -Werror -o "$out/stopwatch" "$board/guest/stopwatch.c"
build_helper "$out/memwatch" "$board/guest/memwatch.c" \
  arm-linux-gnueabihf-gcc -O2 -Wall -Wextra -Werror -o "$out/memwatch" "$board/guest/memwatch.c"
build_helper "$out/mtdcount.so" "$board/guest/mtdcount.c" \
  arm-linux-gnueabihf-gcc -O2 -Wall -Wextra -Werror -shared -fPIC -o "$out/mtdcount.so" "$board/guest/mtdcount.c" -ldl

log "ready (kernel $krel)"
