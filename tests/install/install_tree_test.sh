#!/usr/bin/env bash
# Installs the build into a fresh DESTDIR and checks the tree exactly: the
# files, their modes, no other files or directories; the installed programs
# and library are the built ones, and the start files and the pkg-config
# file name the paths they are installed under.
#
#   install_tree_test.sh CMAKE BUILD_DIR DESTDIR HOW PREFIX SBINDIR INCLUDEDIR LIBDIR UNITDIR [MODE PATH]...
#
# HOW is "configured" (the prefix the build was configured for) or
# "--prefix" (cmake --install --prefix PREFIX).
set -euo pipefail
cmake=$1 build=$2 root=$3 how=$4 prefix=$5 sbindir=$6 includedir=$7 libdir=$8 unitdir=$9
shift 9

install_command=("$cmake" --install "$build")
[ "$how" = configured ] || install_command+=(--prefix "$prefix")
rm -rf "$root"
mkdir -p "$root"
if ! DESTDIR=$root "${install_command[@]}" > "$root.log" 2>&1; then
  cat "$root.log"
  echo "FAIL: ${install_command[*]}"
  exit 1
fi
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

expected=$(printf '%s %s\n' "$@" | sed 's| /| |' | sort)
actual=$(cd "$root" && find . -type f -printf '%m %P\n' | sort)
[ "$expected" = "$actual" ] || { fail "installed files and modes differ:"; diff <(echo "$expected") <(echo "$actual") || true; }

others=$(cd "$root" && find . ! -type f ! -type d -printf '%P\n')
[ -z "$others" ] || fail "not plain files or directories: $others"
# Every directory holds an installed file somewhere below it.
expected_dirs=$(for file in $(echo "$expected" | cut -d' ' -f2); do
  dir=$(dirname "$file")
  while [ "$dir" != . ]; do echo "$dir"; dir=$(dirname "$dir"); done
done | sort -u)
actual_dirs=$(cd "$root" && find . -mindepth 1 -type d -printf '%P\n' | sort)
[ "$expected_dirs" = "$actual_dirs" ] || { fail "directories differ:"; diff <(echo "$expected_dirs") <(echo "$actual_dirs") || true; }

# What was built is what ships.
for built in "$build/bootguard" "$build/bootguard-flash/bootguard-flash" "$build/bootguard-check/bootguard-check" \
             "$build/flash/libbootguard_flash.a"; do
  installed=$(cd "$root" && find . -type f -name "$(basename "$built")" -printf '%P\n')
  [ -n "$installed" ] && cmp -s "$built" "$root/$installed" || fail "$built is not installed as built"
done
# The start files name the installed bootguard, the pkg-config file the
# prefix and the directories of the installed library and header.
init_script=$(cd "$root" && find . -path '*/init.d/S99bootguard' -printf '%P\n')
grep -q "^BOOTGUARD=$sbindir/bootguard\$" "$root/$init_script" || fail "$init_script does not start $sbindir/bootguard"
sh -n "$root/$init_script" || fail "$init_script is not a valid shell script"
unit=$root$unitdir/bootguard.service
grep -q "^ExecStart=$sbindir/bootguard\$" "$unit" || fail "$unit does not start $sbindir/bootguard"
pc=$root$libdir/pkgconfig/bootguard-flash.pc
pc_variable() { sed -n "s/^$1=//p" "$pc" | sed "s|\${prefix}|$prefix|"; }
[ "$(pc_variable prefix)" = "$prefix" ] || fail "$pc: prefix=$(pc_variable prefix), installed under $prefix"
[ "$(pc_variable libdir)" = "$libdir" ] || fail "$pc: libdir is $(pc_variable libdir), the library is in $libdir"
[ "$(pc_variable includedir)" = "$includedir" ] || fail "$pc: includedir is $(pc_variable includedir), the header is in $includedir"

[ "$failures" -eq 0 ] || exit 1
echo "PASS installed tree (${install_command[*]:1}, DESTDIR=$root):"
echo "$actual"
