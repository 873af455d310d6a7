# The memory benchmark, run by the board's init (scenario membench) with
# busybox sh, on a camera with little memory (qemu -m 80, no CMA area: about
# 48 MiB available after boot) and its NOR flash (which lives in a host
# file, not in the guest's memory as nandsim's does):
#   - the extra memory each tool needs to write a 16 MiB image held in /tmp
#     (bootguard-flash, the same tool from before images were mapped,
#     flashcp -v) and to read 16 MiB into /dev/null (both bootguard-flash,
#     dd): MemAvailable just before against the lowest sampled during;
#   - the largest image in /tmp each write tool writes: a search by size in
#     64 KiB steps; a size fails when the tool does not exit 0 (the OOM
#     killer's SIGKILL included) on three tries.  A reserve of 2 MiB is held
#     throughout, the same for every tool (see keep_reserve), and /tmp takes
#     at most all but 8 MiB of the memory available.
# board.membench=stream runs instead the streamed write (bootguard-flash
# write --size BYTES rootfs -) of an image as large as "rootfs", the
# largest partition, generated here by seq and piped in, never stored:
# the whole stream, the same again, another stream cut at half by head -c,
# then that one whole; each under memwatch and mtdcount.so.
# Output (read by board/bench.sh):
#   @@MEM tool command size-bytes before-kib lowest-kib after-kib status
#   @@STREAM run status erases programmed-bytes rest-as-it-was holds-image
#   @@STREAMLINE run the tool's line on standard error
#   @@LARGEST tool bytes first-failing-bytes status-there
#   @@TMP kib: the most /tmp holds
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
. /usr/libexec/board/common
mkdir -p /customer && : > /customer/debug
cd /tmp
# The benchmark's own shell is never the OOM killer's choice.
echo -1000 > /proc/self/oom_score_adj

# A 16 MiB "factory" to read, a 45.5 MiB "rootfs" to write: larger than
# any image this camera can hold in /tmp.
cat > /etc/board-layout <<'LAYOUT'
fdt      0x0100000 0x0040000
spl      0x0140000 0x0040000
u-boot   0x0180000 0x0080000
uenv     0x0000000 0x0100000
factory  0x0200000 0x1000000
uImage   0x1200000 0x0040000
rootfs   0x1240000 0x2d80000
customer 0x3fc0000 0x0040000
LAYOUT
board-nor-up || echo "@@INFO the NOR flash did not come up"

# stream first-number bytes: a reproducible image, every erase block of it
# different, made as it is read.
stream() { seq "$1" 99999999 | head -c "$2"; }
partition_md5() { dd if=/dev/mtd7 bs=65536 skip="$1" 2> /dev/null | md5sum | cut -d' ' -f1; }
image_md5() { head -c "$1" /dev/mtd7 | md5sum | cut -d' ' -f1; }

# stream_run name first bytes-of-stream: one streamed write of the image of
# rootfs_size bytes, under memwatch and mtdcount.so; sets status.
stream_run() {
  local command="seq $2 99999999 | head -c $3 | MTDCOUNT=/tmp/counts LD_PRELOAD=/usr/lib/mtdcount.so"
  command="$command bootguard-flash --quiet write --size $rootfs_size rootfs - > /dev/null 2> /tmp/stream.err"
  rm -f /tmp/counts
  watch "$command"
  echo "@@MEM bootguard-flash stream-$1 $rootfs_size $before $lowest $after $status"
  erases=$(sed -n 's/.*erases=\([0-9]*\).*/\1/p' /tmp/counts)
  programmed=$(sed -n 's/.* programmed=\([0-9]*\).*/\1/p' /tmp/counts)
  [ ! -s /tmp/stream.err ] || echo "@@STREAMLINE $1 $(cat /tmp/stream.err)"
}

# The streamed runs: image A whole and again, image B cut at half, then whole.
stream_bench() {
  local erase half kept_from rest a b
  erase=$(cat /sys/class/mtd/mtd7/erasesize)
  a=10000000 b=50000000
  stream_run whole $a "$rootfs_size"
  echo "@@STREAM whole $status ${erases:-0} ${programmed:-0} - $([ "$(image_md5 "$rootfs_size")" = "$(stream $a "$rootfs_size" | md5sum | cut -d' ' -f1)" ] && echo yes || echo no)"
  stream_run again $a "$rootfs_size"
  echo "@@STREAM again $status ${erases:-0} ${programmed:-0} - -"
  half=$((rootfs_size / 2))
  kept_from=$((half / erase * erase))
  rest=$(partition_md5 $((kept_from / 65536)))
  stream_run cut $b "$half"
  echo "@@STREAM cut $status ${erases:-0} ${programmed:-0} $([ "$(partition_md5 $((kept_from / 65536)))" = "$rest" ] && echo yes || echo no) -"
  stream_run complete $b "$rootfs_size"
  echo "@@STREAM complete $status ${erases:-0} ${programmed:-0} - $([ "$(image_md5 "$rootfs_size")" = "$(stream $b "$rootfs_size" | md5sum | cut -d' ' -f1)" ] && echo yes || echo no)"
  echo "@@STREAMBLOCKS $erase $((rootfs_size / erase)) $((kept_from / erase))"
}

# A reserve of 2 MiB that the OOM killer takes after the tool (see
# memwatch.c); started again whenever it was taken.
reserve=
keep_reserve() {
  [ -n "$reserve" ] && kill -0 "$reserve" 2> /dev/null && return
  memwatch --hold 2048 &
  reserve=$!
}
rootfs_size=$(cat /sys/class/mtd/mtd7/size)
step=65536

write_command() {  # tool image
  case $1 in
    bootguard-flash | bootguard-flash-heap) echo "$1 --quiet write rootfs $2 > /dev/null" ;;
    flashcp) echo "flashcp -v $2 /dev/mtd7 > /dev/null" ;;
  esac
}
read_command() {  # tool bytes
  case $1 in
    bootguard-flash | bootguard-flash-heap) echo "$1 read factory /dev/null $2" ;;
    dd) echo "dd if=/dev/mtd5 of=/dev/null bs=262144 count=$(($2 / 262144)) 2> /dev/null" ;;
  esac
}

# watch command: runs it under memwatch; sets before, lowest, after, status.
watch() {
  keep_reserve
  sync
  echo 3 > /proc/sys/vm/drop_caches
  memwatch "$1" > /tmp/watch 2> /tmp/watch.err
  eval "$(cat /tmp/watch)"
}

available_kib() { awk '/^MemAvailable:/ { print $2 }' /proc/meminfo; }

# image bytes: /tmp/img holds that many random bytes, or, when /tmp has no
# room for them or they would leave less than 6 MiB available, the function
# fails.
image() {
  rm -f /tmp/img
  keep_reserve
  [ $(($1 / 1024 + 6144)) -le "$(available_kib)" ] &&
    head -c "$1" /dev/urandom > /tmp/img 2> /dev/null && [ "$(wc -c < /tmp/img)" -eq "$1" ] ||
    { rm -f /tmp/img; return 1; }
}

# writes tool bytes: the tool writes an image of that size, in three tries.
writes() {
  echo "@@TRY $1 $2"
  image "$2" || { status=no-room-for-the-image; return 1; }
  try=1
  while [ $try -le 3 ]; do
    watch "$(write_command "$1" /tmp/img)"
    [ "$status" != 0 ] || return 0
    try=$((try + 1))
  done
  return 1
}

# The largest size that writes, between one that does and one that does not.
largest() {  # tool
  good=$((16 << 20))
  bad=$((rootfs_size + step))
  bad_status=-
  writes "$1" "$good" || { echo "@@LARGEST $1 0 $good $status"; return; }
  while [ $((bad - good)) -gt $step ]; do
    try_size=$(( (good + bad) / 2 / step * step ))
    if writes "$1" "$try_size"; then good=$try_size; else bad=$try_size; bad_status=$status; fi
  done
  echo "@@LARGEST $1 $good $bad $bad_status"
}

# /tmp may take all the memory there is but 8 MiB: a /tmp that fills the
# memory would leave the kernel deadlocked (the OOM killer frees nothing by
# killing the file's writer), while the tools' own needs, up to the whole
# image again, are what the search is to find.
if [ "$(arg membench)" = stream ]; then
  stream_bench
  kill "$reserve" 2> /dev/null
  dmesg | grep -E 'Out of memory|Killed process|invoked oom-killer' | sed 's/^/@@OOM /'
  exit 0
fi

keep_reserve
sync
echo 3 > /proc/sys/vm/drop_caches
tmp_kib=$(( ($(available_kib) - 8192) / 64 * 64 ))
mount -o remount,size=${tmp_kib}k /tmp
echo "@@TMP $tmp_kib"

size=$((16 << 20))
image "$size"
for tool in bootguard-flash bootguard-flash-heap flashcp; do
  watch "$(write_command $tool /tmp/img)"
  echo "@@MEM $tool write $size $before $lowest $after $status"
done
rm -f /tmp/img
for tool in bootguard-flash bootguard-flash-heap dd; do
  watch "$(read_command $tool "$size")"
  echo "@@MEM $tool read $size $before $lowest $after $status"
done
# The earlier tool last: the OOM kills of its search leave the memory
# somewhat fuller than they found it.
for tool in bootguard-flash flashcp bootguard-flash-heap; do
  largest $tool
done
rm -f /tmp/img
kill "$reserve" 2> /dev/null
dmesg | grep -E 'Out of memory|Killed process|invoked oom-killer' | sed 's/^/@@OOM /'
