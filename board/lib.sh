# Shared by the board scripts (sourced, not run): paths, messages, the
# product's install tree, and the other pieces of the board, one file each:
#   flash-image.sh  the partition map and the factory flash image
#   initramfs.sh    the camera's software, as one initramfs
#   machine.sh      one run of the emulated machine and reading its console

board=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$board/.." && pwd)
cache=$board/cache
out=$board/out
root=$cache/root            # armhf packages, unpacked

log() { echo "board: $*"; }
die() { echo "board: $*" >&2; exit 1; }

kernel_release() { cat "$out/kernel-release"; }

# --- the product ---------------------------------------------------------------
# The board runs what ships: the armhf preset's install tree, configured
# for the camera's prefix /usr and installed into $install.  On a fresh
# clone the preset is configured first.  BOARD_NO_BUILD=1 takes the tree as
# it is.
install=$out/install
install_product() {
  mkdir -p "$out"
  if [ -n "${BOARD_NO_BUILD:-}" ] && [ -x "$install/usr/sbin/bootguard" ]; then
    return
  fi
  if ! grep -qx 'CMAKE_INSTALL_PREFIX:PATH=/usr' "$repo/build/armhf/CMakeCache.txt" 2>/dev/null; then
    "$repo/scripts/install-deps.sh"
    log "configuring the armhf build for prefix /usr"
    (cd "$repo" && cmake --preset armhf -DCMAKE_INSTALL_PREFIX=/usr) > "$out/configure.log" 2>&1 ||
      { cat "$out/configure.log" >&2; die "configuring the armhf build failed"; }
  fi
  (cd "$repo" && cmake --build --preset armhf --target bootguard bootguard-flash bootguard-check) > "$out/build.log" 2>&1 ||
    { cat "$out/build.log" >&2; die "the armhf build failed"; }
  rm -rf "$install.new"
  DESTDIR=$install.new cmake --install "$repo/build/armhf" > "$out/install.log" 2>&1 ||
    { cat "$out/install.log" >&2; die "installing the armhf build failed"; }
  # Only a changed tree makes the initramfs stale.
  if [ -d "$install" ] && diff -r -q "$install" "$install.new" >/dev/null 2>&1; then
    rm -rf "$install.new"
  else
    rm -rf "$install" && mv "$install.new" "$install"
  fi
  [ -x "$install/usr/sbin/bootguard" ] || die "no bootguard in the install tree $install"
}

source "$board/flash-image.sh"
source "$board/initramfs.sh"
source "$board/machine.sh"
