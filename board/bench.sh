#!/usr/bin/env bash
# The benchmarks on the emulated camera board: board/bench.sh [time] [memory]
# (both when none is named).
#
# time: `bootguard-flash write` against mtd-utils and against the chip's
# floor, in the camera's time, on every flash kind of the board: NAND
# (nandsim) and CFI NOR in one boot of the cfi board, SPI NOR in two boots
# of the spi board (guest/bench.sh says what runs: three layouts, five
# cases, the peers).  What the chip does is counted: on NAND and CFI NOR at
# the system-call boundary by mtdcount.so, on SPI NOR from qemu's trace of
# the chip (the m25p80's commands and erases), since the kernel's spi-nor
# core splits every erase into 4 KiB sector erases and every write into
# 256-byte page programs.  The chip's time is modelled from the counts with
# datasheet timings (chip_model below); the CPU's time is the emulated
# board's, and their sum is the camera's time.  The floor of each case is
# what the chip must do at least: read the partition once, erase and
# program exactly the blocks that differ (its CPU side: one busybox cat of
# the image file and the partition).  Wall-clock time by default (the
# guest clock in real time); BENCH_CLOCK=instructions runs the guest on
# qemu's instruction clock (-icount shift=3: 8 ns per guest instruction,
# idle time skipped), the same figures on a busy host.  REPS (default 5)
# runs per case: the CPU time's median and spread (min-max).  Writes the
# table to board/out/bench-time.txt and the chart to board/bench-time.svg.
# BENCH_FLASH=cfi or spi runs one board only (the chart needs both);
# BENCH_CASES=unchanged,... runs those cases only; BENCH_PIPE=1 adds a
# streamed write (the image piped into `write --size BYTES PARTITION -`)
# to the unchanged case; BENCH_PEERS=0 leaves out the mtd-utils tools;
# BENCH_NO_RUN=1 reads the logs of the last run again.
#
# memory: on a camera with little memory (qemu -m 80, the kernel without its
# CMA area), the extra memory each tool needs to write a 16 MiB image held in
# /tmp and to read 16 MiB, and the largest image in /tmp each writes
# (guest/membench.sh); "before" is bootguard-flash as it was when it read
# the whole image into its heap, built from that commit.  BENCH_MEMORY=stream
# runs instead the streamed writes of an image as large as "rootfs", piped
# in (memory, erases, programs; a stream cut at half and completed);
# BOARD_MEMORY sets the camera's memory (default 80 MiB).
set -euo pipefail
source "$(dirname "$0")/lib.sh"

parts=("$@")
[ ${#parts[@]} -gt 0 ] || parts=(time memory)
heap_tool_commit=1a47779   # the last commit whose tool copied the image into its heap

"$board/setup.sh" >/dev/null
install_product
nor=$out/bench-nor.img
chart=$board/bench-time.svg

mib() { awk -v b="$1" 'BEGIN { printf "%.2f", b / 1048576 }'; }

# --- the chip's time ------------------------------------------------------------
# chip_ms(kind, erases, programs, bytes read, spare-area reads): the time the
# chip is busy, in ms, from typical datasheet figures.  Erases and programs
# are counted in the chip's own units: SPI NOR 4 KiB sector erases and
# page programs (up to 256 bytes each), NAND block erases and 2 KiB page
# programs, CFI NOR block erases and write-buffer programs.  Data moving
# into the chip is taken as part of its program time, and each read as its
# bytes at the chip's read rate (NAND: a page read per 2 KiB); command and
# address bytes are left out.
chip_model='
function chip_ms(kind, erases, programs, bytes, spare_reads) {
  if (kind == "spi") {
    # Winbond W25Q128JV datasheet, 9.6 "AC Electrical Characteristics":
    #   tSE  "Sector Erase Time (4KB)"  typ 45 ms
    #   tPP  "Page Program Time"        typ 0.4 ms
    # Reads: the kernel reads with Quad Output Fast Read (6Ch, seen in the
    # trace), 4 bits a clock; the evb device tree gives the FMC'"'"'s flash@0
    # spi-max-frequency 50 MHz and spi-rx-bus-width 4: 25 MB/s (the
    # W25Q128JV takes up to 133 MHz, fR in the same table).
    return erases * 45 + programs * 0.4 + bytes / 25e6 * 1000
  }
  if (kind == "nand") {
    # SLC NAND with nandsim'"'"'s do_delays figures (drivers/mtd/nand/raw/
    # nandsim.c, CONFIG_NANDSIM_ERASE_DELAY 2, CONFIG_NANDSIM_PROGRAMM_DELAY
    # 200, CONFIG_NANDSIM_ACCESS_DELAY 25), as a Samsung K9F1G08 (the
    # chip nandsim is asked to be, id 0xec 0xf1) has them:
    #   block erase 2 ms, page program 200 us, page read 25 us
    # A spare-area read is a page read.  The bus transfer nandsim adds
    # (input_cycle 50 ns a byte read, output_cycle 40 ns a byte written)
    # is left out: with it a page read would cost 127 us, and reading a
    # block four times what erasing it does.
    return erases * 2 + programs * 0.2 + (bytes / 2048 + spare_reads) * 0.025
  }
  # CFI NOR: qemu'"'"'s virt flash bank is 32 bits wide, 64 MiB in 256 KiB
  # blocks, Intel command set: two x16 Intel StrataFlash 28F256J3 side by
  # side, each erasing its 128 KiB half of a block and programming its
  # half of each 64-byte write at the same time.  Intel StrataFlash Memory
  # (J3) datasheet, order number 290667, program/erase timings:
  #   "Block Erase Time"                                        typ 1.0 s
  #   "Write Buffer Byte Program Time (Time to Program 32 bytes/16 words)"
  #                                                             typ 218 us
  # and read timings (28F256J3): tAVQV "Address to Output Delay" 150 ns,
  # then tAPA "Page Address Access Time" 25 ns for each further word of
  # the 4-word page: 16 bytes of the two chips in 225 ns.
  return erases * 1000 + programs * 0.218 + bytes / 16 * 225e-6
}
# The chip'"'"'s units of a count at the system-call boundary.
function program_unit(kind, page) { return kind == "nand" ? page : kind == "cfi" ? 64 : 256 }
'

# The sums checked once against a hand count: one changed block of a 3 MiB
# image in the 4 MiB "uImage", as bootguard-flash does it (the partition
# read once, the block read back, NAND also a spare-area read per block).
check_chip_model() {
  awk "$chip_model"'
    function expect(what, got, want) {
      if (sprintf("%.3f", got) != sprintf("%.3f", want)) { printf "%s: %.3f ms, by hand %.3f ms\n", what, got, want; bad = 1 }
    }
    BEGIN {
      # 45 + 16 x 0.4 + (4 MiB + 4 KiB) / 25 MB/s = 45 + 6.4 + 167.936
      expect("spi", chip_ms("spi", 1, 16, 4194304 + 4096, 0), 219.336)
      # 2 + 64 x 0.2 + (2048 + 64 pages + 32 spare areas) x 0.025 = 2 + 12.8 + 53.6
      expect("nand", chip_ms("nand", 1, 64, 4194304 + 131072, 32), 68.4)
      # 1000 + 4096 x 0.218 + (4 MiB + 256 KiB) / 16 x 225 ns = 1000 + 892.928 + 62.6688
      expect("cfi", chip_ms("cfi", 1, 4096, 4194304 + 262144, 0), 1955.5968)
      exit bad
    }' || die "the chip model does not sum as counted by hand"
}

# --- what the SPI NOR chip received -----------------------------------------------
# qemu's trace of the m25p80, read as qemu writes it (through a pipe: a
# boot's reads alone are hundreds of millions of lines).  The guest erases
# a sentinel sector before each counted run and another after it; between
# the two, each line printed is
#   sector-erases other-erases page-programs read-commands
# The trace names each erase with its length and each command by its code:
# 02h/12h page program, 32h/34h quad page program, and the read commands.
spi_trace_events=m25p80_command_decoded,m25p80_flash_erase
count_spi_chip() {  # trace-pipe
  awk '
    /m25p80_flash_erase/ {
      if (index($0, "offset = 0x3ffe000,")) { open = 1; sectors = others = programs = reads = 0; next }
      if (index($0, "offset = 0x3fff000,")) { if (open) print sectors, others, programs, reads; open = 0; next }
      if (open) { if ($NF == 4096) sectors++; else others++ }
      next
    }
    open && /m25p80_command_decoded/ {
      code = $NF; sub(/.*:/, "", code)
      if (code ~ /^0x(2|12|32|34)$/) programs++
      else if (code ~ /^0x(3|13|b|c|3b|3c|6b|6c|bb|bc|eb|ec)$/) reads++
    }' < "$1"
}

# --- the boots ----------------------------------------------------------------------
# run_bench KIND LOG [TRACE-OUTPUT] [KERNEL-ARGS...]: one benchmark boot of
# the board of that flash kind; with TRACE-OUTPUT, the SPI NOR chip's counts.
run_bench() {
  local kind=$1 logfile=$2 counts=$3 status=0 pipe="" reader=""; shift 3
  select_flash "$kind"
  make_blank_nor_image "$nor"
  local clock=(BOARD_REAL_TIME=1)
  [ "${BENCH_CLOCK:-}" != instructions ] || clock=(BOARD_ICOUNT=shift=3,sleep=off)
  local qemu_options=""
  if [ -n "$counts" ]; then
    pipe=$out/bench-trace.pipe
    rm -f "$pipe" && mkfifo "$pipe"
    count_spi_chip "$pipe" > "$counts" &
    reader=$!
    qemu_options="-d trace:${spi_trace_events//,/,trace:} -D $pipe"
  fi
  (export "${clock[@]}" BOARD_MAX_BOOTS=1 BOARD_TIMEOUT=7200 BOARD_QEMU_OPTIONS="$qemu_options"
    run_machine "$nor" "$logfile" bench "$@") || status=$?
  if [ -n "$reader" ]; then
    # qemu gone, the pipe's writer is gone: the reader ends with it.
    wait "$reader" || status=1
    rm -f "$pipe"
  fi
  [ "$status" = 0 ] || die "the benchmark boot failed (log: $logfile)"
  grep -q '^@@BENCH-END' "$logfile" || die "the benchmark did not finish (log: $logfile)"
  sed -n 's/^@@INFO /warning: /p' "$logfile"
}

# The facts of the boots, one per line, for the table and the chart:
#   G kind layout partition-bytes erase-bytes page-bytes image-bytes
#   T kind layout case tool median-us min-us max-us
#   R kind layout case tool what-the-partition-holds-after
#   C kind layout case tool erases programs bytes-read spare-reads
# On SPI NOR the erases and programs are the chip's, from the trace; the
# bytes read are the system calls', which the trace's read commands must
# match (the controller reads the chip 4 bytes a command).
facts() {  # cfi-log spi-log spi-count-log spi-chip-counts
  local log
  for log in "$1" "$2"; do
    [ -s "$log" ] || continue
    marker "$log" GEOMETRY | sed 's/^/G /'
    marker "$log" RESULT | sed 's/^/R /'
    marker "$log" BENCH | while read -r kind layout case tool times; do
      tr ',' '\n' <<<"$times" | sort -n | awk -v k="$kind $layout $case $tool" '{ v[NR] = $1 } END {
        m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
        printf "T %s %d %d %d\n", k, m, v[1], v[NR] }'
    done
  done
  [ ! -s "$1" ] || marker "$1" COUNT | awk -v geometry="$(marker "$1" GEOMETRY)" "$chip_model"'
    BEGIN { n = split(geometry, g, "\n"); for (i = 1; i <= n; i++) { split(g[i], f, " "); E[f[1] " " f[2]] = f[4]; W[f[1] " " f[2]] = f[5] } }
    { k = $1 " " $2; printf "C %s %s %s %s %d %d %d %d\n", $1, $2, $3, $4,
        $5 / E[k], $6 / program_unit($1, W[k]), $7, $8 }'
  if [ -s "$3" ]; then
    [ "$(marker "$3" COUNT | wc -l)" = "$(wc -l < "$4")" ] ||
      die "$(marker "$3" COUNT | wc -l) counted runs on SPI NOR, $(wc -l < "$4") in the chip's trace ($4)"
    paste -d ' ' <(marker "$3" COUNT) "$4" | awk '{
      # kind layout case tool erased programmed read spare | sectors others programs reads
      if ($10 != 0) { printf "warning: %s %s %s %s: %d erases other than 4 KiB sectors\n", $1, $2, $3, $4, $10 > "/dev/stderr" }
      if ($9 * 4096 != $5) { printf "warning: %s %s %s %s: %d sector erases for %d bytes asked\n", $1, $2, $3, $4, $9, $5 > "/dev/stderr" }
      if ($12 * 4 != $7) { printf "warning: %s %s %s %s: %d read commands for %d bytes read\n", $1, $2, $3, $4, $12, $7 > "/dev/stderr" }
      printf "C %s %s %s %s %d %d %d %d\n", $1, $2, $3, $4, $9, $11, $7, $8 }'
  fi
}

# rows: each tool's run and each case's floor, with the chip's time and the
# camera's, from the facts:
#   kind layout case tool cpu-ms cpu-min-ms cpu-max-ms erases programs bytes-read spare-reads chip-ms camera-ms rest
# The floor's counts come from the case: the partition read once, every
# block that differs erased and all of its pages programmed (onto erased
# flash too: a block that reads erased may be one whose erase was cut
# short, so it is erased again as JFFS2 does), the blocks of an older,
# longer image's tail erased.
rows() {
  awk "$chip_model"'
    $1 == "G" { k = $2 " " $3; P[k] = $4; E[k] = $5; W[k] = $6; L[k] = $7; next }
    $1 == "T" { t = $2 " " $3 " " $4 " " $5; med[t] = $6 / 1000; lo[t] = $7 / 1000; hi[t] = $8 / 1000; next }
    $1 == "R" { held[$2 " " $3 " " $4 " " $5] = $6; next }
    $1 == "C" { n++; c[n] = $0; next }
    function ceil(x) { return x == int(x) ? x : int(x) + 1 }
    function row(kind, layout, kase, tool, erases, programs, bytes, spare, rest,   t, f, chip) {
      t = kind " " layout " " kase " " tool
      f = kind " " layout " unchanged floor"
      if (tool == "floor") { if (!(f in med)) return; med[t] = med[f]; lo[t] = lo[f]; hi[t] = hi[f] }
      if (!(t in med)) { printf "no times for %s\n", t > "/dev/stderr"; med[t] = lo[t] = hi[t] = 0 }
      chip = chip_ms(kind, erases, programs, bytes, spare)
      printf "%s %s %s %s %.3f %.3f %.3f %d %d %d %d %.3f %.3f %s\n", kind, layout, kase, tool,
        med[t], lo[t], hi[t], erases, programs, bytes, spare, chip, chip + med[t], rest
    }
    END {
      for (i = 1; i <= n; i++) {
        split(c[i], f, " ")
        if (f[5] == "floor") continue
        t = f[2] " " f[3] " " f[4] " " f[5]
        row(f[2], f[3], f[4], f[5], f[6], f[7], f[8], f[9], t in held ? held[t] : "failed")
        # the case'"'"'s floor, after its last tool
        if (i == n || split(c[i + 1], g, " ") && (g[5] == "floor" || g[4] != f[4] || g[3] != f[3] || g[2] != f[2])) {
          k = f[2] " " f[3]; unit = program_unit(f[2], W[k])
          blocks = ceil(L[k] / E[k]); pages = ceil(L[k] / unit)
          if (f[4] == "unchanged") { fe = 0; fp = 0 }
          else if (f[4] == "one-block") { fe = 1; fp = E[k] / unit }
          else if (f[4] == "shorter") { fe = ceil((L[k] + 1048576) / E[k]); fp = pages }
          else { fe = blocks; fp = pages }
          row(f[2], f[3], f[4], "floor", fe, fp, P[k], 0, "-")
        }
      }
    }'
}

labels_awk='
function label(tool) {
  if (tool == "flashcp-p") return "flashcp -p -v"
  if (tool == "cmp+flashcp") return "cmp || flashcp -v"
  if (tool == "flashcp") return "flashcp -v"
  if (tool == "erase+flashcp") return "erase + flashcp -v"
  if (tool == "erase+nandwrite") return "erase + nandwrite"
  if (tool == "cmp+nandwrite") return "cmp || erase+nandwrite"
  if (tool == "bootguard-flash-pipe") return "bootguard-flash (pipe)"
  return tool
}
# Peers that leave the rest of the partition erased whatever it held: they
# erase all of it before writing (the NAND script does when it writes).
function erases_rest(tool, programs) {
  return tool == "erase+flashcp" || tool == "erase+nandwrite" || (tool == "cmp+nandwrite" && programs > 0)
}
# Peers that read back what they wrote (flashcp always does, but not with -p).
function reads_back(tool) { return tool != "flashcp-p" }
'

# The table, then what it says against the marks set for it: bootguard-flash
# over the floor, the peers that leave the partition as it does and cost
# less chip time, and, against each peer that leaves the rest as it was and
# costs less, what our guarantees cost: reading the rest (and erasing the
# blocks of it that held data), reading back the written blocks, and
# comparing before writing.
report() {  # rows-file facts-file
  awk "$chip_model$labels_awk"'
    FILENAME == ARGV[2] { if ($1 == "G") { k = $2 " " $3; P[k] = $4; E[k] = $5; W[k] = $6; L[k] = $7 }; next }
    { key = $1 " " $2 " " $3; tool = $4
      if (tool == "bootguard-flash") { ourschip[key] = $12; ours[key] = $13; oursprog[key] = $9 }
      if (tool == "floor") { floorchip[key] = $12 }
      line[++n] = $0 }
    function ceil(x) { return x == int(x) ? x : int(x) + 1 }
    END {
      printf "%-5s %-8s %-10s %-23s %8s %13s %7s %9s %9s %10s %10s %7s %7s\n", "flash", "layout", "case", "tool",
        "cpu ms", "spread ms", "erases", "programs", "read MiB", "chip ms", "camera ms", "x ours", "rest"
      for (i = 1; i <= n; i++) {
        split(line[i], f, " "); key = f[1] " " f[2] " " f[3]
        if (key != last && i > 1) print ""
        last = key
        rest = f[14] == "image+erased" ? "erased" : f[14] == "image+rest" ? "as was" : f[14] == "-" ? "" : "WRONG"
        printf "%-5s %-8s %-10s %-23s %8.1f %13s %7d %9d %9.2f %10.1f %10.1f %7.2f %7s\n", f[1], f[2], f[3], label(f[4]),
          f[5], sprintf("%.1f-%.1f", f[6], f[7]), f[8], f[9], f[10] / 1048576, f[12], f[13], f[13] / ours[key], rest
      }
      print ""
      print "cpu ms: the emulated board'"'"'s CPU, median of the runs; chip ms: the chip'"'"'s time modelled from the"
      print "counts; camera ms: their sum.  x ours: camera time over bootguard-flash'"'"'s in the same case (above 1:"
      print "we are faster).  erases and programs in the chip'"'"'s units (SPI NOR: 4 KiB sectors, 256-byte pages;"
      print "NAND: 128 KiB blocks, 2 KiB pages; CFI NOR: 256 KiB blocks, 64-byte write buffers).  rest: what the"
      print "partition holds after the image (erased, or as it was).  floor: the partition read once, the blocks"
      print "that differ erased and programmed (its cpu: one cat of the image and the partition)."
      print ""
      print "bootguard-flash over the floor, chip time (the mark: at most 1.02):"
      worst = 0
      for (i = 1; i <= n; i++) {
        split(line[i], f, " "); key = f[1] " " f[2] " " f[3]
        if (f[4] != "floor") continue
        r = ourschip[key] / floorchip[key]
        printf "  %-5s %-8s %-10s %10.1f ms / %10.1f ms = %.3f%s\n", f[1], f[2], f[3], ourschip[key], floorchip[key], r,
          (r > 1.02 ? "   above the mark" : "")
        if (r > worst) { worst = r; worstkey = key }
      }
      printf "  highest: %.3f (%s)\n", worst, worstkey
      print ""
      for (i = 1; i <= n; i++) {
        split(line[i], f, " "); key = f[1] " " f[2] " " f[3]
        if (f[4] != "bootguard-flash-pipe") continue
        if (!piped++) print "The image piped in (write --size BYTES PARTITION -) against the file, chip time and camera time:"
        printf "  %-5s %-8s %-10s chip %10.1f ms / %10.1f ms, camera %10.1f ms / %10.1f ms\n", f[1], f[2], f[3],
          f[12], ourschip[key], f[13], ours[key]
      }
      if (piped) print ""
      print "Peers that leave the rest erased whatever it held, with less chip time than bootguard-flash:"
      none = 1
      for (i = 1; i <= n; i++) {
        split(line[i], f, " "); key = f[1] " " f[2] " " f[3]
        if (f[4] ~ /^bootguard-flash/ || !erases_rest(f[4], f[9]) || f[12] >= ourschip[key]) continue
        printf "  %-5s %-8s %-10s %-23s %10.1f ms, ours %10.1f ms (%+.1f ms)\n", f[1], f[2], f[3], label(f[4]), f[12],
          ourschip[key], ourschip[key] - f[12]
        none = 0
      }
      if (none) print "  none"
      print ""
      print "Peers that leave the rest as it was and cost less chip time than bootguard-flash, and what"
      print "our guarantees cost there (ms): reading the rest and erasing its blocks that held data, reading"
      print "back the written blocks (against a peer that does not), and the rest of the difference (against"
      print "a peer that erases without looking first: comparing before writing):"
      none = 1
      for (i = 1; i <= n; i++) {
        split(line[i], f, " "); key = f[1] " " f[2] " " f[3]
        if (f[4] ~ /^bootguard-flash/ || f[4] == "floor" || erases_rest(f[4], f[9]) || f[12] >= ourschip[key]) continue
        kind = f[1]; k = f[1] " " f[2]
        imageblocks = ceil(L[k] / E[k])
        restread = chip_ms(kind, 0, 0, P[k] - imageblocks * E[k], 0)
        tail = f[3] == "shorter" ? ceil((L[k] + 1048576) / E[k]) - imageblocks : 0
        tailerase = chip_ms(kind, tail, 0, 0, 0)
        readback = reads_back(f[4]) ? 0 : chip_ms(kind, 0, 0, oursprog[key] * program_unit(kind, W[k]), 0)
        other = ourschip[key] - f[12] - restread - tailerase - readback
        printf "  %-5s %-8s %-10s %-14s %9.1f, ours %9.1f: %+8.1f = rest read %6.1f, erased %7.1f, read-back %6.1f, other %+6.1f\n",
          f[1], f[2], f[3], label(f[4]), f[12], ourschip[key], ourschip[key] - f[12], restread, tailerase, readback, other
        none = 0
      }
      if (none) print "  none"
    }' "$1" "$2"
}

# The chart: the camera's time per case and tool, one panel per flash kind,
# on a logarithmic scale (a fresh write takes minutes, an unchanged one a
# fraction of a second); the floor is the black line across each case.
# Plain SVG, written from the rows.
chart_svg() {
  awk "$labels_awk"'
    function esc(t) { gsub(/&/, "\\&amp;", t); gsub(/</, "\\&lt;", t); gsub(/>/, "\\&gt;", t); return t }
    function log10(v) { return log(v) / log(10) }
    function y(v) { return top + height * (hi - log10(v)) / (hi - lo) }
    function layout_name(l) {
      return l == "3M/4M" ? "3 MiB image, 4 MiB partition" : l == "3M/16M" ? "3 MiB image, 16 MiB partition" : "16 MiB image filling 16 MiB"
    }
    {
      k = $1; g = $2 " " $3
      if (!(k in seen)) { seen[k] = 1; kinds[++nk] = k }
      if (!((k, g) in gseen)) { gseen[k, g] = 1; groups[k, ++ng[k]] = g }
      if ($4 != "floor" && !((k, $4) in tseen)) { tseen[k, $4] = 1; tools[k, ++nt[k]] = $4 }
      t[k, g, $4] = $13 / 1000
    }
    END {
      color["bootguard-flash"] = "#1f5fa8"; color["flashcp-p"] = "#f08c1a"; color["cmp+flashcp"] = "#f08c1a"
      color["cmp+nandwrite"] = "#f08c1a"; color["flashcp"] = "#3d9a3d"; color["erase+flashcp"] = "#c8372d"
      color["erase+nandwrite"] = "#c8372d"
      name["nand"] = "NAND (nandsim, SLC timings)"; name["cfi"] = "CFI NOR (two 28F256J3 side by side)"
      name["spi"] = "SPI NOR (W25Q128JV timings)"
      width = 1160; left = 70; right = 20; panel = 330; height = 220
      printf "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" font-family=\"sans-serif\" font-size=\"11\">\n", width, nk * panel + 40
      printf "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n"
      printf "<text x=\"%d\" y=\"22\" font-size=\"15\">bootguard-flash write against mtd-utils: the camera'"'"'s time (chip + CPU), log scale</text>\n", left
      for (p = 1; p <= nk; p++) {
        k = kinds[p]; top = 40 + (p - 1) * panel + 30
        min = 1e9; max = 0
        for (i = 1; i <= ng[k]; i++) for (j = 0; j <= nt[k]; j++) {
          v = t[k, groups[k, i], j ? tools[k, j] : "floor"]
          if (v > 0 && v < min) min = v
          if (v > max) max = v
        }
        lo = int(log10(min)); if (log10(min) < lo) lo--
        hi = int(log10(max)); if (log10(max) > hi) hi++
        printf "<text x=\"%d\" y=\"%d\" font-size=\"13\" font-weight=\"bold\">%s</text>\n", left, top - 12, esc(name[k])
        for (d = lo; d <= hi; d++) {
          printf "<line x1=\"%d\" x2=\"%d\" y1=\"%.1f\" y2=\"%.1f\" stroke=\"#ddd\"/>\n", left, width - right, y(10 ^ d), y(10 ^ d)
          printf "<text x=\"%d\" y=\"%.1f\" text-anchor=\"end\">%g s</text>\n", left - 6, y(10 ^ d) + 4, 10 ^ d
        }
        gw = (width - left - right) / ng[k]; bw = (gw - 12) / nt[k]; lastlayout = ""
        for (i = 1; i <= ng[k]; i++) {
          g = groups[k, i]; split(g, lc, " "); x0 = left + (i - 1) * gw + 6
          for (j = 1; j <= nt[k]; j++) {
            v = t[k, g, tools[k, j]]
            if (v <= 0) continue
            printf "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"%s\"><title>%s, %s, %s: %.3f s</title></rect>\n",
              x0 + (j - 1) * bw, y(v), bw - 1, top + height - y(v), color[tools[k, j]], esc(label(tools[k, j])), lc[1], lc[2], v
          }
          v = t[k, g, "floor"]
          if (v > 0) printf "<line x1=\"%.1f\" x2=\"%.1f\" y1=\"%.1f\" y2=\"%.1f\" stroke=\"black\" stroke-width=\"2\"><title>floor, %s, %s: %.3f s</title></line>\n",
            x0 - 2, x0 + nt[k] * bw + 1, y(v), y(v), lc[1], lc[2], v
          printf "<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\">%s</text>\n", x0 + (gw - 12) / 2, top + height + 14, lc[2]
          if (lc[1] != lastlayout) {
            printf "<text x=\"%.1f\" y=\"%d\" font-weight=\"bold\">%s</text>\n", x0, top + height + 30, layout_name(lc[1])
            if (i > 1) printf "<line x1=\"%.1f\" x2=\"%.1f\" y1=\"%d\" y2=\"%d\" stroke=\"#999\"/>\n", x0 - 6, x0 - 6, top, top + height + 32
          }
          lastlayout = lc[1]
        }
        lx = left + 360
        for (j = 1; j <= nt[k]; j++) {
          printf "<rect x=\"%d\" y=\"%d\" width=\"10\" height=\"10\" fill=\"%s\"/><text x=\"%d\" y=\"%d\">%s</text>\n", lx, top - 22, color[tools[k, j]], lx + 14, top - 13, esc(label(tools[k, j]))
          lx += 30 + 6.5 * length(label(tools[k, j]))
        }
        printf "<line x1=\"%d\" x2=\"%d\" y1=\"%d\" y2=\"%d\" stroke=\"black\" stroke-width=\"2\"/><text x=\"%d\" y=\"%d\">floor</text>\n", lx, lx + 12, top - 17, top - 17, lx + 16, top - 13
      }
      print "</svg>"
    }'
}

time_bench() {
  check_chip_model
  build_initrd
  local suffix="" kinds=(cfi spi) facts_file rows_file
  [ "${BENCH_CLOCK:-}" != instructions ] || suffix=-instructions
  [ -z "${BENCH_FLASH:-}" ] || kinds=("$BENCH_FLASH")
  local cfi_log="" spi_log="" spi_count_log="" spi_chip="" select=()
  [ -z "${BENCH_CASES:-}" ] || select+=("board.cases=$BENCH_CASES")
  [ -z "${BENCH_PIPE:-}" ] || select+=(board.pipe=1)
  [ -z "${BENCH_PEERS:-}" ] || select+=("board.peers=$BENCH_PEERS")
  for kind in "${kinds[@]}"; do
    case $kind in
      cfi)
        cfi_log=$out/bench-cfi$suffix.log
        log "NAND and CFI NOR: one boot of the cfi board"
        [ -n "${BENCH_NO_RUN:-}" ] || run_bench cfi "$cfi_log" "" "board.reps=${REPS:-5}" "${select[@]}"
        ;;
      spi)
        spi_log=$out/bench-spi$suffix.log spi_count_log=$out/bench-spi-count.log spi_chip=$out/bench-spi-chip.txt
        log "SPI NOR: the times, then the chip's counts from qemu's trace (two boots of the spi board)"
        if [ -z "${BENCH_NO_RUN:-}" ]; then
          run_bench spi "$spi_log" "" "board.reps=${REPS:-5}" board.count=0 "${select[@]}"
          run_bench spi "$spi_count_log" "$spi_chip" board.reps=0 "${select[@]}"
        fi
        ;;
      *) die "unknown flash kind $kind (cfi, spi)" ;;
    esac
  done
  facts_file=$out/bench-time$suffix.facts rows_file=$out/bench-time$suffix.rows
  facts "$cfi_log" "$spi_log" "$spi_count_log" "$spi_chip" > "$facts_file"
  rows < "$facts_file" > "$rows_file"
  local what="wall clock"
  [ "${BENCH_CLOCK:-}" != instructions ] || what="qemu's instruction clock (8 ns per instruction)"
  {
    echo "bootguard-flash write against mtd-utils in the camera's time: the chip's time modelled from"
    echo "what it was asked to do, the CPU's on $what, ${REPS:-5} runs each"
    echo
    report "$rows_file" "$facts_file"
  } | tee "$out/bench-time$suffix.txt"
  if [ "${#kinds[@]}" = 2 ]; then
    chart_svg < "$rows_file" > "$chart"
    log "the chart: $chart"
  fi
}

# bootguard-flash from the commit before images were mapped, for armhf.
build_heap_tool() {
  local source=$out/heap-tool
  [ ! -x "$out/bootguard-flash-heap" ] || return 0
  log "building bootguard-flash as of $heap_tool_commit"
  rm -rf "$source"
  mkdir -p "$source"
  git -C "$repo" archive "$heap_tool_commit" | tar -x -C "$source"
  (cd "$source" && cmake --preset armhf && cmake --build --preset armhf --target bootguard-flash) \
    > "$out/heap-tool.log" 2>&1 || die "building the earlier tool failed (log: $out/heap-tool.log)"
  cp "$source/build/armhf/bootguard-flash/bootguard-flash" "$out/bootguard-flash-heap"
  rm -rf "$source"
}

# The streamed write's runs (BENCH_MEMORY=stream): memory, and what the
# chip did, against what the issue's checks require of them.
stream_report() {
  local logfile=$1 erase blocks kept run status erases programmed rest holds
  read -r erase blocks kept < <(marker "$logfile" STREAMBLOCKS)
  echo "Streamed writes of a $(mib $((blocks * erase))) MiB image into \"rootfs\" ($blocks erase blocks of $((erase / 1024)) KiB),"
  echo "generated in the camera (seq | head -c) and piped in; qemu -m ${BOARD_MEMORY:-80}, no CMA area, NOR flash."
  echo "Extra memory: MemAvailable before against the lowest sampled during; the mark: two erase"
  echo "blocks + 1 MiB = $((2 * erase / 1024 + 1024)) KiB."
  echo
  printf '%-10s %7s %12s %10s %14s %14s %14s\n' run status "extra KiB" erases programmed "rest as was" "holds image"
  marker "$logfile" MEM | while read -r _ command _ before lowest _ _; do
    run=${command#stream-}
    read -r status erases programmed rest holds < <(marker "$logfile" STREAM | sed -n "s/^$run //p")
    printf '%-10s %7s %12s %10s %14s %14s %14s\n' "$run" "$status" $((before - lowest)) "$erases" "$programmed" "$rest" "$holds"
  done
  echo
  echo "The tool's lines (standard error):"
  marker "$logfile" STREAMLINE | sed 's/^/  /'
  echo "Expected: whole 0 and the image; again 0, no erase, nothing programmed; cut 3, the rest as it was;"
  echo "complete 0, the image, erasing at most the $((blocks - kept)) blocks from the cut's end on."
}

memory_bench() {
  local logfile=$out/membench.log mode=${BENCH_MEMORY:-}
  [ "$mode" = stream ] || build_heap_tool
  build_initrd
  make_blank_nor_image "$nor"
  BOARD_MEMORY=${BOARD_MEMORY:-80} BOARD_MAX_BOOTS=1 BOARD_TIMEOUT=3600 \
    run_machine "$nor" "$logfile" membench cma=0 ${mode:+board.membench=$mode} ||
    die "the memory benchmark boot failed (log: $logfile)"
  grep -q '^@@MEMBENCH-END' "$logfile" || die "the memory benchmark did not finish (log: $logfile)"
  sed -n 's/^@@INFO /warning: /p' "$logfile"
  if [ "$mode" = stream ]; then
    stream_report "$logfile"
    return
  fi
  echo "Memory on a camera with little memory (qemu -m 80, no CMA area), NOR flash: MemAvailable"
  echo "before the command, the lowest sampled during it, and the extra memory the command took"
  echo
  printf '%-26s %-6s %9s %13s %13s %12s %7s\n' tool command image "before KiB" "lowest KiB" "extra KiB" status
  marker "$logfile" MEM | while read -r tool command bytes before lowest _ status; do
    printf '%-26s %-6s %5s MiB %13s %13s %12s %7s\n' "$(tool_name "$tool")" "$command" "$(mib "$bytes")" \
      "$before" "$lowest" $((before - lowest)) "$status"
  done
  echo
  echo "The largest image in /tmp each tool writes there (64 KiB steps, three tries per size;"
  echo "/tmp holds at most $(mib $(( $(marker "$logfile" TMP) * 1024 ))) MiB, all the memory available but 8 MiB):"
  marker "$logfile" LARGEST | while read -r tool bytes failing why; do
    printf '%-26s %8s MiB   (%s MiB: %s)\n' "$(tool_name "$tool")" "$(mib "$bytes")" "$(mib "$failing")" "$(failure "$why")"
  done
  echo "The OOM killer's victims in this boot (a 2 MiB reserve, memwatch --hold, is its second choice):"
  sed -n 's/^@@OOM .*Killed process [0-9]* (\([^)]*\)).*/\1/p' "$logfile" | sort | uniq -c | sed 's/^ */  /'
}

tool_name() {
  case $1 in
    bootguard-flash-heap) echo "bootguard-flash (before)" ;;
    flashcp) echo "flashcp -v" ;;
    *) echo "$1" ;;
  esac
}
failure() {
  case $1 in
    137) echo "killed by the OOM killer" ;;
    -) echo "past the partition's end" ;;
    no-room-for-the-image) echo "no room in /tmp for the image" ;;
    *) echo "exit status $1" ;;
  esac
}

for part in "${parts[@]}"; do
  case $part in
    time) time_bench ;;
    memory) memory_bench ;;
    *) die "unknown part $part (time, memory)" ;;
  esac
done
