# The environment functions against the real consumer, U-Boot, in one run of
# the board (scenario envtest) that restarts between steps.  The step is
# kept on /customer; the host reads which environment U-Boot loaded and
# which path it took on each boot.
#   step 1  (stored environment, normal path)  bootguard-flash invalidate-env
#   step 2  (bad CRC: U-Boot's default path)   a fresh environment by
#           fw_setenv, then bootguard-flash erase-env
#   step 3  (bad CRC: U-Boot's default path)   fw_setenv ota_upgrade_status 1:
#           fw_setenv rebuilds the whole environment from
#           /etc/u-boot-initial-env
#   step 4  (stored environment, recovery path) the end
# Output: "@@ENVTEST step=N mode=M" on each boot, the tools' lines, and
# "@@ENVTEST-END" after the last step.
. /usr/libexec/board/common
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
flash_up || halt_board
step=$(cat /customer/envtest-step 2>/dev/null || echo 1)
echo "@@ENVTEST step=$step mode=$(arg mode)"
next() { echo "$1" > /customer/envtest-step; sync; umount /app /customer; reboot -f; }
case $step in
  1) bootguard-flash invalidate-env; echo "@@ENVTEST status=$?"; next 2 ;;
  2) fw_setenv board_check 1
     echo "@@ENVTEST printenv $(fw_printenv board_check 2>&1)"
     bootguard-flash erase-env; echo "@@ENVTEST status=$?"; next 3 ;;
  3) fw_setenv ota_upgrade_status 1; echo "@@ENVTEST status=$?"; next 4 ;;
  *) echo "@@ENVTEST-END"; halt_board ;;
esac
