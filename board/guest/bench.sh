# The write benchmark, run by the board's init (scenario bench) with busybox
# sh: ZQDeviceWrite (called inside the real bootguard process through
# bgprobe.so) against the usual mtd-utils way of flashing an image, on the
# same image and partition:
#   NAND (nandsim, 128 KiB blocks): flash_erase + nandwrite -p
#   NOR (qemu's CFI flash, 256 KiB blocks): flash_erase + flashcp -v
# for three cases: a fresh write (the partition holds another image), an
# unchanged rewrite, and an image with one changed block.  Times are wall
# clock from /proc/uptime (10 ms steps), process start-up included for both.
# Output: "@@BENCH kind case zq-ms baseline-ms".
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
mkdir -p /customer && : > /customer/debug
cd /tmp

now() { sed 's/^\([0-9]*\)\.\([0-9]*\) .*/\1\2/' /proc/uptime; }   # centiseconds
zq_write() {  # name image: prints elapsed ms; fails when the write failed
  t0=$(now)
  BGPROBE="write $1 $2" BGPROBE_NOCALLBACK=1 LD_PRELOAD=/usr/lib/bgprobe.so /usr/sbin/bootguard > /tmp/probe.out 2>&1
  t1=$(now)
  grep -q 'bgprobe: rc=0 ' /tmp/probe.out || { echo "@@INFO ZQDeviceWrite failed: $(tr '\n' '|' < /tmp/probe.out)" >&2; }
  echo $(((t1 - t0) * 10))
}
baseline() {  # kind device image: prints elapsed ms
  t0=$(now)
  if [ "$1" = nand ]; then
    flash_erase -q "$2" 0 0 && nandwrite -q -p "$2" "$3" || echo "@@INFO nandwrite failed" >&2
  else
    flash_erase -q "$2" 0 0 && flashcp -v "$3" "$2" > /dev/null || echo "@@INFO flashcp failed" >&2
  fi
  t1=$(now)
  echo $(((t1 - t0) * 10))
}
holds() {  # device image: the partition starts with the image
  head -c "$(wc -c < "$2")" "$1" > /tmp/readback 2>/dev/null
  cmp -s /tmp/readback "$2" || echo "@@INFO $1 does not hold $2 after the write" >&2
}

run_cases() {  # kind name device image-size
  kind=$1 name=$2 dev=$3 len=$4
  E=$(cat /sys/class/mtd/$(basename "$dev")/erasesize)
  head -c "$len" /dev/urandom > /tmp/old
  head -c "$len" /dev/urandom > /tmp/img
  { head -c $((E + 10)) /tmp/img; printf 'one changed block'; tail -c +$((E + 28)) /tmp/img; } > /tmp/img1

  # Fresh write: the partition holds another image.
  baseline "$kind" "$dev" /tmp/old > /dev/null
  zq=$(zq_write "$name" /tmp/img); holds "$dev" /tmp/img
  baseline "$kind" "$dev" /tmp/old > /dev/null
  base=$(baseline "$kind" "$dev" /tmp/img); holds "$dev" /tmp/img
  echo "@@BENCH $kind fresh $zq $base"

  # Unchanged rewrite: the partition already holds the image.
  zq=$(zq_write "$name" /tmp/img); holds "$dev" /tmp/img
  base=$(baseline "$kind" "$dev" /tmp/img); holds "$dev" /tmp/img
  echo "@@BENCH $kind unchanged $zq $base"

  # One changed block.
  zq=$(zq_write "$name" /tmp/img1); holds "$dev" /tmp/img1
  baseline "$kind" "$dev" /tmp/img > /dev/null
  base=$(baseline "$kind" "$dev" /tmp/img1); holds "$dev" /tmp/img1
  echo "@@BENCH $kind one-block $zq $base"
}

# NAND: "uImage" is /dev/mtd6, here 32 blocks (4 MiB); a 3 MiB image.
modprobe nandsim id_bytes=0xec,0xf1,0x00,0x15 parts=8,8,8,8,8,8,32
run_cases nand uImage /dev/mtd6 $((3 << 20))
rmmod nandsim

# NOR: the camera's layout, "uImage" is /dev/mtd6, 16 blocks (4 MiB); a
# 3 MiB image.
board-nor-up
run_cases nor uImage /dev/mtd6 $((3 << 20))
