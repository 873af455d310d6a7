/* A C caller of the installed flash module: it proves that the library
 * links into a plain C program and answers without any flash. */
#include <bootguard/zqdevice.h>
#include <stdio.h>

static int calls;

static void OnProgress(int zero, int value) {
  (void)zero;
  (void)value;
  ++calls;
}

int main(void) {
  char buffer[16] = {0};
  printf("set callback: %d\n", ZQDeviceSetCallback(OnProgress));
  printf("read u-boot (not readable): %d\n", ZQDeviceRead("u-boot", 0, buffer, sizeof buffer));
  printf("read factory, length 0: %d\n", ZQDeviceRead("factory", 0, buffer, 0));
  printf("write kernel (no such name): %d\n", ZQDeviceWrite("kernel", 0, buffer, sizeof buffer));
  printf("write rootfs (no device): %d\n", ZQDeviceWrite("rootfs", 0, buffer, sizeof buffer));
  printf("erase uenv (no device): %d\n", ZQDeviceEraseBootEnv());
  printf("progress calls: %d\n", calls);
  return 0;
}
