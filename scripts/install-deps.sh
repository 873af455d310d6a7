#!/usr/bin/env bash
# Installs, from Debian's packages, what building and testing bootguard needs
# on a fresh Debian 12 machine.  Run as root; quick when all is there.
set -euo pipefail
apt_who=install-deps
source "$(dirname "$0")/apt.sh"

packages=(
  cmake ninja-build g++ make          # host build
  googletest                          # GoogleTest sources, built with each preset
  g++-arm-linux-gnueabihf             # cross build for the camera
  binutils-arm-linux-gnueabihf        # readelf/strip for the armhf checks
  qemu-user                           # runs armhf tests on this machine
  util-linux                          # unshare, for the boot sandbox
  pkgconf                             # builds a C caller against the installed tree
  systemd                             # systemd-analyze verify of the unit
  busybox                             # the init script under busybox ash, as on the camera
  mandoc groff-base                   # mandoc -T lint and groff -ww of the manual pages
  clang-14 libclang-rt-14-dev         # libFuzzer and its sanitizers, for the fuzz build
  clang-tidy-14 cppcheck jq           # static analysis of the product's sources (scripts/analyse.sh)
)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "installing: ${missing[*]}"
  apt_update
  apt_install "${missing[@]}"
fi
