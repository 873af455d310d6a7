#!/usr/bin/env bash
# Power cuts on the emulated camera: the camera with a broken application
# update (the main job's story) loses power at chosen instants, and is then
# left alone until it reports a healthy boot.  The real bootguard, fw_setenv,
# JFFS2 and U-Boot are in the path.
#
#   board/power-cuts.sh [--flash cfi|spi] [--cuts N] [--seed S] [--jobs J]
#   board/power-cuts.sh --cut BOOT:K [--tear SEED] | --kill BOOT:SECONDS
#                       (one cut, to reproduce; --tear tears operation K)
#   board/power-cuts.sh --without-initial-env ...   (a camera without
#                       /etc/u-boot-initial-env, to show what it is for)
#   board/power-cuts.sh --judge-again    (the last campaign's runs judged
#                       anew, figures printed; nothing is run)
#   board/power-cuts.sh --figures        (the figures of the cuts of the
#                       last campaign judged so far, while it runs or after
#                       it was stopped; nothing is run or judged)
#   board/power-cuts.sh --resume [--jobs J]  (a stopped campaign's cuts not
#                       judged yet, on the same initramfs; the random
#                       instants first, since the plan puts them last)
#
# --flash spi cuts the power of the SPI NOR board instead of the CFI NOR
# one (board/flash-image.sh); the cuts, the invariants and the figures are
# the same, with the flash operations of the spi-nor core (4 KiB sector
# erases and page programs) in place of the CFI driver's.
#
# 1. Reference: the story once, one boot per qemu run (-no-reboot), keeping
#    the flash file before each boot and the flash operations each boot does
#    (the flash driver's power-cut hook, kmod/power-cut*.c, prints them).
# 2. Cuts.  Exact: the driver resets the board at the start of the K-th
#    flash operation of boot BOOT (cfi_cmdset_0001.cut_at=K, or
#    spi_nor.cut_at=K, on the kernel command line): every operation of each
#    counter write and of the healthy boot's removal, the first, last and
#    sampled operations of the recovery request's fw_setenv and of the
#    recovery system's rewrites (the bootguard-flash write of "rootfs", then
#    fw_setenv).  Half of the exact cuts at each kind of operation, chosen
#    from the seed, tear operation K (DRIVER.cut_tear=SEED as well, SEED
#    from the campaign's seed and the cut): a prefix of a buffer or page
#    program, a block left part erased and part zeros or old, part of a
#    word's bits.  Random: qemu killed at a random host instant of a boot,
#    for whatever the exact cuts do not reach (U-Boot, the kernel, mounts;
#    on SPI NOR the loader's look at the environment).
# 3. After each cut the board runs on by itself (restarts reset it) until a
#    healthy verdict ends the run, or the boot limit.  The invariants below
#    are checked on every boot.
#
# The bound: a camera whose application fails needs at most five boots
# after a cut: three failed boots (the counter counts 1, 2, then the
# recovery request), the recovery boot, the healthy boot.  A cut can only
# take away progress the cut boot itself was making (its own count, its own
# request, its own restore), never progress an earlier boot had stored, so
# no cut needs more than the full sequence again.
#
# Figures at the end; the last line is
#   power cuts: N injected, F inside flash operations, T torn, C converged, B max boots to converge, L environments lost
# followed by every broken invariant with the command that reproduces it.
# --cuts 300 runs the full campaign; the CI sample is --cuts 12.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

cuts=40
seed=1
jobs=1
single=""
tear=""
camera_args=()
while [ $# -gt 0 ]; do
  case $1 in
    --flash) select_flash "$2"; shift 2 ;;
    --cuts) cuts=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    --cut|--kill) single="${1#--} $2"; shift 2 ;;
    --tear) tear=$2; shift 2 ;;
    --without-initial-env) camera_args+=(board.initial_env=absent); shift ;;
    --judge-again) single=judge; shift ;;
    --figures) single=figures; shift ;;
    --resume) single=resume; shift ;;
    -h|--help) sed -n '2,55p' "$0"; exit 0 ;;
    *) die "unknown argument $1 (see --help)" ;;
  esac
done

[ -z "$tear" ] || [[ "$single" == cut\ * ]] || die "--tear goes with --cut BOOT:K"

bound=5
dir=$out/power-cuts
[ "$BOARD_FLASH" = cfi ] || dir=$dir-$BOARD_FLASH
# The flash driver that cuts, and its kinds of flash operation as the
# figures name them (operation:name:column width).
case $BOARD_FLASH in
  cfi) cut_module=cfi_cmdset_0001 op_kinds=(write_buffer:buffer:14 erase:erase:6 write_oneword:word:5) ;;
  spi) cut_module=spi_nor op_kinds=(page_program:page:12 erase:erase:6) ;;
esac
# How a random cut stops qemu.  The CFI flash writes each operation through
# to its file before the guest goes on, so SIGKILL leaves what the flash
# held.  qemu's SPI NOR writes a page or a sector to its file in the
# background when the chip's command ends, so more than one write may be in
# flight, to complete in any order: SIGTERM lets qemu finish those it
# started and stop, which leaves every completed operation, in order.
case $BOARD_FLASH in
  cfi) kill_signal=KILL ;;
  spi) kill_signal=TERM ;;
esac
ref=$dir/reference

if [ "$single" != figures ]; then
  "$board/setup.sh" >/dev/null
  install_product
  build_initrd
fi

# --- 1. the reference ---------------------------------------------------------
# Boot b starts from ref/before-b.img; ref/boot-b.log shows what it did.
reference() {
  local boot=1 log
  rm -rf "$ref" && mkdir -p "$ref"
  make_nor_image "$ref/before-1.img" broken
  while [ "$boot" -le 6 ]; do
    cp "$ref/before-$boot.img" "$ref/nor.img"
    log=$ref/boot-$boot.log
    local t0=$SECONDS
    BOARD_NO_REBOOT=1 BOARD_MAX_BOOTS=1 run_machine "$ref/nor.img" "$log" camera ||
      die "reference boot $boot did not end (log: $log)"
    echo $((SECONDS - t0 + 1)) > "$ref/seconds-$boot"
    mv "$ref/nor.img" "$ref/before-$((boot + 1)).img"
    grep -q '^@@BOOTGUARD-END' "$log" && break
    boot=$((boot + 1))
  done
  [ "$boot" = 5 ] || die "the reference story took $boot boots, not 5 (logs: $ref)"
  # What "rootfs" holds after a finished restore: the golden copy from
  # "factory", then erased flash.
  dd if="$ref/before-1.img" bs=4k skip=$(( $(part_offset factory) / 4096 )) \
    count=$(( $(part_size factory) / 4096 )) status=none > "$ref/restored-rootfs.bin"
  head -c $(( $(part_size rootfs) - $(part_size factory) )) /dev/zero | tr '\0' '\377' >> "$ref/restored-rootfs.bin"
  echo "$boot" > "$ref/boots"
}

# Flash operations of a boot as "first last kind partition", from the runs
# the driver printed at the end of the boot.
operations() {  # log
  sed -n 's/^\[ *[0-9.]*\] flash ops \([0-9]*\)-\([0-9]*\): \([a-z_]*\) at 0x\([0-9a-f]*\)$/\1 \2 \3 \4/p' "$1" |
    while read -r first last kind block; do
      echo "$first $last $kind $(partition_at $((16#$block)))"
    done
}
partition_at() {  # offset in the kept bank
  local entry fields
  for entry in "${layout[@]}"; do
    read -r -a fields <<<"$entry"
    if [ "$1" -ge $((fields[1])) ] && [ "$1" -lt $((fields[1] + fields[2])) ]; then
      echo "${fields[0]}"; return
    fi
  done
  echo "unknown"
}

# --- 2. the cut plan ------------------------------------------------------------
# One line per cut: "exact BOOT K ACTIVITY", "torn BOOT K/SEED ACTIVITY" or
# "kill BOOT SECONDS -".
# Activities: what the boot's operations on one partition are doing.
activity() {  # boot partition
  case $1:$2 in
    1:customer|2:customer) echo "counter write (boot $1)" ;;
    3:uenv) echo "recovery request: fw_setenv" ;;
    4:rootfs) echo "recovery: bootguard-flash write rootfs" ;;
    4:uenv) echo "recovery: fw_setenv clears the flag" ;;
    5:customer) echo "healthy boot: counter removed" ;;
    *) echo "boot $1: $2" ;;
  esac
}

plan() {
  local boot first last part name k
  : > "$dir/plan.first-last"; : > "$dir/plan.counter"; : > "$dir/plan.sampled"
  for boot in 1 2 3 4 5; do
    # One activity per partition and boot (consecutive runs merged).
    operations "$ref/boot-$boot.log" | awk '
      { if ($4 != part) { if (part != "") print first, last, part; first = $1; part = $4 } last = $2 }
      END { if (part != "") print first, last, part }' > "$ref/activities-$boot"
    while read -r first last part; do
      name=$(activity "$boot" "$part")
      echo "exact $boot $first $name" >> "$dir/plan.first-last"
      [ "$last" = "$first" ] || echo "exact $boot $last $name" >> "$dir/plan.first-last"
      for k in $(seq $((first + 1)) $((last - 1))); do
        if [ "$part" = customer ]; then
          echo "exact $boot $k $name" >> "$dir/plan.counter"
        else
          echo "exact $boot $k $name" >> "$dir/plan.sampled"
        fi
      done
    done < "$ref/activities-$boot"
  done
  # Every counter operation is cut at; the long rewrites at their first and
  # last operations and at samples; a tenth of the cuts (at least one) at
  # random host instants.
  local kills=$(( cuts / 10 > 0 ? cuts / 10 : 1 )) i r
  RANDOM=$seed
  cat "$dir/plan.first-last" "$dir/plan.counter" > "$dir/plan.exact"
  shuf --random-source=<(yes "$seed") "$dir/plan.sampled" >> "$dir/plan.exact"
  # Half of the exact cuts at each kind of flash operation (rounded up: a
  # boot has few erases) tear their operation, each from a seed of its own.
  local n=$(( cuts - kills < $(wc -l < "$dir/plan.exact") ? cuts - kills : $(wc -l < "$dir/plan.exact") ))
  local -A torn=()
  local kind same
  head -n "$n" "$dir/plan.exact" | while read -r _ boot k _; do op_kind "$boot" "$k"; done > "$dir/plan.kinds"
  for kind in $(sort -u "$dir/plan.kinds"); do
    same=$(grep -c -x "$kind" "$dir/plan.kinds")
    for i in $(grep -n -x "$kind" "$dir/plan.kinds" | cut -d: -f1 |
               shuf --random-source=<(yes "tear $seed $kind") | head -n $(( (same + 1) / 2 ))); do
      torn[$i]=1
    done
  done
  i=0
  head -n "$n" "$dir/plan.exact" | while read -r _ boot k name; do
    i=$((i + 1))
    if [ -n "${torn[$i]:-}" ]; then
      echo "torn $boot $k/$(tear_seed "$seed" "$boot" "$k") $name"
    else
      echo "exact $boot $k $name"
    fi
  done
  for i in $(seq 1 "$kills"); do
    # (RANDOM read here: a command substitution's own RANDOM is reseeded)
    boot=$((RANDOM % 5 + 1)) r=$RANDOM
    echo "kill $boot $(awk -v r=$r -v s="$(cat "$ref/seconds-$boot")" 'BEGIN { printf "%.2f", r / 32768 * s }')"
  done
}

# The kind of flash operation K of a reference boot.
op_kind() {  # boot k
  sed -n 's/^\[ *[0-9.]*\] flash ops \([0-9]*\)-\([0-9]*\): \([a-z_]*\) at .*/\1 \2 \3/p' "$ref/boot-$1.log" |
    awk -v k="$2" '$1 <= k + 0 && k + 0 <= $2 { print $3 }'
}

# A tear's seed, never 0 (0 is no tear).
tear_seed() {  # campaign-seed boot k
  local h
  h=$(printf 'tear %s %s %s' "$@" | cksum | cut -d' ' -f1)
  echo $(( h == 0 ? 1 : h ))
}

# --- 3. one cut ---------------------------------------------------------------
# The cut boot, then the board left alone; verdict.txt holds the result.
run_cut() {  # id how boot what...
  local id=$1 how=$2 boot=$3 what=$4 job=$dir/cut-$1 log t
  rm -rf "$job" && mkdir -p "$job"
  cp "$ref/before-$boot.img" "$job/nor.img"
  if [ "$how" != kill ]; then
    local cut=("$cut_module.cut_at=${what%/*}")
    [ "$how" = exact ] || cut+=("$cut_module.cut_tear=${what#*/}")
    BOARD_NO_REBOOT=1 BOARD_MAX_BOOTS=1 run_machine "$job/nor.img" "$job/cut.log" camera \
      "${cut[@]}" "${camera_args[@]}" >/dev/null 2>&1 || true
  else
    ( BOARD_NO_REBOOT=1 BOARD_MAX_BOOTS=1 run_machine "$job/nor.img" "$job/cut.log" camera \
        "${camera_args[@]}" >/dev/null 2>&1 || true ) &
    local runner=$!
    t=0; while [ ! -s "$job/cut.log.pid" ] && [ "$t" -lt 100 ]; do sleep 0.05; t=$((t + 1)); done
    sleep "$what"
    kill -s "$kill_signal" "$(cat "$job/cut.log.pid" 2>/dev/null)" 2>/dev/null || true
    wait "$runner" || true
  fi
  cp "$job/nor.img" "$job/after-cut.img"
  local status=0
  # (a generous limit: on a loaded host eight boots take minutes)
  BOARD_MAX_BOOTS=$((bound + 3)) BOARD_TIMEOUT=1200 run_machine "$job/nor.img" "$job/run.log" camera \
    "${camera_args[@]}" >/dev/null 2>&1 || status=$?
  split_boots "$job/run.log" "$job" > "$job/boots"
  # A run cut by the boot limit ends inside a boot that is not judged.
  [ "$status" = 0 ] || echo $(( $(cat "$job/boots") - 1 )) > "$job/boots"
  judge "$job" "$how" "$boot" "$what" > "$job/verdict.txt"
}

# --- 4. the invariants ------------------------------------------------------------
counter_value() { case $1 in absent) echo 0 ;; *) echo "$1" ;; esac; }

judge() {  # job how boot what
  local job=$1 how=$2 boot=$3 what=$4 boots n log c prev failed_run=0 recovered=0 problems=()
  boots=$(cat "$job/boots")
  # A cut after the story's recovery boot comes after the recovery: from
  # there the healthy boot's removal takes the counter back to absent.
  local recovery_boot
  recovery_boot=$(grep -l '^@@RECOVERY start' "$ref"/boot-*.log | sed 's/.*boot-\([0-9]*\)\.log$/\1/')
  [ "$boot" -le "$recovery_boot" ] || recovered=1
  local inside=no lost=no converged=no torn=no tear_line=""
  # Where the cut fell; a torn cut says how it tore the operation.
  if [ "$how" = exact ]; then
    grep -q "power cut: before flash operation $what " "$job/cut.log" && inside=yes ||
      problems+=("the cut boot never reached flash operation $what")
  elif [ "$how" = torn ]; then
    tear_line=$(grep -o "power cut: inside flash operation ${what%/*} (.*" "$job/cut.log" || true)
    if [ -n "$tear_line" ]; then
      inside=yes; torn=$(sed 's/^[^(]*(\([a-z_]*\) at .*/\1/' <<<"$tear_line")
    elif grep -q "power cut: before flash operation ${what%/*} " "$job/cut.log"; then
      inside=yes   # the driver could not tear it (its line says why)
    else
      problems+=("the cut boot never reached flash operation ${what%/*}")
    fi
  elif ! cmp -s "$job/after-cut.img" "$ref/before-$boot.img" &&
       ! cmp -s "$job/after-cut.img" "$ref/before-$((boot + 1)).img"; then
    inside=yes
  fi
  # The counter before the cut boot, then before each later boot.
  prev=$(counter_value "$(marker "$ref/boot-$boot.log" COUNTER-before)")
  for n in $(seq 1 "$boots"); do
    log=$job/boot-$n.log
    [ "$(uboot_env "$log")" = default ] && lost=yes
    if grep -q '^@@RECOVERY start' "$log"; then
      recovered=1; failed_run=0
      [ -z "$(marker "$log" COUNTER-before)" ] && problems+=("boot $n: /customer did not mount")
      check_rewrite "$job" "$n"
      continue
    fi
    c=$(marker "$log" COUNTER-before)
    if grep -q '^@@ERROR cannot mount /customer' "$log" || [ -z "$c" ]; then
      problems+=("boot $n: /customer did not mount")
      continue
    fi
    case $c in
      absent|1|2) ;;
      *) problems+=("boot $n: counter file holds '$c'") ;;
    esac
    if [ "$recovered" = 0 ] && [ "$(counter_value "$c")" -lt "$prev" ] 2>/dev/null; then
      problems+=("boot $n: counter went back from $prev to $c before the recovery")
    fi
    prev=$(counter_value "$c")
    # A completed failed verdict either retries ("try again") or requests
    # recovery; a healthy one ends the run.
    if bootguard_lines "$log" | grep -qx 'try again' && restarted "$log"; then
      failed_run=$((failed_run + 1))
      [ "$failed_run" -le 2 ] || problems+=("boot $n: a fourth failed boot in a row without a recovery request")
    elif bootguard_lines "$log" | grep -q '^num=[2-9]' && restarted "$log"; then
      failed_run=0
    elif grep -q '^@@BOOTGUARD-END' "$log"; then
      if [ "$n" = "$boots" ] && bootguard_lines "$log" | grep -qx 'recovery 0' &&
         [ "$(marker "$log" APP)" = "ipcamera: started (factory image)" ] &&
         [ "$(marker "$log" ENV-after)" != "ota_upgrade_status=1" ]; then
        converged=yes
      fi
    fi
  done
  [ "$converged" = yes ] || problems+=("did not converge to a healthy boot with the application restored in $boots boots")
  [ "$boots" -le "$bound" ] || problems+=("needed $boots boots, more than the bound of $bound")
  echo "cut=$how boot=$boot at=$what inside=$inside torn=$torn converged=$converged boots=$boots lost=$lost"
  [ -z "$tear_line" ] || echo "tear: $tear_line"
  [ ${#problems[@]} -eq 0 ] || printf 'problem: %s\n' "${problems[@]}"
}

# After a cut inside the recovery's image write, the write done again in a
# later recovery boot must leave exactly the image and erase no more blocks
# than the cut left different.
check_rewrite() {  # job boot
  local job=$1 n=$2 log=$1/boot-$2.log erases differ
  erases=$(operations "$log" | awk '$3 == "erase" && $4 == "rootfs" { n += $2 - $1 + 1 } END { print n + 0 }')
  differ=$(blocks_differing "$job/after-cut.img")
  [ "$erases" -le "$differ" ] ||
    problems+=("boot $n: the rewrite erased $erases blocks of rootfs, the cut left $differ different")
  [ "$(blocks_differing "$job/nor.img")" = 0 ] || grep -q '^@@RECOVERY failed' "$log" ||
    problems+=("boot $n: rootfs does not hold exactly the golden image after the rewrite")
}
# Blocks of rootfs that differ from what a finished restore leaves.
blocks_differing() {  # nor-image
  # (cmp says 1 when they differ: that is the answer, not a failure)
  dd if="$1" bs=4k skip=$(( $(part_offset rootfs) / 4096 )) count=$(( $(part_size rootfs) / 4096 )) \
    status=none | { cmp -l - "$ref/restored-rootfs.bin" 2>/dev/null || true; } |
    awk -v block=$((nor_block)) '{ b[int(($1 - 1) / block)] = 1 } END { print length(b) }'
}

# --- the campaign -----------------------------------------------------------------
mkdir -p "$dir"
if [ "$single" = figures ]; then
  [ -s "$dir/cuts" ] || die "no campaign in $dir"
elif [ ! -e "$ref/boots" ] || [ ! -e "$ref/restored-rootfs.bin" ] || [ "$initrd" -nt "$ref/boots" ] ||
   [ "$board/flash-image.sh" -nt "$ref/boots" ]; then
  # A resumed campaign's cuts must be judged against the reference the
  # first ones were.
  [ "$single" != resume ] || die "the board changed since the campaign in $dir began: run it anew"
  log "reference run: the story, one boot at a time"
  reference
fi

if [ "$single" = judge ]; then
  started=$SECONDS
  while read -r id how boot what name; do
    judge "$dir/cut-$id" "$how" "$boot" "$what" > "$dir/cut-$id/verdict.txt"
  done < "$dir/cuts"
elif [ "$single" = figures ]; then
  echo "$(grep -c . "$dir/cuts") cuts started, $(for id in $(cut -d' ' -f1 "$dir/cuts"); do
    [ -s "$dir/cut-$id/verdict.txt" ] && echo; done | wc -l) judged; the figures of those judged:"
elif [ "$single" = resume ]; then
  [ -s "$dir/plan" ] && [ -e "$dir/cuts" ] || die "no campaign to resume in $dir"
  started=$SECONDS
  # A cut's id is its line in the plan.
  while read -r id how boot what name; do
    [ ! -s "$dir/cut-$id/verdict.txt" ] || continue
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do sleep 0.5; done
    run_cut "$id" "$how" "$boot" "$what" &
    grep -q "^$id " "$dir/cuts" || echo "$id $how $boot $what ${name:--}" >> "$dir/cuts"
  done < <(awk '$1 == "kill" { print NR, $0 }' "$dir/plan"; awk '$1 != "kill" { print NR, $0 }' "$dir/plan")
  wait
elif [ -n "$single" ]; then
  read -r how where <<<"$single"
  if [ "$how" = kill ]; then
    run_cut single kill "${where%%:*}" "${where#*:}"
  elif [ -n "$tear" ]; then
    [ "$tear" != 0 ] || die "--tear takes a seed other than 0"
    run_cut single torn "${where%%:*}" "${where#*:}/$tear"
  else
    run_cut single exact "${where%%:*}" "${where#*:}"
  fi
  cat "$dir/cut-single/verdict.txt"
  exit 0
else
  plan > "$dir/plan"
  log "$(wc -l < "$dir/plan") cuts, $jobs at a time"
  started=$SECONDS
  id=0
  while read -r how boot what name; do
    id=$((id + 1))
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do sleep 0.5; done
    run_cut "$id" "$how" "$boot" "$what" &
    echo "$id $how $boot $what ${name:--}" >> "$dir/cuts"
  done < <(: > "$dir/cuts"; cat "$dir/plan")
  wait
fi

# --- figures ----------------------------------------------------------------------
injected=0 inside=0 torn=0 converged=0 max_boots=0 lost=0 broken=() exact=0 kills=0 kills_inside=0
declare -A per_cuts per_ok per_max per_lost per_torn torn_kind
while read -r id how boot what name; do
  v=$dir/cut-$id/verdict.txt
  [ "$single" != figures ] || [ -s "$v" ] || continue
  line=$(head -n 1 "$v")
  field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<" $line"; }
  injected=$((injected + 1))
  [ "$(field inside)" = yes ] && inside=$((inside + 1))
  if [ "$how" != kill ]; then exact=$((exact + 1)); else
    kills=$((kills + 1)); [ "$(field inside)" = yes ] && kills_inside=$((kills_inside + 1)); fi
  [ "$(field converged)" = yes ] && converged=$((converged + 1))
  b=$(field boots); [ "$b" -gt "$max_boots" ] && max_boots=$b
  [ "$(field lost)" = yes ] && lost=$((lost + 1))
  key=${name:-random instant, boot $boot}
  [ "$how" = kill ] && key="random instant (boot $boot)"
  per_cuts[$key]=$(( ${per_cuts[$key]:-0} + 1 ))
  [ "$(field converged)" = yes ] && per_ok[$key]=$(( ${per_ok[$key]:-0} + 1 ))
  [ "$b" -gt "${per_max[$key]:-0}" ] && per_max[$key]=$b
  [ "$(field lost)" = yes ] && per_lost[$key]=$(( ${per_lost[$key]:-0} + 1 ))
  t=$(field torn)
  if [ -n "$t" ] && [ "$t" != no ]; then
    torn=$((torn + 1))
    per_torn[$key/$t]=$(( ${per_torn[$key/$t]:-0} + 1 ))
    torn_kind[$t]=$(( ${torn_kind[$t]:-0} + 1 ))
  fi
  if grep -q '^problem:' "$v"; then
    case $how in
      exact) arg="--cut $boot:$what" ;;
      torn) arg="--cut $boot:${what%/*} --tear ${what#*/}" ;;
      *) arg="--kill $boot:$what" ;;
    esac
    while read -r problem; do broken+=("${problem#problem: }: board/power-cuts.sh $arg"); done < <(grep '^problem:' "$v")
  fi
done < "$dir/cuts"

echo
# One "torn" column per kind of flash operation the driver has.
torn_columns() {  # key: a row's torn counts; none: the header
  local op name width first=1
  for op in "${op_kinds[@]}"; do
    IFS=: read -r op name width <<<"$op"
    [ -z "$first" ] || name="torn: $name"
    first=""
    if [ $# = 0 ]; then printf " %${width}s" "$name"; else printf " %${width}d" "${per_torn[$1/$op]:-0}"; fi
  done
}
printf '%-40s %5s%s %10s %10s %9s\n' "where the power was cut" cuts "$(torn_columns)" converged "max boots" "env lost"
for key in $(printf '%s\n' "${!per_cuts[@]}" | sort | tr ' ' '\001'); do
  key=${key//$'\001'/ }
  printf '%-40s %5d%s %10d %10d %9d\n' "$key" "${per_cuts[$key]}" "$(torn_columns "$key")" \
    "${per_ok[$key]:-0}" "${per_max[$key]:-0}" "${per_lost[$key]:-0}"
done
echo "boots to converge after the cut (the cut boot not counted), bound $bound:"
for id in $(cut -d' ' -f1 "$dir/cuts"); do
  [ "$single" != figures ] || [ -s "$dir/cut-$id/verdict.txt" ] || continue
  sed -n 's/.* boots=\([0-9]*\).*/\1/p' "$dir/cut-$id/verdict.txt"
done |
  sort -n | uniq -c | awk '{ printf "  %d boot%s: %d cut%s\n", $2, $2 == 1 ? "" : "s", $1, $1 == 1 ? "" : "s" }'
torn_by_kind=""
for op in "${op_kinds[@]}"; do
  IFS=: read -r op name _ <<<"$op"
  [ "$name" = erase ] && name=erases || name="$name programs"
  torn_by_kind="$torn_by_kind${torn_by_kind:+, }$name ${torn_kind[$op]:-0}"
done
echo "exact cuts, at a flash operation: $exact, of which $torn tore it ($torn_by_kind);" \
  "at random instants: $kills, of which $kills_inside fell between two flash operations of the boot" \
  "(the flash differs from before and after it)"
[ "$single" = judge ] || [ "$single" = figures ] || echo "host time: $((SECONDS - started)) s for the cuts ($jobs at a time), logs in $dir"
echo "power cuts: $injected injected, $inside inside flash operations, $torn torn, $converged converged, $max_boots max boots to converge, $lost environments lost"
for b in "${broken[@]}"; do echo "broken: $b"; done
[ ${#broken[@]} -eq 0 ]
