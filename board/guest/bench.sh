# The write benchmark, run by the board's init (scenario bench) with busybox
# sh, in wall-clock time: `bootguard-flash write` against the ways a user
# flashes an image with mtd-utils, each verifying the result as we do:
#   NOR (qemu's CFI flash, 256 KiB blocks)
#     flashcp -v IMAGE DEV                      (erases what it writes)
#     flash_erase DEV 0 0 + flashcp -v IMAGE DEV
#   NAND (nandsim, 2 KiB pages, 128 KiB blocks), also with chip timing
#     flash_erase DEV 0 0 + nandwrite -p DEV IMAGE + a read-back compare
#     with nanddump (nandwrite does not verify)
# and the floor: one process that reads the image file and the whole
# partition once (busybox cat), which an unchanged rewrite cannot beat.  Cases: a fresh write (the partition holds another image),
# an unchanged rewrite, one changed block.  Each timed REPS times; one more
# run under mtdcount.so counts erases, bytes programmed and bytes read (the
# floor's cat is Debian's dynamically linked busybox, which the preload can
# reach).
# Output (read by board/bench.sh):
#   @@BENCH flash case tool us,us,...
#   @@COUNT flash case tool erased-blocks programmed-bytes read-bytes
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
mkdir -p /customer && : > /customer/debug
cd /tmp
. /usr/libexec/board/common
REPS=$(arg reps)
REPS=${REPS:-5}

# tool_command flash tool image: the command line a user would type.
tool_command() {
  case $2 in
    bootguard-flash) echo "bootguard-flash --quiet write uImage $3 >/dev/null" ;;
    flashcp) echo "flashcp -v $3 $dev >/dev/null" ;;
    erase+flashcp) echo "flash_erase -q $dev 0 0 && flashcp -v $3 $dev >/dev/null" ;;
    erase+nandwrite) echo "flash_erase -q $dev 0 0 && nandwrite -q -p $dev $3 &&" \
      "nanddump -q -l $len $dev | cmp -s - $3" ;;
    floor) echo "/usr/lib/board/busybox cat $3 $dev > /dev/null" ;;
  esac
}

# put image: the partition holds image, written the neutral way (untimed).
put() {
  flash_erase -q "$dev" 0 0
  if [ "$flash" = nor ]; then flashcp "$1" "$dev"; else nandwrite -q -p "$dev" "$1"; fi
}

# prepare case: the partition's content before a timed run.
prepare() {
  case $1 in
    fresh) put /tmp/old ;;
    unchanged|one-block) starts_with /tmp/img || put /tmp/img ;;
  esac
}
case_image() { [ "$1" = one-block ] && echo /tmp/img1 || echo /tmp/img; }

# starts_with image: the partition starts with image.
starts_with() { dd if="$dev" bs="$E" count=$((len / E)) 2>/dev/null | cmp -s - "$1"; }

measure() {  # case tool
  image=$(case_image "$1")
  cmd=$(tool_command "$flash" "$2" "$image")
  times=""
  i=0
  while [ $i -lt "$REPS" ]; do
    prepare "$1"
    stopwatch "$cmd" 2>/tmp/tool.err > /tmp/elapsed
    read -r us status < /tmp/elapsed
    [ "$status" = 0 ] || echo "@@INFO $flash $1 $2 failed: $(tr '\n' '|' < /tmp/tool.err)"
    [ "$2" = floor ] || starts_with "$image" || echo "@@INFO $flash: $dev does not hold $image after $2"
    times="$times${times:+,}$us"
    i=$((i + 1))
  done
  echo "@@BENCH $flash $1 $2 $times"
  prepare "$1"
  rm -f /tmp/counts
  MTDCOUNT=/tmp/counts LD_PRELOAD=/usr/lib/mtdcount.so sh -c "$cmd" 2>/dev/null
  touch /tmp/counts
  awk -v what="$flash $1 $2" -v block="$E" '{ for (i = 1; i <= NF; i++) { split($i, kv, "="); sum[kv[1]] += kv[2] } }
    END { printf "@@COUNT %s %d %d %d\n", what, sum["erased"] / block, sum["programmed"], sum["read"] }' /tmp/counts
}

run_cases() {  # baseline-tools...
  len=$((3 << 20))
  E=$(cat /sys/class/mtd/mtd6/erasesize)
  head -c "$len" /dev/urandom > /tmp/old
  head -c "$len" /dev/urandom > /tmp/img
  { head -c $((E + 10)) /tmp/img; printf 'one changed block'; tail -c +$((E + 28)) /tmp/img; } > /tmp/img1
  for case in fresh unchanged one-block; do
    for tool in bootguard-flash "$@"; do
      measure "$case" "$tool"
    done
  done
  measure unchanged floor
}

dev=/dev/mtd6     # "uImage": 4 MiB, a 3 MiB image

flash=nand
modprobe nandsim id_bytes=0xec,0xf1,0x00,0x15 parts=8,8,8,8,8,8,32
run_cases erase+nandwrite
rmmod nandsim

# The same NAND with a chip's timing: 25 us to read a page, 200 us to
# program one, 2 ms to erase a block, as on SLC NAND.
flash=nand-timed
modprobe nandsim id_bytes=0xec,0xf1,0x00,0x15 parts=8,8,8,8,8,8,32 \
  do_delays=1 access_delay=25 programm_delay=200 erase_delay=2
run_cases erase+nandwrite
rmmod nandsim

flash=nor
board-nor-up
run_cases flashcp erase+flashcp
