# The camera's software as one initramfs (sourced by the board scripts):
# busybox and its init, glibc, the U-Boot environment tool, mtd-utils, the
# MTD modules, the board's start scripts and the product's install tree
# exactly as `cmake --install` lays it out.  Rebuilt only when one of its
# inputs is newer.
#
# The init of the normal path is busybox init, or systemd with
# BOARD_INIT=systemd (board.init=systemd on the kernel command line, and an
# initramfs of its own that also carries systemd).
select_init() {  # busybox|systemd
  case $1 in
    busybox) initrd=$out/initrd.cpio.gz ;;
    systemd) initrd=$out/initrd-systemd.cpio.gz ;;
    *) die "unknown init $1 (busybox, systemd)" ;;
  esac
  export BOARD_INIT=$1
}
select_init "${BOARD_INIT:-busybox}"

copy_libs() {  # staging binaries...: copies the shared libraries they need
  local stage=$1 bin lib todo seen=" "; shift
  todo=("$@")
  while [ "${#todo[@]}" -gt 0 ]; do
    bin=${todo[0]}; todo=("${todo[@]:1}")
    for lib in $(arm-linux-gnueabihf-readelf -d "$bin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
      case $seen in *" $lib "*) continue ;; esac
      seen="$seen$lib "
      local found="" dir
      for dir in lib/arm-linux-gnueabihf usr/lib/arm-linux-gnueabihf lib usr/lib/arm-linux-gnueabihf/systemd; do
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

initrd_is_current() {
  local f
  [ -e "$initrd" ] || return 1
  for f in "$install" "$out"/*.so "$out/stopwatch" "$out/memwatch" "$out/bootguard-flash-heap" "$board"/guest "$board"/guest/* "$board"/guest/*/* \
           "$board/flash-image.sh" "$board/initramfs.sh" "$out/kmod/modules.stamp" "$cache/systemd.stamp"; do
    [ ! -e "$f" ] || [ ! "$f" -nt "$initrd" ] || return 1
  done
  [ -z "$(find "$install" -newer "$initrd" -print -quit)" ]
}

# Only the modules the board loads, with a modules.dep made for them.
stage_modules() {  # stage
  local krel moddir m
  krel=$(kernel_release)
  moddir=$1/lib/modules/$krel
  local more=()
  # systemd loads autofs4 as it starts.
  [ "$BOARD_INIT" != systemd ] || more=(fs/autofs/autofs4.ko)
  # spi-aspeed-smc drives the ast2600's SPI memory controller (the spi
  # kind); its spi-nor core is the one built with the power-cut hooks.
  # softdog stands in for the camera's hardware watchdog (the update that
  # hangs, guest/app/ipcamera-hang).
  for m in drivers/mtd/nand/raw/nandsim.ko fs/jffs2/jffs2.ko fs/squashfs/squashfs.ko \
           drivers/mtd/mtdblock.ko drivers/mtd/mtd_blkdevs.ko drivers/spi/spi-aspeed-smc.ko \
           drivers/watchdog/softdog.ko "${more[@]}"; do
    mkdir -p "$moddir/kernel/$(dirname "$m")"
    cp "$root/lib/modules/$krel/kernel/$m" "$moddir/kernel/$m"
  done
  mkdir -p "$moddir/extra"
  find "$out/kmod" -name '*.ko' -exec cp {} "$moddir/extra/" \;
  cp "$root/lib/modules/$krel/modules.order" "$root/lib/modules/$krel/modules.builtin"* "$moddir/" 2>/dev/null || true
  depmod -b "$1" "$krel"
}

# systemd as PID 1 with only what it, journald, systemctl and journalctl
# need: their programs and libraries, the units a boot to multi-user.target
# passes through, journald keeping the journal in /run, tmp.mount, the
# board's start-up as units of its own (guest/systemd), and the links
# `systemctl enable` makes for the product's bootguard.service and those.
systemd_units=(
  multi-user.target basic.target sysinit.target local-fs-pre.target local-fs.target swap.target
  sockets.target timers.target paths.target slices.target emergency.target
  shutdown.target umount.target final.target reboot.target poweroff.target halt.target
  systemd-journald.service systemd-journald.socket systemd-journald-dev-log.socket
  systemd-journald-audit.socket
)
stage_systemd() {  # stage
  local stage=$1 unit units=$1/usr/lib/systemd/system
  mkdir -p "$stage/lib/systemd" "$units" "$stage/etc/systemd/system" "$stage/etc/systemd/journald.conf.d"
  cp "$root/lib/systemd/systemd" "$root/lib/systemd/systemd-journald" "$stage/lib/systemd/"
  cp "$root/bin/systemctl" "$root/bin/journalctl" "$stage/bin/"
  copy_libs "$stage" "$stage/lib/systemd/systemd" "$stage/lib/systemd/systemd-journald" \
    "$stage/bin/systemctl" "$stage/bin/journalctl"
  for unit in "${systemd_units[@]}"; do
    cp "$root/lib/systemd/system/$unit" "$units/"
  done
  cp "$root/usr/share/systemd/tmp.mount" "$units/"
  # journald and its sockets start with every boot, as the package links them.
  mkdir -p "$units/sysinit.target.wants" "$units/sockets.target.wants"
  ln -s ../systemd-journald.service "$units/sysinit.target.wants/"
  ln -s ../systemd-journald.socket "$units/sockets.target.wants/"
  ln -s ../systemd-journald-dev-log.socket "$units/sockets.target.wants/"
  printf '[Journal]\nStorage=volatile\n' > "$stage/etc/systemd/journald.conf.d/board.conf"
  # The units' progress on the console, as a camera's console shows it.
  mkdir -p "$stage/etc/systemd/system.conf.d"
  printf '[Manager]\nShowStatus=yes\n' > "$stage/etc/systemd/system.conf.d/board.conf"
  # The camera's identity: with a machine id every boot is a boot like the
  # last, never a first boot that applies presets.
  echo ipcam-board | md5sum | cut -d' ' -f1 > "$stage/etc/machine-id"
  echo ipcam > "$stage/etc/hostname"
  install -m 644 "$board"/guest/systemd/*.service "$board"/guest/systemd/*.mount "$stage/etc/systemd/system/"
  install -m 755 "$board/guest/systemd/unit" "$stage/usr/libexec/board/unit"
  systemctl --root="$stage" --quiet set-default multi-user.target
  systemctl --root="$stage" --quiet enable bootguard.service tmp.mount customer.mount board-app.service \
    board-ipcamera.service board-report-verdict.service
}

build_initrd() {
  initrd_is_current && return
  local stage=${initrd%.cpio.gz} m
  rm -rf "$stage"
  mkdir -p "$stage"/{bin,sbin,usr/bin,usr/sbin,usr/lib,usr/libexec/board,etc/init.d,proc,sys,dev,tmp,customer,app,root}
  # The product, as installed.
  cp -a "$install"/. "$stage"/
  cp "$root/bin/busybox" "$stage/bin/busybox"
  ln -s ../bin/busybox "$stage/sbin/init"
  # The kernel opens /dev/console for init's standard streams before any
  # devtmpfs exists, so the node must be in the archive.
  mknod -m 600 "$stage/dev/console" c 5 1 2>/dev/null || true
  cp "$root/usr/bin/fw_printenv" "$root/usr/bin/fw_setenv" "$stage/usr/bin/"
  # bootguard runs the environment tool as /etc/fw_setenv.
  cp "$root/usr/bin/fw_setenv" "$stage/etc/fw_setenv"
  for m in flash_erase nandwrite nanddump flashcp mtdinfo mtdpart; do
    cp "$root/usr/sbin/$m" "$stage/usr/sbin/"
  done
  cp "$out"/*.so "$stage/usr/lib/"
  install -m 755 "$out/stopwatch" "$out/memwatch" "$stage/usr/bin/"
  # The memory benchmark's tool from before images were mapped, when built.
  [ ! -e "$out/bootguard-flash-heap" ] || install -m 755 "$out/bootguard-flash-heap" "$stage/usr/bin/"
  mkdir -p "$stage/usr/lib/board"
  install -m 755 "$cache/busybox-dynamic/bin/busybox" "$stage/usr/lib/board/busybox"
  copy_libs "$stage" "$stage"/usr/sbin/* "$stage"/usr/bin/* "$stage"/usr/lib/*.so "$stage/usr/lib/board/busybox"
  # The factory environment, from which fw_setenv rebuilds a whole
  # environment when the stored one is lost: the kit's step and the board's
  # paths, composed as the factory's (flash-image.sh), with no update on
  # trial.
  compose_env "$stage/etc/u-boot-initial-env"
  # Each flash kind's map and environment; /init puts the booted kind's in
  # place (/etc/fw_env.config, /etc/board-layout, /etc/board-nor-bank,
  # /root/env.bin).
  local kind
  for kind in cfi spi; do
    (
      flash_kind "$kind"
      mkdir -p "$stage/etc/board/$kind"
      echo "$fw_env_config" > "$stage/etc/board/$kind/fw_env.config"
      mkenvimage -s "$env_size" -o "$stage/etc/board/$kind/env.bin" "$stage/etc/u-boot-initial-env"
      printf '%s\n' "${layout[@]}" > "$stage/etc/board/$kind/layout"
      echo "$nor_bank" > "$stage/etc/board/$kind/nor-bank"
    )
  done
  # The board's side: init, the start scripts around the product's, the
  # recovery system and the tests.
  install -m 755 "$board/guest/init" "$stage/init"
  install -m 644 "$board/guest/inittab" "$stage/etc/inittab"
  install -m 755 "$board/guest/init.d"/* "$stage/etc/init.d/"
  install -m 644 "$board/guest/common" "$stage/usr/libexec/board/common"
  install -m 755 "$board/guest/report-verdict" "$board/guest/recovery" "$stage/usr/libexec/board/"
  install -m 755 "$board/guest/nor-up" "$stage/usr/sbin/board-nor-up"
  install -m 755 "$board/guest/flash-tests.sh" "$board/guest/env-tests.sh" "$board/guest/bench.sh" \
    "$board/guest/membench.sh" "$stage/root/"
  stage_modules "$stage"
  [ "$BOARD_INIT" != systemd ] || stage_systemd "$stage"
  (cd "$stage" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc --quiet -R 0:0) | gzip -1 > "$initrd.tmp"
  mv "$initrd.tmp" "$initrd"
}
