# The write benchmark, run by the board's init (scenario bench) with busybox
# sh: `bootguard-flash write` against the ways a user flashes an image with
# mtd-utils, on each flash kind of the booted board (board.flash=):
#   cfi  nand  nandsim: 2 KiB pages, 128 KiB blocks (parts 8,...,32,128:
#              "uImage" /dev/mtd6 4 MiB, "rootfs" /dev/mtd7 16 MiB)
#        cfi   qemu's CFI NOR flash of the virt board, 256 KiB blocks
#   spi  spi   the ast2600's SPI NOR chip (qemu's m25p80), 4 KiB sectors
# The tools, each verifying as a user would have it verify:
#   NOR   flashcp -p -v IMAGE DEV           (compares first; only on 4 KiB
#                                            sectors: mtd-utils 2.1.5 reads an
#                                            erase block into a 10 KiB stack
#                                            buffer, which larger blocks overrun)
#         dd | cmp || flashcp -v IMAGE DEV  (the same, done by a script, on CFI)
#         flashcp -v IMAGE DEV              (erases what it writes, reads it back)
#         flash_erase DEV 0 0 + flashcp -v
#   NAND  flash_erase DEV 0 0 + nandwrite -p + a read-back compare with nanddump
#         nanddump | cmp || the same        (compare first, done by a script)
# and the floor's CPU side: one process that reads the image file and the
# whole partition once (busybox cat); board/bench.sh adds the floor's chip
# side from the case.  Layouts: a 3 MiB image in "uImage" (4 MiB) and in
# "rootfs" (16 MiB), a 16 MiB image filling "rootfs".  Cases: onto erased
# flash, over another image, unchanged, one changed block, over an image
# 1 MiB longer (the shorter image must leave the rest erased; not where the
# image fills the partition).
#
# board.cases=a,b,... runs those cases only (default: all five);
# board.pipe=1 adds to the unchanged case bootguard-flash-pipe, the same
# write with the image piped in (`cat IMAGE | bootguard-flash write --size`);
# board.peers=0 leaves out the mtd-utils tools (bootguard-flash and the
# floor only).
# board.reps=N (default 5) times each case N times and says what the
# partition holds afterwards; board.count=0 leaves out the counted run,
# which runs each case once more under mtdcount.so (erases, bytes
# programmed and read at the system-call boundary).  On SPI NOR the counted run is framed
# by two erases of sectors outside the partitions (sentinels), so that
# board/bench.sh finds its commands in qemu's trace of the chip.
# Output (read by board/bench.sh):
#   @@GEOMETRY kind layout partition-bytes erase-bytes page-bytes image-bytes
#   @@BENCH kind layout case tool us,us,...
#   @@RESULT kind layout case tool result
#   @@COUNT kind layout case tool erased-bytes programmed-bytes read-bytes oob-reads
# where result, what the partition holds after the last timed run, is
# image+erased (the image, the rest erased), image+rest (the image, the
# rest as it was) or wrong.
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
mkdir -p /customer && : > /customer/debug
cd /tmp
. /usr/libexec/board/common
REPS=$(arg reps)
REPS=${REPS:-5}
COUNT=$(arg count)
COUNT=${COUNT:-1}
CASES=$(arg cases | tr ',' ' ')
CASES=${CASES:-erased other unchanged one-block shorter}
PIPE=$(arg pipe)
PEERS=$(arg peers)
MiB=1048576
# The SPI NOR chip's last two sectors, beyond every partition (the chip is
# 64 MiB, the partitions end at 30 MiB).
SENTINEL_START=0x3ffe000
SENTINEL_END=0x3fff000

# Debian's dynamically linked busybox, for the reads of the scripts and the
# floor: mtdcount.so, a preload, cannot count what the board's static one
# does.
dynamic=/usr/lib/board/busybox

# tool_command tool image: the command line a user would type.
tool_command() {
  case $1 in
    bootguard-flash) echo "bootguard-flash --quiet write $part $2 >/dev/null" ;;
    bootguard-flash-pipe) echo "cat $2 | bootguard-flash --quiet write --size $len $part - >/dev/null" ;;
    flashcp-p) echo "flashcp -p -v $2 $dev >/dev/null" ;;
    cmp+flashcp) echo "$dynamic dd if=$dev bs=64k count=$((len / 65536)) 2>/dev/null | cmp -s - $2 ||" \
      "flashcp -v $2 $dev >/dev/null" ;;
    flashcp) echo "flashcp -v $2 $dev >/dev/null" ;;
    erase+flashcp) echo "flash_erase -q $dev 0 0 && flashcp -v $2 $dev >/dev/null" ;;
    erase+nandwrite) echo "$(nandwrite_command "$2")" ;;
    cmp+nandwrite) echo "nanddump -q -l $len $dev | cmp -s - $2 || { $(nandwrite_command "$2"); }" ;;
    floor) echo "$dynamic cat $2 $dev > /dev/null" ;;
  esac
}
nandwrite_command() {
  echo "flash_erase -q $dev 0 0 && nandwrite -q -p $dev $1 && nanddump -q -l $len $dev | cmp -s - $1"
}

# What the partition holds (blank, other, img, img1, longer, unknown), so
# that a case is set up only when the last run left something else.
holds=unknown
put() {  # image name
  flash_erase -q "$dev" 0 0
  case $kind in
    nand) nandwrite -q -p "$dev" "$1" ;;
    *) cat "$1" > "$dev" ;;
  esac
  holds=$2
}
prepare() {  # case
  case $1 in
    erased) [ "$holds" = blank ] || { flash_erase -q "$dev" 0 0; holds=blank; } ;;
    other) [ "$holds" = other ] || put /tmp/other other ;;
    unchanged|one-block) [ "$holds" = img ] || put /tmp/img img ;;
    shorter) [ "$holds" = longer ] || put /tmp/longer longer ;;
  esac
}
case_image() { [ "$1" = one-block ] && echo /tmp/img1 || echo /tmp/img; }
after_run() {  # case status
  if [ "$2" != 0 ]; then holds=unknown
  elif [ "$1" = one-block ]; then holds=img1
  elif [ "$1" = shorter ]; then holds=unknown   # the rest depends on the tool
  else holds=img; fi
}

# result image: what the partition holds against the image.
result() {
  [ "$(dd if="$dev" bs=64k count=$((len / 65536)) 2>/dev/null | cmp -s - "$1" && echo same)" = same ] ||
    { echo wrong; return; }
  if [ -z "$(dd if="$dev" bs=64k skip=$((len / 65536)) 2>/dev/null | tr -d '\377' | head -c 1)" ]; then
    echo image+erased
  else
    echo image+rest
  fi
}

# On SPI NOR: a sentinel sector erased, which the host finds in the trace.
chip_mark() { [ "$kind" != spi ] || flash_erase -q /dev/mtd0 "$1" 1; }

measure() {  # case tool
  local image cmd times="" i=0 us status
  image=$(case_image "$1")
  cmd=$(tool_command "$2" "$image")
  while [ $i -lt "$REPS" ]; do
    [ "$2" = floor ] || prepare "$1"
    stopwatch "$cmd" 2>/tmp/tool.err > /tmp/elapsed
    read -r us status < /tmp/elapsed
    [ "$status" = 0 ] || echo "@@INFO $kind $layout $1 $2 failed: $(tr '\n' '|' < /tmp/tool.err)"
    [ "$2" = floor ] || after_run "$1" "$status"
    times="$times${times:+,}$us"
    i=$((i + 1))
  done
  if [ -n "$times" ]; then
    echo "@@BENCH $kind $layout $1 $2 $times"
    # What the last run left: the same for every run.
    [ "$2" = floor ] || [ "$status" != 0 ] || echo "@@RESULT $kind $layout $1 $2 $(result "$image")"
  fi
  [ "$COUNT" = 1 ] || return 0
  [ "$2" = floor ] || prepare "$1"
  rm -f /tmp/counts
  chip_mark $SENTINEL_START
  MTDCOUNT=/tmp/counts LD_PRELOAD=/usr/lib/mtdcount.so sh -c "$cmd" 2>/tmp/tool.err
  status=$?
  chip_mark $SENTINEL_END
  [ "$status" = 0 ] || echo "@@INFO $kind $layout $1 $2 (counted) failed: $(tr '\n' '|' < /tmp/tool.err)"
  touch /tmp/counts
  [ "$2" = floor ] || after_run "$1" "$status"
  awk -v what="$kind $layout $1 $2" '
    { for (i = 1; i <= NF; i++) { split($i, kv, "="); sum[kv[1]] += kv[2] } }
    END { printf "@@COUNT %s %d %d %d %d\n", what, sum["erased"], sum["programmed"], sum["read"], sum["oob_reads"] }' \
    /tmp/counts
}

# run_layout tools...: every case of the layout ($part, $dev, $len).
run_layout() {
  local size erase page case tool
  size=$(cat "/sys/class/mtd/${dev#/dev/}/size")
  erase=$(cat "/sys/class/mtd/${dev#/dev/}/erasesize")
  page=$(cat "/sys/class/mtd/${dev#/dev/}/writesize")
  echo "@@GEOMETRY $kind $layout $size $erase $page $len"
  head -c "$len" /dev/urandom > /tmp/img
  head -c "$len" /dev/urandom > /tmp/other
  # One changed byte range near the start of the second erase block.
  { head -c $((erase + 10)) /tmp/img; printf 'one changed block'; tail -c +$((erase + 28)) /tmp/img; } > /tmp/img1
  rm -f /tmp/longer
  [ $((len + MiB)) -gt "$size" ] || head -c $((len + MiB)) /dev/urandom > /tmp/longer
  holds=unknown
  for case in $CASES; do
    [ "$case" != shorter ] || [ -e /tmp/longer ] || continue
    for tool in bootguard-flash "$@"; do
      measure "$case" "$tool"
    done
    [ "$case" != unchanged ] || [ "$PIPE" != 1 ] || measure unchanged bootguard-flash-pipe
  done
  measure unchanged floor
  rm -f /tmp/img /tmp/other /tmp/img1 /tmp/longer
}

run_kind() {  # tools...
  [ "$PEERS" != 0 ] || set --
  part=uImage; dev=/dev/mtd6; len=$((3 * MiB)); layout=3M/4M
  run_layout "$@"
  part=rootfs; dev=/dev/mtd7; len=$((3 * MiB)); layout=3M/16M
  run_layout "$@"
  len=$((16 * MiB)); layout=16M/16M
  run_layout "$@"
}

case $(arg flash) in
  spi)
    kind=spi
    board-nor-up
    run_kind flashcp-p flashcp erase+flashcp
    ;;
  *)
    kind=nand
    modprobe nandsim id_bytes=0xec,0xf1,0x00,0x15 parts=8,8,8,8,8,8,32,128
    run_kind erase+nandwrite cmp+nandwrite
    rmmod nandsim
    kind=cfi
    board-nor-up
    run_kind cmp+flashcp flashcp erase+flashcp
    ;;
esac
