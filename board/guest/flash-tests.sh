# Board tests of bootguard's flash functions on real kernel MTD drivers, run
# by the board's init (scenario flashtest) with busybox sh.
#
# Every operation is performed by the real /usr/sbin/bootguard: bgprobe.so,
# preloaded into it, calls the exported ZQDevice functions by name and exits
# before bootguard's main (see bgprobe.c).  Every result is then checked by
# reading the flash back independently: nanddump on NAND, dd elsewhere, and
# the U-Boot environment tool for the environment.
#
# On the virt board (board.flash=cfi) three kinds of flash, one after the
# other, each giving /dev/mtd1../dev/mtd8 the device nodes bootguard has
# compiled in:
#   nand  nandsim, 2048-byte pages, 64 spare bytes, 128 KiB blocks, with bad
#         blocks in "factory" (/dev/mtd5)
#   ram   mtdram with 64 KiB blocks, no spare area, carved with mtdpart
#   nor   the CFI NOR flash of qemu's pflash (256 KiB blocks), carved with
#         mtdpart as on the camera
# and on the ast2600 board (board.flash=spi) the kind cameras boot from:
#   spi   the SPI NOR chip (4 KiB sectors, single bytes programmable) through
#         the kernel's spi-nor core, carved with mtdpart as on the camera
# Output: "@@CHECK PASS|FAIL <kind>: <what>" per check, "@@INFO ..." details.
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
. /usr/libexec/board/common
# bootguard's own flow stops at once in debug mode, should a probe ever fall
# through to its main; bgprobe also refuses restart requests.
mkdir -p /customer && : > /customer/debug
cd /tmp

kind=none
check() {  # description command...: the check passes when the command succeeds
  desc=$1; shift
  if "$@"; then
    echo "@@CHECK PASS $kind: $desc"
  else
    echo "@@CHECK FAIL $kind: $desc"
  fi
}
info() { echo "@@INFO $kind: $*"; }
eq() { [ "$1" = "$2" ] || { info "expected '$2', got '$1'"; return 1; }; }
not_contains() { ! grep -qF -- "$2" "$1" || { info "unexpected '$2' in: $(tr '\n' '|' < "$1")"; return 1; }; }
contains() { grep -qF -- "$2" "$1" || { info "no line '$2' in: $(tr '\n' '|' < "$1")"; return 1; }; }

# --- running the exported functions inside bootguard ---------------------------
# probe OPERATION...: runs one operation; sets rc, erases, writes, written and
# progress from bgprobe's result line; bootguard's own lines stay in
# /tmp/probe.out.
probe() {
  BGPROBE="$*" LD_PRELOAD=/usr/lib/bgprobe.so /usr/sbin/bootguard > /tmp/probe.out 2>&1
  # (the line may follow the three spaces that end a "skip bad block" line)
  result=$(grep 'bgprobe: rc=' /tmp/probe.out)
  [ -n "$result" ] || info "no result from '$*': $(tr '\n' '|' < /tmp/probe.out)"
  rc=$(field rc); erases=$(field erases); writes=$(field writes)
  written=$(field written); progress=$(field progress); ms=$(field ms)
  info "$* -> $(tr '\n' '|' < /tmp/probe.out)"
}
field() { echo "$result" | sed -n "s/.* $1=\([^ ]*\).*/\1/p"; }

# --- reading flash back independently -----------------------------------------
# dump DEVICE FILE: the whole partition as raw bytes, bad blocks included.
dump() {
  if [ "$kind" = nand ]; then
    nanddump -q --bb=dumpbad -f "$2" "$1"
  else
    dd if="$1" of="$2" bs=64k 2>/dev/null
  fi
}
slice() { tail -c +$(($2 + 1)) "$1" | head -c "$3"; }   # file offset length
ff() { head -c "$1" /dev/zero | tr '\000' '\377'; }
is_ff() {  # file offset length: all 0xFF
  [ "$(slice "$1" "$2" "$3" | tr -d '\377' | wc -c)" -eq 0 ]
}
same_bytes() {  # file offset length reference-file reference-offset
  slice "$1" "$2" "$3" > /tmp/a.bin
  slice "$4" "$5" "$3" > /tmp/b.bin
  cmp -s /tmp/a.bin /tmp/b.bin
}
random_file() { head -c "$2" /dev/urandom > "$1"; }

# JFFS2 clean marker (magic 0x1985, clean-marker node 0x2003, length 12,
# header CRC), as written at the start of a freshly erased block; written
# here as a whole page so that NAND accepts it.
printf '\205\031\003\040\014\000\000\000\261\260\036\344' > /tmp/marker
{ cat /tmp/marker; ff $((2048 - 12)); } > /tmp/marker-page
marker_only() {  # file offset: the block holds only a clean marker
  same_bytes "$1" "$2" 12 /tmp/marker 0 && is_ff "$1" $(($2 + 12)) $((E - 12))
}
# put_pages DEVICE OFFSET FILE: program pages without erasing first.
put_pages() { dd if="$3" of="$1" bs=2048 seek=$(($2 / 2048)) conv=notrunc 2>/dev/null; }

# --- expected progress ---------------------------------------------------------
# The writer reports w*100/size after each chunk (w: image bytes taken plus
# skipped bad blocks) and start*100/size for each block of the erase-rest
# pass; chunks are one erase block.
expect_write_progress() {  # size erasesize length bad-block-indexes...
  size=$1 bs=$2 rem=$3; shift 3
  w=0 e=0 list=""
  while [ "$rem" -gt 0 ]; do
    if echo " $* " | grep -q " $((e / bs)) "; then
      e=$((e + bs)); w=$((w + bs)); continue
    fi
    n=$rem; [ "$n" -gt "$bs" ] && n=$bs
    w=$((w + n)); rem=$((rem - n))
    list="$list,$((w * 100 / size))"
    while [ "$w" -gt "$e" ]; do e=$((e + bs)); done
  done
  while [ "$e" -lt "$size" ]; do list="$list,$((e * 100 / size))"; e=$((e + bs)); done
  echo "${list#,}"
}
expect_erase_progress() {  # size erasesize
  s=0 list=""
  while [ "$s" -lt "$1" ]; do list="$list,$((s * 40 / $1))"; s=$(($s + $2)); done
  echo "${list#,}"
}
# On NOR the writer's chunking is its own choice: only the shape is checked.
progress_ok() {  # expected
  if [ "$kind" = nor ] || [ "$kind" = spi ]; then
    last=-1
    for v in $(echo "$progress" | tr ',' ' '); do
      [ "$v" -ge "$last" ] && [ "$v" -lt 100 ] || { info "progress $progress"; return 1; }
      last=$v
    done
    eq "$last" "${1##*,}"
  else
    eq "$progress" "$1"
  fi
}

# --- the tests on one kind of flash ----------------------------------------------
# Partition "uImage" (/dev/mtd6) takes the image writes, "uenv" (/dev/mtd4)
# the environment; both are at least 8 erase blocks.
image_tests() {
  dev=/dev/mtd6
  size=$(cat /sys/class/mtd/mtd6/size)
  E=$(cat /sys/class/mtd/mtd6/erasesize)
  page=$(cat /sys/class/mtd/mtd6/writesize)
  flash_erase -q $dev 0 0

  # A fresh write of 2.5 blocks into an erased partition.
  len=$((E * 5 / 2))
  random_file /tmp/img "$len"
  probe write uImage /tmp/img
  check "fresh write returns 0" eq "$rc" 0
  check "fresh write logs its call" contains /tmp/probe.out "Writing from to uImage,offset:0 len:$len"
  dump $dev /tmp/dump
  check "fresh write: image on flash" same_bytes /tmp/dump 0 "$len" /tmp/img 0
  check "fresh write: rest of partition erased" is_ff /tmp/dump "$len" $((size - len))
  check "fresh write erases and writes the 3 blocks it covers" eq "$erases/$writes" 3/3
  check "fresh write progress" progress_ok "$(expect_write_progress "$size" "$E" "$len")"
  check "progress callback's first argument is 0" eq "$(echo "$result" | grep -c badarg)" 0

  # The same image again: nothing to erase or write.
  probe write uImage /tmp/img
  check "unchanged rewrite returns 0" eq "$rc" 0
  check "unchanged rewrite issues no erase and no write" eq "$erases/$writes" 0/0
  dump $dev /tmp/dump
  check "unchanged rewrite: image still on flash" same_bytes /tmp/dump 0 "$len" /tmp/img 0
  check "unchanged rewrite progress" progress_ok "$(expect_write_progress "$size" "$E" "$len")"

  # One changed block (the second): only that block is erased and written.
  { head -c $((E + 100)) /tmp/img; printf 'changed block!!!'; tail -c +$((E + 117)) /tmp/img; } > /tmp/img2
  probe write uImage /tmp/img2
  check "one changed block: returns 0" eq "$rc" 0
  check "one changed block: one erase, one write" eq "$erases/$writes" 1/1
  dump $dev /tmp/dump
  check "one changed block: new image on flash" same_bytes /tmp/dump 0 "$len" /tmp/img2 0

  # Clean-marker blocks after the image: block 4 and 7 hold only a clean
  # marker (kept), block 5 a marker and data, block 6 data (both erased).
  put_pages $dev $((4 * E)) /tmp/marker-page
  { cat /tmp/marker; ff 52; printf 'data'; ff $((2048 - 68)); } > /tmp/dirty-marker
  put_pages $dev $((5 * E)) /tmp/dirty-marker
  random_file /tmp/junk "$E"
  put_pages $dev $((6 * E)) /tmp/junk
  put_pages $dev $((7 * E)) /tmp/marker-page
  # A short image: less than a block, not a whole number of pages.
  random_file /tmp/short 1000
  probe write uImage /tmp/short
  check "short image: returns 0" eq "$rc" 0
  dump $dev /tmp/dump
  check "short image on flash" same_bytes /tmp/dump 0 1000 /tmp/short 0
  check "short image: rest of its block 0xFF" is_ff /tmp/dump 1000 $((E - 1000))
  check "short image: old image blocks 1-3 erased" is_ff /tmp/dump "$E" $((3 * E))
  check "clean-marker-only block 4 kept" marker_only /tmp/dump $((4 * E))
  check "block 5 (marker and data) erased" is_ff /tmp/dump $((5 * E)) "$E"
  check "block 6 (data) erased" is_ff /tmp/dump $((6 * E)) "$E"
  check "clean-marker-only block 7 kept" marker_only /tmp/dump $((7 * E))
  check "short image: erases block 0, old blocks 1-2, blocks 5-6" eq "$erases" 5
  if [ "$page" -gt 1 ]; then
    check "short image written as whole pages (2048 bytes)" eq "$written" 2048
  else
    check "short image written as exactly 1000 bytes" eq "$written" 1000
  fi
  check "short image progress" progress_ok "$(expect_write_progress "$size" "$E" 1000)"

  # The write always starts at the partition's first byte: another offset
  # is refused and the flash left alone.
  probe write uImage /tmp/img 4096
  check "write at a non-zero offset refused" eq "$rc" -1
  dump $dev /tmp/dump2
  check "refused write leaves the partition as it was" cmp -s /tmp/dump /tmp/dump2
}

read_tests() {
  # uenv holds whatever the environment tests left; compare with dd.
  probe read uenv 5000 /tmp/read.bin
  check "read uenv returns 0" eq "$rc" 0
  dd if=/dev/mtd4 bs=1000 count=5 2>/dev/null > /tmp/dd.bin
  check "read uenv: same bytes as dd" cmp -s /tmp/read.bin /tmp/dd.bin
  random_file /tmp/factory 3000
  probe write factory /tmp/factory
  probe read factory 3000 /tmp/read.bin
  check "read factory returns 0" eq "$rc" 0
  check "read factory: the image written there" cmp -s /tmp/read.bin /tmp/factory
  probe read uenvX 5000 /tmp/read2.bin
  check "read uenvX: a name is matched by its prefix (uenv)" cmp -s /tmp/read2.bin /tmp/dd.bin
  probe read u-boot 100 /tmp/read.bin
  check "read refuses u-boot silently" eq "$rc/$(grep -vc 'bgprobe: ' /tmp/probe.out)" -1/0
  fsize=$(cat /sys/class/mtd/mtd4/size)
  probe read uenv $((fsize + 1)) /tmp/read.bin
  check "read past the partition's end fails" eq "$rc" -1
  check "read past the end says Failed to read" contains /tmp/probe.out "Failed to read"
}

env_tests() {  # with-env-tool(yes|no)
  dev=/dev/mtd4
  size=$(cat /sys/class/mtd/mtd4/size)
  E=$(cat /sys/class/mtd/mtd4/erasesize)
  flash_erase -q $dev 0 0
  if [ "$1" = yes ]; then
    # A valid environment, written by U-Boot's own tool.
    fw_setenv foo bar 2>/dev/null
    check "fw_printenv reads the stored environment" eq "$(fw_printenv foo 2>&1)" foo=bar
  else
    # mtdram is refused by the environment tool: store the image built with
    # mkenvimage on the host.
    dd if=/root/env.bin of=$dev bs=64k conv=notrunc 2>/dev/null
  fi
  # Later blocks with stale data (erased by the invalidation's writer) and a
  # clean marker (kept).
  random_file /tmp/junk "$E"
  put_pages $dev $((2 * E)) /tmp/junk
  put_pages $dev $((3 * E)) /tmp/marker-page
  dump $dev /tmp/before
  probe eraseone
  check "env invalidation returns 0" eq "$rc" 0
  check "env invalidation logs its write" contains /tmp/probe.out "Writing from to uenv,offset:0 len:256"
  dump $dev /tmp/dump
  check "env invalidation: CRC field zeroed" eq "$(slice /tmp/dump 0 4 | od -An -tx1 | tr -d ' \n')" 00000000
  check "env invalidation: bytes 4-255 kept" same_bytes /tmp/dump 4 252 /tmp/before 4
  check "env invalidation: rest of the first block 0xFF" is_ff /tmp/dump 256 $((E - 256))
  check "env invalidation: stale block erased" is_ff /tmp/dump $((2 * E)) "$E"
  check "env invalidation: clean-marker block kept" marker_only /tmp/dump $((3 * E))
  if [ "$1" = yes ]; then
    # Without a default environment file the tool must refuse outright.
    mv /etc/u-boot-initial-env /etc/u-boot-initial-env.off
    fw_printenv > /tmp/printenv.out 2>&1
    status=$?
    mv /etc/u-boot-initial-env.off /etc/u-boot-initial-env
    info "fw_printenv after invalidation: status $status, $(tr '\n' '|' < /tmp/printenv.out)"
    check "fw_printenv reports the environment invalid" contains /tmp/printenv.out "Cannot read environment"
    check "fw_printenv fails on the invalid environment" [ "$status" -ne 0 ]
    fw_printenv > /tmp/printenv.out 2>&1
    check "fw_printenv no longer has foo=bar" not_contains /tmp/printenv.out foo=bar
  fi

  # Whole-partition erase: every block, progress on a scale of 40.
  i=0
  while [ $i -lt $((size / E)) ]; do
    # Block 0 (the invalidated header) and block 3 (clean marker) are not
    # blank: programming them again would break NAND's ECC.
    [ $i = 0 ] || [ $i = 3 ] || put_pages $dev $((i * E)) /tmp/junk
    i=$((i + 1))
  done
  probe erase
  check "env erase returns 0" eq "$rc" 0
  dump $dev /tmp/dump
  check "env erase: whole partition 0xFF" is_ff /tmp/dump 0 "$size"
  check "env erase: one erase per block ($((size / E)))" eq "$erases" $((size / E))
  check "env erase progress" eq "$progress" "$(expect_erase_progress "$size" "$E")"
  if [ "$1" = yes ]; then
    fw_printenv > /tmp/printenv.out 2>&1
    check "fw_printenv after the erase: no stored environment" \
      contains /tmp/printenv.out "Cannot read environment"
  fi
}

# "factory" (/dev/mtd5) erased but for stale data in block 7, and an image
# of 3.5 blocks in /tmp/img.
prepare_factory() {
  dev=/dev/mtd5
  size=$(cat /sys/class/mtd/mtd5/size)
  E=$(cat /sys/class/mtd/mtd5/erasesize)
  flash_erase -q $dev 0 0 2>/dev/null
  random_file /tmp/junk "$E"
  put_pages $dev $((7 * E)) /tmp/junk
  len=$((E * 7 / 2))
  random_file /tmp/img "$len"
}

# Bad blocks: chip blocks 41, 43 and 46 are blocks 1, 3 and 6 of "factory".
bad_block_tests() {
  prepare_factory
  probe write factory /tmp/img
  check "bad blocks: write returns 0" eq "$rc" 0
  check "bad block 1 skipped" contains /tmp/probe.out "skip bad block $(printf %x "$E")"
  check "bad block 3 skipped" contains /tmp/probe.out "skip bad block $(printf %x $((3 * E)))"
  check "bad blocks: the image's 4 good blocks and stale block 7 erased, 4 written" eq "$erases/$writes" 5/4
  nanddump -q --bb=skipbad -f /tmp/good $dev
  check "nanddump (good blocks): image continues after each bad block" same_bytes /tmp/good 0 "$len" /tmp/img 0
  check "nanddump (good blocks): the rest 0xFF, stale block 7 erased" is_ff /tmp/good "$len" $((5 * E - len))
  dump $dev /tmp/dump
  check "bad block 1 not written" is_ff /tmp/dump "$E" "$E"
  check "bad block 3 not written" is_ff /tmp/dump $((3 * E)) "$E"
  check "bad blocks: progress counts the skipped blocks" \
    eq "$progress" "$(expect_write_progress "$size" "$E" "$len" 1 3)"
}

# bootguard-flash, the shipped tool over the same module, on "factory"
# (/dev/mtd5; on nandsim its blocks 1, 3 and 6 are bad): exit status, flash
# read back independently, and the erases and bytes programmed that
# mtdcount.so counts at the system-call boundary.
tool() {  # arguments...: sets status, erases, programmed
  rm -f /tmp/counts
  MTDCOUNT=/tmp/counts LD_PRELOAD=/usr/lib/mtdcount.so bootguard-flash "$@" > /tmp/tool.out 2> /tmp/tool.err
  status=$?
  erases=$(sed -n 's/.*erases=\([0-9]*\).*/\1/p' /tmp/counts)
  programmed=$(sed -n 's/.*programmed=\([0-9]*\).*/\1/p' /tmp/counts)
  info "bootguard-flash $* -> $status, erases=$erases programmed=$programmed:" \
    "$(tr '\n' '|' < /tmp/tool.out) $(tr '\n' '|' < /tmp/tool.err | cut -c1-400)"
}
# --progress: one line per whole-percent change, rising, ending at 100%.
progress_lines_ok() {  # file
  grep '^bootguard-flash: [0-9]*%' "$1" | sed 's/^bootguard-flash: \([0-9]*\)%.*/\1/' |
    awk 'NR > 1 && $1 <= last { bad = 1 } { last = $1; n++ } END { exit !(n > 1 && !bad && last == 100) }' ||
    { info "progress lines: $(tr '\n' '|' < "$1" | cut -c1-300)"; return 1; }
}
tool_tests() {
  prepare_factory
  tool --progress write factory /tmp/img
  check "bootguard-flash write: exit status 0" eq "$status" 0
  check "bootguard-flash write: the module's line on standard output" \
    contains /tmp/tool.out "Writing from to factory,offset:0 len:$len"
  check "bootguard-flash --progress: a line per whole-percent change up to 100%" progress_lines_ok /tmp/tool.err
  if [ "$kind" = nand ]; then
    check "bootguard-flash write: bad blocks 1 and 3 skipped" \
      contains /tmp/tool.out "skip bad block $(printf %x $((3 * E)))"
    nanddump -q --bb=skipbad -f /tmp/good $dev
    check "bootguard-flash write: nanddump (good blocks) holds the image, then 0xFF" \
      eval 'same_bytes /tmp/good 0 "$len" /tmp/img 0 && is_ff /tmp/good "$len" $((5 * E - len))'
  else
    dump $dev /tmp/dump
    check "bootguard-flash write: the partition holds the image, then 0xFF" \
      eval 'same_bytes /tmp/dump 0 "$len" /tmp/img 0 && is_ff /tmp/dump "$len" $((size - len))'
  fi
  tool write factory /tmp/img
  check "bootguard-flash unchanged rewrite: exit 0, no erase, nothing programmed" \
    eq "$status/$erases/$programmed" 0/0/0
  tool read factory /tmp/read.bin
  dd if=$dev bs="$E" 2>/dev/null > /tmp/dd.bin
  check "bootguard-flash read (whole partition): exit 0, same bytes as dd" \
    eval '[ "$status" = 0 ] && cmp -s /tmp/read.bin /tmp/dd.bin'
  MTDCOUNT=/dev/null bootguard-flash read factory - 1000 "$E" > /tmp/read.bin 2>/tmp/tool.err
  check "bootguard-flash read - 1000 at one block in: same bytes as dd" \
    eval 'slice /tmp/dd.bin "$E" 1000 | cmp -s - /tmp/read.bin'
  random_file /tmp/big $((size + 1))
  tool write factory /tmp/big
  check "bootguard-flash write of an image larger than the partition: exit 1, no erase" \
    eq "$status/${erases:-0}" 1/0
  stream_tests
}

# stream_tool BYTES FILE ARGUMENTS...: tool with standard input a pipe that
# gives the first BYTES of FILE (a FIFO, so that tool's results stay in
# this shell).
stream_tool() {
  rm -f /tmp/stream && mkfifo /tmp/stream
  head -c "$1" "$2" > /tmp/stream &
  shift 2
  tool "$@" < /tmp/stream
  wait $!
  rm -f /tmp/stream
}
# The raw offset where the first N good blocks of "factory" end.
good_blocks_end() {
  local n=$1 b=0
  while [ "$n" -gt 0 ]; do
    case $kind:$b in nand:1 | nand:3 | nand:6) ;; *) n=$((n - 1)) ;; esac
    b=$((b + 1))
  done
  echo $((b * E))
}
# An image piped into `bootguard-flash write --size BYTES factory -`: the
# whole stream, the same again, another stream cut at half by head -c,
# then that one whole.  4.5 blocks (on NAND good blocks 0, 2, 4, 5, 7),
# where the partition has room for them, else half a block less than it.
stream_tests() {
  local slen=$((E * 9 / 2)) half written_end chunks
  [ "$slen" -lt "$size" ] || slen=$((size - E / 2))
  chunks=$(((slen + E - 1) / E))
  random_file /tmp/s1 "$slen"
  random_file /tmp/s2 "$slen"
  stream_tool "$slen" /tmp/s1 write --size "$slen" factory -
  check "stream: exit 0, the module's line for the stream's size" \
    eval '[ "$status" = 0 ] && grep -qF "Writing from to factory,offset:0 len:$slen" /tmp/tool.out'
  if [ "$kind" = nand ]; then nanddump -q --bb=skipbad -f /tmp/good $dev; else dump $dev /tmp/good; fi
  check "stream: the partition holds the image, then 0xFF" \
    eval 'same_bytes /tmp/good 0 "$slen" /tmp/s1 0 && is_ff /tmp/good "$slen" $((chunks * E - slen))'
  stream_tool "$slen" /tmp/s1 write --size "$slen" factory -
  check "stream again: exit 0, no erase, nothing programmed" eq "$status/$erases/$programmed" 0/0/0
  dump $dev /tmp/before
  half=$((slen / 2))
  stream_tool "$half" /tmp/s2 write --size "$slen" factory -
  check "stream cut at half: exit 3, flash changed" eq "$status" 3
  check "stream cut at half: the line says how much arrived and that the partition is incomplete" eq \
    "$(cat /tmp/tool.err)" \
    "bootguard-flash: standard input ended after $half of $slen bytes: factory is incomplete and must be written again"
  dump $dev /tmp/after
  written_end=$(good_blocks_end $((half / E)))
  check "stream cut at half: its whole blocks written, the rest of the partition as it was" \
    eval '! same_bytes /tmp/after 0 "$written_end" /tmp/before 0 &&
      same_bytes /tmp/after "$written_end" $((size - written_end)) /tmp/before "$written_end"'
  stream_tool "$slen" /tmp/s2 write --size "$slen" factory -
  check "the whole stream again: exit 0, erasing only the $((chunks - half / E)) blocks the cut left different" \
    eq "$status/$erases" "0/$((chunks - half / E))"
  if [ "$kind" = nand ]; then nanddump -q --bb=skipbad -f /tmp/good $dev; else dump $dev /tmp/good; fi
  check "the whole stream again: the partition holds the image, then 0xFF" \
    eval 'same_bytes /tmp/good 0 "$slen" /tmp/s2 0 && is_ff /tmp/good "$slen" $((chunks * E - slen))'
  rm -f /tmp/s1 /tmp/s2 /tmp/before /tmp/after /tmp/good
}

# A bad block inside "uenv" (chip block 34 is its block 2): the whole erase
# skips it and still erases the environment copies behind it.
bad_env_block_tests() {
  dev=/dev/mtd4
  size=$(cat /sys/class/mtd/mtd4/size)
  E=$(cat /sys/class/mtd/mtd4/erasesize)
  random_file /tmp/junk "$E"
  i=0
  while [ $i -lt $((size / E)) ]; do
    [ $i = 2 ] || put_pages $dev $((i * E)) /tmp/junk
    i=$((i + 1))
  done
  probe erase
  check "env erase over a bad block returns 0" eq "$rc" 0
  check "env erase skips bad block 2" contains /tmp/probe.out "skip bad block $(printf %x $((2 * E)))"
  check "env erase: one erase per good block ($((size / E - 1)))" eq "$erases" $((size / E - 1))
  dump $dev /tmp/dump
  check "env erase: blocks before the bad one 0xFF" is_ff /tmp/dump 0 $((2 * E))
  check "env erase: blocks behind the bad one 0xFF" is_ff /tmp/dump $((3 * E)) $((size - 3 * E))
  check "env erase: progress still reported for the bad block" eq "$progress" "$(expect_erase_progress "$size" "$E")"
}

# The image file truncated by another process while bootguard-flash writes
# it, on nandsim slowed to a chip's program and erase times: one line and
# exit 3, not a bare SIGBUS; the next write of the whole file converges.
truncation_tests() {
  dev=/dev/mtd7
  E=$(cat /sys/class/mtd/mtd7/erasesize)
  len=$((40 * E))
  random_file /tmp/whole "$len"
  cp /tmp/whole /tmp/img
  bootguard-flash --progress write rootfs /tmp/img > /tmp/tool.out 2> /tmp/tool.err &
  writer=$!
  until grep -q '^bootguard-flash: [2-9][0-9]%' /tmp/tool.err || ! kill -0 $writer 2> /dev/null; do
    sleep 0.05
  done
  : > /tmp/img
  wait $writer
  status=$?
  info "truncated at $(grep '^bootguard-flash: [0-9]*%' /tmp/tool.err | tail -n 1)"
  check "image truncated during the write: exit 3 (flash changed)" eq "$status" 3
  check "image truncated during the write: the partition is incomplete, said in one line" eq \
    "$(grep -v '^bootguard-flash: [0-9]*%' /tmp/tool.err)" \
    "bootguard-flash: '/tmp/img' changed while being written to rootfs: the partition is incomplete and must be written again"
  cp /tmp/whole /tmp/img
  tool write rootfs /tmp/img
  nanddump -q -f /tmp/dump $dev
  check "the next write of the whole file: exit 0, the image on flash, then 0xFF" \
    eval '[ "$status" = 0 ] && same_bytes /tmp/dump 0 "$len" /tmp/whole 0 && is_ff /tmp/dump "$len" $((64 * E - len))'
  rm -f /tmp/whole /tmp/img /tmp/dump
}

# --- the kinds of flash ----------------------------------------------------------
nand_tests() {
  kind=nand
  modprobe nandsim id_bytes=0xec,0xf1,0x00,0x15 parts=8,8,8,8,8,8,8,8 badblocks=41,43,46 ||
    echo "@@CHECK FAIL nand: nandsim loads"
  echo "/dev/mtd4 0x0 0x10000 0x20000 2" > /etc/fw_env.config
  check "nandsim geometry: 128 KiB blocks, 2048-byte pages, 64 spare bytes" eq \
    "$(cat /sys/class/mtd/mtd6/erasesize)/$(cat /sys/class/mtd/mtd6/writesize)/$(cat /sys/class/mtd/mtd6/oobsize)" 131072/2048/64
  image_tests
  env_tests yes
  read_tests
  bad_block_tests
  tool_tests
  rmmod nandsim
  modprobe nandsim id_bytes=0xec,0xf1,0x00,0x15 parts=8,8,8,8,8,8,8,8 badblocks=34 ||
    echo "@@CHECK FAIL nand: nandsim loads with a bad block in uenv"
  bad_env_block_tests
  rmmod nandsim
  # rootfs 64 blocks; 2 ms per erase, 200 us per page programmed
  modprobe nandsim id_bytes=0xec,0xf1,0x00,0x15 parts=8,8,8,8,8,8,8,64 \
    do_delays=1 erase_delay=2 programm_delay=200 ||
    echo "@@CHECK FAIL nand: nandsim loads with a chip's delays"
  truncation_tests
  rmmod nandsim
}

ram_tests() {
  kind=ram
  modprobe mtdram total_size=8192 erase_size=64
  # name offset size, in bytes: uenv 16 blocks, uImage 16 blocks
  for part in "fdt 0 65536" "spl 65536 65536" "u-boot 131072 131072" "uenv 262144 1048576" \
    "factory 1310720 65536" "uImage 1376256 1048576" "rootfs 2424832 1048576" "customer 3473408 4915200"; do
    set -- $part
    mtdpart add /dev/mtd0 "$1" "$2" "$3"
  done
  check "mtdram geometry: 64 KiB blocks, no spare area" eq \
    "$(cat /sys/class/mtd/mtd6/erasesize)/$(cat /sys/class/mtd/mtd6/oobsize)/$(cat /sys/class/mtd/mtd6/type)" 65536/0/ram
  image_tests
  env_tests no
  read_tests
  rmmod mtdram
}

# The camera's own NOR flash as the board brings it up: the CFI flash on
# the virt board, the SPI NOR chip on the ast2600 board.
nor_tests() {  # kind geometry-description erasesize
  kind=$1
  board-nor-up
  # the kind's own environment layout, which the NAND tests replaced
  cp "/etc/board/$(arg flash)/fw_env.config" /etc/fw_env.config
  check "$2, writesize 1" eq \
    "$(cat /sys/class/mtd/mtd6/erasesize)/$(cat /sys/class/mtd/mtd6/writesize)/$(cat /sys/class/mtd/mtd6/type)" "$3/1/nor"
  check "/proc/mtd names uenv as mtd4" grep -q '^mtd4: .* "uenv"$' /proc/mtd
  image_tests
  env_tests yes
  read_tests
  tool_tests
}

info "uptime $(uptime_s)"
case $(arg flash) in
  spi)
    nor_tests spi "SPI NOR geometry: 4 KiB sectors" 4096 ;;
  *)
    nand_tests
    info "uptime $(uptime_s)"
    ram_tests
    info "uptime $(uptime_s)"
    nor_tests nor "CFI NOR geometry: 256 KiB blocks" 262144 ;;
esac
info "uptime $(uptime_s)"
