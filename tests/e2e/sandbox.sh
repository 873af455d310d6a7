#!/usr/bin/env bash
# Runs bootguard once, as one boot of a camera, without touching this machine.
#
#   sandbox.sh [--no-pid-namespace] WORLD BOOTGUARD [RUNNER...]
#
# WORLD holds the camera's writable directories: customer/, tmp/ and etc/
# (with the fw_setenv stand-in).  bootguard runs chrooted into a fresh root
# where those are mounted at /customer, /tmp and /etc and the host's /usr is
# read-only.  Everything runs in a new user and mount namespace, and normally
# a new PID namespace: there bootguard's restart request ends the namespace
# with SIGHUP (exit status 129) instead of restarting the machine.  Without
# the PID namespace the restart request is refused with EPERM.
set -euo pipefail

namespaces=(--user --map-root-user --mount --propagation private --pid --fork)
if [ "${1:-}" = --no-pid-namespace ]; then
  namespaces=(--user --map-root-user --mount --propagation private)
  shift
fi
world=$(realpath "$1")
bootguard=$(realpath "$2")
shift 2

inner='
set -euo pipefail
world=$1 bootguard=$2; shift 2
# The restart request is real: refuse to go on outside a user namespace.
read -r inside outside count < /proc/self/uid_map
[ "$count" = 1 ] || { echo "sandbox: not in a user namespace" >&2; exit 97; }

root=$world/root
mkdir -p "$root"
mount -t tmpfs -o mode=755 bootguard-root "$root"
for dir in usr bin sbin lib lib32 lib64 libx32; do
  if [ -L "/$dir" ]; then
    ln -s "$(readlink "/$dir")" "$root/$dir"
  elif [ -d "/$dir" ]; then
    mkdir "$root/$dir"
    mount --rbind "/$dir" "$root/$dir"
    mount -o remount,bind,ro "$root/$dir"
  fi
done
for dir in customer tmp etc; do
  mkdir "$root/$dir"
  mount --bind "$world/$dir" "$root/$dir"
done
mkdir "$root/proc" "$root/dev"
mount --rbind /proc "$root/proc"
touch "$root/dev/null" "$root/bootguard"
mount --bind /dev/null "$root/dev/null"
mount --bind "$bootguard" "$root/bootguard"
# When bootguard starts, for timing it apart from this set-up, which can
# take long on a loaded machine.
date +%s > "$world/started"
exec chroot "$root" "$@" /bootguard
'
exec unshare "${namespaces[@]}" bash -c "$inner" sandbox "$world" "$bootguard" "$@"
