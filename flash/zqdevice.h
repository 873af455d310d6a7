/* Flash partitions of the camera, by name: reading, writing an image safely,
 * erasing and invalidating the boot-loader environment.  Exported by the
 * bootguard executable; usable from C and C++.
 *
 * Partition names: "fdt", "u-boot", "uenv", "factory", "uImage", "rootfs",
 * "customer" (a name matches when it starts with one of these).  Every call
 * opens its device, works and closes it; results are 0 on success and -1 on
 * failure, with the cause printed as one line on standard output. */
#ifndef BOOTGUARD_FLASH_ZQDEVICE_H
#define BOOTGUARD_FLASH_ZQDEVICE_H

#include "export.h"

/* Called as callback(0, progress) during long operations. */
typedef void (*ProgressCallback)(int, int);

/* Sets the process-wide progress callback (null: no calls).  Returns 0. */
BOOTGUARD_EXPORT int ZQDeviceSetCallback(ProgressCallback callback);

/* Reads len bytes at offset of the "factory" or "uenv" partition into buf. */
BOOTGUARD_EXPORT int ZQDeviceRead(const char *name, int offset, void *buf, int len);

/* Writes len bytes of data from the partition's first byte (offset must be
 * 0): unchanged blocks are left alone, bad blocks skipped, written data read
 * back and compared, and the rest of the partition erased.  Progress runs
 * from 0 to 100. */
BOOTGUARD_EXPORT int ZQDeviceWrite(const char *name, int offset, const char *data, int len);

/* Erases the whole boot-environment partition.  Progress runs from 0 to
 * just below 40. */
BOOTGUARD_EXPORT int ZQDeviceEraseBootEnv(void);

/* Zeroes the stored boot environment's CRC field, so that the boot loader
 * no longer accepts it; the rest of the partition is erased. */
BOOTGUARD_EXPORT int ZQDeviceEraseOneBootEnv(void);

#endif
