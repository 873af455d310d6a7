// The boot loader's stored environment on the "uenv" partition: erasing it
// whole, or invalidating it by zeroing its CRC field.

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "flash_private.h"

namespace {

constexpr const char *kBootEnvNode = "/dev/mtd4";
constexpr const char *kBootEnvName = "uenv";
// The environment's header: a CRC-32 of the rest, then the variables.
constexpr int kBootEnvHeaderSize = 256;
constexpr int kBootEnvCrcSize = 4;
// Erasing reports on a scale of 40: it is one step of a longer update.
constexpr uint32_t kEraseProgressScale = 40;
// The largest spare area per page of current NAND chips.
constexpr uint32_t kMaxSpareBytes = 1664;

}  // namespace

int DeviceEraseAll(const char *path) {
  PartitionGeometry geometry{};
  DeviceHandle device(DeviceOpenWithGeometry(path, &geometry));
  if (device.get() < 0) {
    return -1;
  }
  // Only the first spare byte tells a bad block, so a page's spare area
  // larger than the buffer is read in part.
  unsigned char spare[kMaxSpareBytes];
  const uint32_t spareBytes = geometry.oobsize < sizeof spare ? geometry.oobsize : sizeof spare;
  for (uint32_t start = 0; start < geometry.size; start += geometry.erasesize) {
    // The kernel refuses to erase a bad block; the environment's later
    // copies must not survive behind one.
    if (spareBytes == 0 || !BlockIsBad(device.get(), path, start, spare, spareBytes)) {
      erase_info_user block{start, geometry.erasesize};
      ioctl(device.get(), MEMUNLOCK, &block);
      if (ioctl(device.get(), MEMERASE, &block) != 0) {
        printf("Failed to erase block on %s at 0x%x\n", path, start);
        return -1;
      }
    }
    ReportProgress(start, geometry.size, kEraseProgressScale);
  }
  device.Close();
  sync();
  return 0;
}

int ZQDeviceEraseBootEnv(void) {
  if (DeviceCheck(kBootEnvNode) == 0) {
    puts("Can't open device for writing!");
    return -1;
  }
  return DeviceEraseAll(kBootEnvNode);
}

int ZQDeviceEraseOneBootEnv(void) {
  // Whatever a failed read leaves out goes to flash as erased bytes, never
  // as stack garbage; the CRC field is zeroed either way.
  char header[kBootEnvHeaderSize];
  memset(header, 0xFF, sizeof header);
  ZQDeviceRead(kBootEnvName, 0, header, sizeof header);
  memset(header, 0, kBootEnvCrcSize);
  return ZQDeviceWrite(kBootEnvName, 0, header, sizeof header) == 0 ? 0 : -1;
}
