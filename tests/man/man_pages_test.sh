#!/usr/bin/env bash
# The manual pages as the two readers of manual pages read them: mandoc
# (-T lint, style messages included) and groff (-ww, every warning) must
# report nothing.  Then bootguard-flash(1) must describe every command and
# option `bootguard-flash --help` lists, and exactly the partitions it takes.
#
#   man_pages_test.sh MANDOC MAKEWHATIS GROFF TOOL PAGE... -- [RUNNER...]
set -euo pipefail
mandoc=$1 makewhatis=$2 groff=$3 tool=$4
shift 4
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
others='fw_setenv 8|reboot 2|sync 2|systemd.service 5'
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

[ "$failures" -eq 0 ] || exit 1
echo "PASS mandoc -T lint and groff -ww report nothing for: ${pages[*]##*/}"
echo "PASS bootguard-flash(1) describes every command, option and partition of --help"
