// Partition devices: the name table, opening and probing a device, the
// progress callback slot, and reading a partition.

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "flash_private.h"

#if defined(__arm__)
// The camera's kernel expects exactly these request codes.
static_assert(MEMGETINFO == 0x80204D01);
static_assert(MEMERASE == 0x40084D02);
static_assert(MEMREADOOB == 0xC00C4D04);
static_assert(MEMUNLOCK == 0x40084D06);
#endif

namespace {

constexpr const char *kPartitionList = "/proc/mtd";
constexpr size_t kQuotedNameSize = 32;
constexpr size_t kListLineSize = 4096;

// Names and nodes are held in the row, not pointed to: in a position-
// independent executable each pointer is a relocation applied at every
// start and four bytes of the writable segment.
struct PartitionRow {
  char name[sizeof "customer"];
  char node[sizeof "/dev/mtdN"];
  bool readable;  // only the factory data and the boot environment are read back
};
// No name is a prefix of another, so at most one row matches.
constexpr PartitionRow kPartitions[] = {
    {"fdt", "/dev/mtd1", false},    {"u-boot", "/dev/mtd3", false}, {"uenv", "/dev/mtd4", true},
    {"factory", "/dev/mtd5", true}, {"uImage", "/dev/mtd6", false}, {"rootfs", "/dev/mtd7", false},
    {"customer", "/dev/mtd8", false},
};

ProgressCallback progressCallback = nullptr;

// Every partition can be written; only some can be read.
bool OpenTo(const PartitionRow &row, PartitionAccess access) { return access == kForWriting || row.readable; }

// The kernel lists each partition as `mtdN: size erasesize "name"`.
int OpenListedPartition(const char *quotedName, int flags, bool *listed) {
  *listed = false;
  FILE *list = fopen(kPartitionList, "r");
  if (list == nullptr) {
    return -1;
  }
  char line[kListLineSize];
  int fd = -1;
  while (fgets(line, sizeof line, list) != nullptr) {
    int number = 0;
    // NOLINTNEXTLINE(cert-err34-c): the kernel writes the number; glibc saturates one out of range, naming no device
    if (sscanf(line, "mtd%d:", &number) != 1 || strstr(line, quotedName) == nullptr) {
      continue;
    }
    char node[32];
    snprintf(node, sizeof node, "/dev/mtd/%d", number);
    fd = open(node, flags);
    if (fd < 0) {
      snprintf(node, sizeof node, "/dev/mtd%d", number);
      fd = open(node, flags);
    }
    *listed = true;
    break;
  }
  (void)fclose(list);  // only read: nothing of ours is lost if it fails
  return fd;
}

}  // namespace

const char *PartitionNode(const char *name, PartitionAccess access) {
  for (const PartitionRow &row : kPartitions) {
    if (OpenTo(row, access) && strncmp(name, row.name, strlen(row.name)) == 0) {
      return row.node;
    }
  }
  return nullptr;
}

const char *PartitionName(size_t index, PartitionAccess access) {
  for (const PartitionRow &row : kPartitions) {
    if (OpenTo(row, access)) {
      if (index == 0) {
        return row.name;
      }
      --index;
    }
  }
  return nullptr;
}

void DeviceHandle::Close() {
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
}

int DeviceOpen(const char *name, int flags) {
  if (name == nullptr) {
    puts("mtd is NULL");
    return -1;
  }
  // A name whose quoted form does not fit is no partition name: it is
  // opened as a path rather than matched truncated.
  char quotedName[kQuotedNameSize] = {};
  int length = snprintf(quotedName, sizeof quotedName, "\"%s\"", name);
  if (length > 0 && static_cast<size_t>(length) < sizeof quotedName) {
    bool listed = false;
    int fd = OpenListedPartition(quotedName, flags, &listed);
    if (listed) {
      return fd;
    }
  }
  return open(name, flags);
}

int DeviceOpenWithGeometry(const char *path, PartitionGeometry *geometry) {
  int fd = DeviceOpen(path, O_RDWR | O_SYNC);
  if (fd < 0) {
    printf("Could not open mtd device: %s\n", path);
    return -1;
  }
  // A geometry without erase blocks or pages cannot be walked block by block.
  if (ioctl(fd, MEMGETINFO, geometry) != 0 || geometry->erasesize == 0 || geometry->writesize == 0) {
    printf("Could not get MTD device info from %s\n", path);
    close(fd);
    return -1;
  }
  return fd;
}

int DeviceCheck(const char *path) {
  PartitionGeometry geometry{};
  DeviceHandle device(DeviceOpenWithGeometry(path, &geometry));
  return device.get() >= 0 ? 1 : 0;
}

bool BlockIsBad(int fd, const char *path, uint32_t start, unsigned char *spare, uint32_t spareSize) {
  mtd_oob_buf request{start, spareSize, spare};
  if (ioctl(fd, MEMREADOOB, &request) != 0) {
    printf("Reading %s OOB failed: %x\n   ", path, start);
    return false;
  }
  if (spare[0] != 0xFF) {
    printf("skip bad block %x\n   ", start);
    return true;
  }
  return false;
}

void ReportProgress(uint64_t done, uint32_t size, uint32_t scale) {
  if (progressCallback != nullptr && size != 0) {
    progressCallback(0, static_cast<int>(done * scale / size));
  }
}

int ZQDeviceSetCallback(ProgressCallback callback) {
  progressCallback = callback;
  return 0;
}

int DeviceReadImage(void *buf, int offset, int len, const char *path) {
  PartitionGeometry geometry{};
  DeviceHandle device(DeviceOpenWithGeometry(path, &geometry));
  if (device.get() < 0) {
    return -1;
  }
  if ((offset != 0 && lseek(device.get(), offset, SEEK_SET) != offset) ||
      read(device.get(), buf, static_cast<size_t>(len)) != len) {
    puts("Failed to read");
    return -1;
  }
  return 0;
}

int ZQDeviceRead(const char *name, int offset, void *buf, int len) {
  if (name == nullptr || buf == nullptr || len <= 0 || offset < 0) {
    return -1;
  }
  const char *path = PartitionNode(name, kForReading);
  if (path == nullptr) {
    return -1;
  }
  // The probe opens read-write, so the message is the write path's.
  if (DeviceCheck(path) == 0) {
    puts("Can't open device for writing!");
    return -1;
  }
  return DeviceReadImage(buf, offset, len, path);
}
