#!/usr/bin/env bash
# The manual pages as the two readers of manual pages read them: mandoc
# (-T lint, style messages included) and groff (-ww, every warning) must
# report nothing.  Then bootguard-flash(1) must describe every command and
# option `bootguard-flash --help` lists, and exactly the partitions it takes;
# bootguard-check(8) must state each check bootguard-check prints, in its
# order, and its options.
#
#   man_pages_test.sh MANDOC MAKEWHATIS GROFF TOOL CHECK PAGE... -- [RUNNER...]
set -euo pipefail
mandoc=$1 makewhatis=$2 groff=$3 tool=$4 check=$5
shift 5
pages=()
while [ "$1" != -- ]; do pages+=("$1"); shift; done
shift
runner=("$@")
for program in "$mandoc" "$makewhatis" "$groff"; do
  [ -x "$program" ] || { echo "FAIL: no mandoc, makewhatis or groff (scripts/install-deps.sh installs mandoc and groff-base)"; exit 1; }
done
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The pages' references to each other are looked up in a manual tree of
# these pages alone.  The manuals of other packages they refer to need not
# be on a build machine: those references, and only those, are let pass.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for page in "${pages[@]}"; do
  mkdir -p "$work/man${page##*.}"
  cp "$page" "$work/man${page##*.}/"
done
"$makewhatis" "$work"
others='fw_setenv 8|reboot 2|statfs 2|sync 2|systemd.service 5'
for page in "${pages[@]}"; do
  complaints=$("$mandoc" -T lint -W style -M "$work" "$page" 2>&1 |
    grep -v -E "STYLE: referenced manual not found: Xr ($others)( \([0-9]+ times\))?\$" || true)
  [ -z "$complaints" ] || fail "mandoc -T lint $(basename "$page"):"$'\n'"$complaints"
  complaints=$("$groff" -ww -z -mandoc "$page" 2>&1) || complaints+=" (exit status $?)"
  [ -z "$complaints" ] || fail "groff -ww $(basename "$page"):"$'\n'"$complaints"
done

flash_page=$(printf '%s\n' "${pages[@]}" | grep '/bootguard-flash\.1$')
help=$("${runner[@]}" "$tool" --help)
for command in $(sed -n 's/^  \([a-z][a-z-]*\) .*/\1/p' <<<"$help"); do
  grep -q "^\.It Cm $command\( \|\$\)" "$flash_page" || fail "bootguard-flash(1) does not describe the command $command"
done
for option in $(grep -o -- '--[a-z]*' <<<"$help" | sort -u); do
  grep -q "^\.It Fl -${option#--}\( \|\$\)" "$flash_page" || fail "bootguard-flash(1) does not describe the option $option"
done
listed=$(sed -n 's/^\.It \([^ ]*\) Ta Pa \/dev\/.*/\1/p' "$flash_page" | sort)
taken=$(sed -n 's/^write takes: //p' <<<"$help" | tr ' ' '\n' | sort)
[ "$listed" = "$taken" ] || fail "bootguard-flash(1) lists the partitions" $listed "; the tool takes" $taken

# Every check, run against an empty root (where each one has its say), in
# the order the page gives them.
check_page=$(printf '%s\n' "${pages[@]}" | grep '/bootguard-check\.8$')
empty=$(mktemp -d "$work/root.XXXXXX")
status=0
printed=$("${runner[@]}" "$check" --root "$empty" | sed -n 's/^\(PASS\|WARN\|FAIL\) \([^:]*\):.*/\2/p') || status=$?
[ "$status" = 1 ] || fail "bootguard-check on an empty root exits $status, not 1"
for usage in "--unknown" "--root $empty/none"; do
  status=0
  # shellcheck disable=SC2086 # the option and its argument
  "${runner[@]}" "$check" $usage > /dev/null 2>&1 || status=$?
  [ "$status" = 2 ] || fail "bootguard-check $usage exits $status, not 2 (usage error, as the page says)"
done
described=$(sed -n '/^\.Sh CHECKS/,/^\.Sh /s/^\.It Sy \(.*\)/\1/p' "$check_page")
[ -n "$printed" ] && [ "$printed" = "$described" ] ||
  fail "bootguard-check prints the checks" $printed "; bootguard-check(8) describes" $described
for option in $("${runner[@]}" "$check" --help | grep -o -- '--[a-z]*' | sort -u); do
  grep -q "^\.It Fl -${option#--}\( \|\$\)" "$check_page" || fail "bootguard-check(8) does not describe the option $option"
done

[ "$failures" -eq 0 ] || exit 1
echo "PASS mandoc -T lint and groff -ww report nothing for: ${pages[*]##*/}"
echo "PASS bootguard-flash(1) describes every command, option and partition of --help"
echo "PASS bootguard-check(8) describes its $(echo "$printed" | wc -l) checks in their order, and its options"
