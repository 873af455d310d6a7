/* Flash partitions of the camera, by name: reading, writing an image safely,
 * erasing and invalidating the boot-loader environment.  Exported by the
 * bootguard executable, and in libbootguard_flash.a for programs that link
 * the module themselves (pkg-config bootguard-flash; installed as
 * <bootguard/zqdevice.h>).  Usable from C and C++.
 *
 * Partition names: "fdt", "u-boot", "uenv", "factory", "uImage", "rootfs",
 * "customer" (a name matches when it starts with one of these).  Every call
 * opens its device, works and closes it; results are 0 on success and -1 on
 * failure, with the cause printed as one line on standard output. */
#ifndef BOOTGUARD_FLASH_ZQDEVICE_H
#define BOOTGUARD_FLASH_ZQDEVICE_H

/* The installed header stands alone: it carries its own export marking.
 * C linkage so that callers find the functions by their plain names,
 * default visibility so that bootguard's dynamic list can publish them. */
#ifndef BOOTGUARD_FLASH_EXPORT
#if defined(__GNUC__)
#define BOOTGUARD_FLASH_VISIBLE __attribute__((visibility("default")))
#else
#define BOOTGUARD_FLASH_VISIBLE
#endif
#ifdef __cplusplus
#define BOOTGUARD_FLASH_EXPORT extern "C" BOOTGUARD_FLASH_VISIBLE
#else
#define BOOTGUARD_FLASH_EXPORT BOOTGUARD_FLASH_VISIBLE
#endif
#endif

/* Called as callback(0, progress) during long operations. */
typedef void (*ProgressCallback)(int, int);

/* Sets the process-wide progress callback (null: no calls).  Returns 0. */
BOOTGUARD_FLASH_EXPORT int ZQDeviceSetCallback(ProgressCallback callback);

/* Reads len bytes at offset of the "factory" or "uenv" partition into buf. */
BOOTGUARD_FLASH_EXPORT int ZQDeviceRead(const char *name, int offset, void *buf, int len);

/* Writes len bytes of data from the partition's first byte (offset must be
 * 0): unchanged blocks are left alone, bad blocks skipped, written data read
 * back and compared, and the rest of the partition erased.  Progress runs
 * from 0 to 100. */
BOOTGUARD_FLASH_EXPORT int ZQDeviceWrite(const char *name, int offset, const char *data, int len);

/* Erases the whole boot-environment partition.  Progress runs from 0 to
 * just below 40. */
BOOTGUARD_FLASH_EXPORT int ZQDeviceEraseBootEnv(void);

/* Zeroes the stored boot environment's CRC field, so that the boot loader
 * no longer accepts it; the rest of the partition is erased. */
BOOTGUARD_FLASH_EXPORT int ZQDeviceEraseOneBootEnv(void);

#endif
