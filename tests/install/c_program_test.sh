#!/usr/bin/env bash
# Builds a small C program against the installed tree, as an integrator's
# build would, through pkg-config alone, and runs it.
#
#   c_program_test.sh CC PKG_CONFIG DESTDIR LIBDIR VERSION CALLER_C [LINK_FLAG...] -- [RUNNER...]
#
# The program runs in a new mount namespace with an empty /dev, so that no
# flash of this machine can be reached whatever it asks for.
set -euo pipefail
cc=$1 pkg_config=$2 root=$3 libdir=$4 version=$5 caller=$6
shift 6
[ -x "$pkg_config" ] || { echo "FAIL: no pkg-config (scripts/install-deps.sh installs pkgconf)"; exit 1; }
link_flags=()
while [ "$1" != -- ]; do link_flags+=("$1"); shift; done
shift
runner=("$@")
failures=0
check() {  # check WHAT EXPECTED ACTUAL
  if [ "$2" != "$3" ]; then
    printf 'FAIL: %s\n  expected: %q\n  actual:   %q\n' "$1" "$2" "$3"
    failures=$((failures + 1))
  fi
}

# Only the installed tree's .pc files, none of this machine's; its paths
# are taken inside DESTDIR.  The tree's /usr/include and /usr/lib are not
# the compiler's own: no pkg-config may drop them as system paths.
export PKG_CONFIG_LIBDIR=$root$libdir/pkgconfig
export PKG_CONFIG_SYSROOT_DIR=$root
export PKG_CONFIG_ALLOW_SYSTEM_CFLAGS=1 PKG_CONFIG_ALLOW_SYSTEM_LIBS=1
check "version" "$version" "$("$pkg_config" --modversion bootguard-flash)"
check "libdir" "$libdir" "$("$pkg_config" --variable=libdir bootguard-flash | sed "s|^$root||")"
read -r -a flags <<< "$("$pkg_config" --cflags --libs bootguard-flash)"
echo "pkg-config --cflags --libs bootguard-flash: ${flags[*]}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$cc" -std=c99 -Wall -Wextra -Wpedantic -Werror "$caller" "${flags[@]}" "${link_flags[@]}" -o "$work/caller"

# The archive also goes into a shared object, with no text relocation.
"$cc" -shared -Wl,-z,text -o "$work/libshared.so" \
  -Wl,--whole-archive "$root$libdir/libbootguard_flash.a" -Wl,--no-whole-archive "${link_flags[@]}"

output=$(unshare --user --map-root-user --mount --propagation private \
  sh -c 'mount -t tmpfs no-flash /dev && exec "$@"' caller "${runner[@]}" "$work/caller")
check "the caller's output" "set callback: 0
read u-boot (not readable): -1
read factory, length 0: -1
write kernel (no such name): -1
Could not open mtd device: /dev/mtd7
Can't open device for writing!
write rootfs (no device): -1
Could not open mtd device: /dev/mtd4
Can't open device for writing!
erase uenv (no device): -1
progress calls: 0" "$output"

[ "$failures" -eq 0 ] && echo "PASS the C caller builds with pkg-config and runs"
exit $((failures > 0))
