#!/usr/bin/env bash
# The target binaries are hardened as Debian builds a root daemon: each one
# must be a position-independent executable, with full RELRO (relocations
# resolved at start, then read-only), a stack that cannot be executed, the
# stack protector and libc's checked calls.  Prints what it found.
#
#   check_hardening.sh READELF LIBC BINARY...
#
# LIBC is the target's libc.so.6: its exported __NAME_chk functions tell
# which calls can be checked at all.  The stack protector is seen by its
# failure handler, __stack_chk_fail: both executables have functions with
# character arrays on the stack (lines, paths, numbers as text), which
# -fstack-protector-strong always guards, so a binary without the import
# was built without the flag.
set -euo pipefail
readelf=$1 libc=$2
shift 2
[ -f "$libc" ] || { echo "FAIL: no C library at '$libc'"; exit 1; }

# The functions libc has a checked form of, by their plain names.
checkable=$("$readelf" --dyn-syms -W "$libc" |
  awk '$4 == "FUNC" && $7 != "UND" { sub(/@.*/, "", $8); print $8 }' |
  sed -n 's/^__\(.*\)_chk$/\1/p' | sort -u)

failed=0
report() {  # property, found ("" when missing), details
  if [ -n "$2" ]; then
    printf '  %-22s yes (%s)\n' "$1:" "$3"
  else
    printf '  %-22s MISSING (%s)\n' "$1:" "$3"
    failed=1
  fi
}

for binary in "$@"; do
  echo "$(basename "$binary"):"
  header=$("$readelf" -hW "$binary")
  segments=$("$readelf" -lW "$binary")
  dynamic=$("$readelf" -dW "$binary")
  imports=$("$readelf" --dyn-syms -W "$binary" |
    awk '$7 == "UND" && $8 != "" { sub(/@.*/, "", $8); print $8 }' | sort -u)

  type=$(awk '$1 == "Type:" { print $2 }' <<<"$header")
  flags_1=$(sed -n 's/.*(FLAGS_1) *Flags: *//p' <<<"$dynamic")
  pie=$([ "$type" = DYN ] && grep -qw PIE <<<"$flags_1" && echo y || true)
  report "PIE" "$pie" "ELF type $type, FLAGS_1: ${flags_1:-none}"

  relro=$(grep -qE '^\s*GNU_RELRO\b' <<<"$segments" && echo GNU_RELRO || true)
  now=$(grep -qE '\(FLAGS\).*\bBIND_NOW\b|\(BIND_NOW\)' <<<"$dynamic" && echo BIND_NOW || true)
  grep -qw NOW <<<"$flags_1" && now="${now:+$now, }FLAGS_1 NOW"
  report "full RELRO" "$([ -n "$relro" ] && [ -n "$now" ] && echo y || true)" \
    "${relro:-no GNU_RELRO}; ${now:-no BIND_NOW}"

  stack=$(awk '$1 == "GNU_STACK" { print $(NF - 1) }' <<<"$segments")
  report "non-executable stack" "$([ "$stack" = RW ] && echo y || true)" "GNU_STACK ${stack:-absent}"

  guard=$(grep -x '__stack_chk_fail' <<<"$imports" || true)
  report "stack protector" "$guard" "$([ -n "$guard" ] && echo imports || echo no) __stack_chk_fail"

  # A call becomes its checked form where the compiler knows the buffer's
  # size but cannot prove the call stays inside it; the plain forms left
  # are calls it proved safe or whose buffer it cannot see.
  checked=$(grep -E '^__.*_chk$' <<<"$imports" | grep -v '^__stack_chk_fail$' | xargs || true)
  plain=$(comm -12 <(echo "$imports") <(echo "$checkable") | xargs)
  if [ -z "$plain" ] && [ -z "$checked" ]; then
    printf '  %-22s none needed (no call libc has a checked form of)\n' "fortified calls:"
  else
    report "fortified calls" "$checked" "checked: ${checked:-none}; plain: ${plain:-none}"
  fi
done
if [ "$failed" -ne 0 ]; then
  echo "FAIL: a hardening property is missing"
  exit 1
fi
