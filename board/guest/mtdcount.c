/* mtdcount.so: counts what a program does to MTD devices, for the board's
 * benchmark, so that bootguard-flash and the mtd-utils tools are measured
 * the same way.
 *
 *   MTDCOUNT=/tmp/counts LD_PRELOAD=/usr/lib/mtdcount.so flashcp -v img /dev/mtd6
 *
 * It stands in front of ioctl, read, pread, write and pwrite, and counts on
 * MTD character devices (major 90): erase requests (MEMERASE, MEMERASE64)
 * and the bytes they cover, bytes programmed (write, pwrite, MEMWRITE),
 * bytes read (read, pread, MEMREAD) and spare-area reads (MEMREADOOB,
 * MEMREADOOB64: on NAND each is a page read of the chip).  At exit it
 * appends one line to the file named by MTDCOUNT:
 *   erases=N erased=BYTES programmed=BYTES read=BYTES oob_reads=N hwm_kib=K
 * where hwm_kib is the process's peak resident memory (VmHWM).
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <mtd/mtd-user.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#define MTD_CHAR_MAJOR 90

static unsigned long long erases, erased, programmed, bytes_read, oob_reads;

static int is_mtd(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) == MTD_CHAR_MAJOR;
}

static void *real(const char *name)
{
    void *fn = dlsym(RTLD_NEXT, name);
    if (!fn) {
        fprintf(stderr, "mtdcount: no %s\n", name);
        _exit(127);
    }
    return fn;
}

int ioctl(int fd, unsigned long request, ...)
{
    static int (*real_ioctl)(int, unsigned long, ...);
    va_list ap;
    void *arg;
    int rc;
    if (!real_ioctl)
        real_ioctl = (int (*)(int, unsigned long, ...))real("ioctl");
    va_start(ap, request);
    arg = va_arg(ap, void *);
    va_end(ap);
    rc = real_ioctl(fd, request, arg);
    if (request == MEMERASE) {
        erases++;
        erased += ((struct erase_info_user *)arg)->length;
    } else if (request == MEMERASE64) {
        erases++;
        erased += ((struct erase_info_user64 *)arg)->length;
    } else if (request == MEMWRITE && rc == 0) {
        programmed += ((struct mtd_write_req *)arg)->len;
    } else if (request == MEMREAD && rc == 0) {
        bytes_read += ((struct mtd_read_req *)arg)->len;
    } else if (request == MEMREADOOB || request == MEMREADOOB64) {
        oob_reads++;
    }
    return rc;
}

static void count(int fd, ssize_t n, unsigned long long *total)
{
    if (n > 0 && is_mtd(fd))
        *total += (unsigned long long)n;
}

ssize_t read(int fd, void *buf, size_t len)
{
    static ssize_t (*fn)(int, void *, size_t);
    if (!fn)
        fn = (ssize_t (*)(int, void *, size_t))real("read");
    ssize_t n = fn(fd, buf, len);
    count(fd, n, &bytes_read);
    return n;
}

ssize_t pread(int fd, void *buf, size_t len, off_t offset)
{
    static ssize_t (*fn)(int, void *, size_t, off_t);
    if (!fn)
        fn = (ssize_t (*)(int, void *, size_t, off_t))real("pread");
    ssize_t n = fn(fd, buf, len, offset);
    count(fd, n, &bytes_read);
    return n;
}

ssize_t pread64(int fd, void *buf, size_t len, off64_t offset)
{
    static ssize_t (*fn)(int, void *, size_t, off64_t);
    if (!fn)
        fn = (ssize_t (*)(int, void *, size_t, off64_t))real("pread64");
    ssize_t n = fn(fd, buf, len, offset);
    count(fd, n, &bytes_read);
    return n;
}

ssize_t write(int fd, const void *buf, size_t len)
{
    static ssize_t (*fn)(int, const void *, size_t);
    if (!fn)
        fn = (ssize_t (*)(int, const void *, size_t))real("write");
    ssize_t n = fn(fd, buf, len);
    count(fd, n, &programmed);
    return n;
}

ssize_t pwrite(int fd, const void *buf, size_t len, off_t offset)
{
    static ssize_t (*fn)(int, const void *, size_t, off_t);
    if (!fn)
        fn = (ssize_t (*)(int, const void *, size_t, off_t))real("pwrite");
    ssize_t n = fn(fd, buf, len, offset);
    count(fd, n, &programmed);
    return n;
}

ssize_t pwrite64(int fd, const void *buf, size_t len, off64_t offset)
{
    static ssize_t (*fn)(int, const void *, size_t, off64_t);
    if (!fn)
        fn = (ssize_t (*)(int, const void *, size_t, off64_t))real("pwrite64");
    ssize_t n = fn(fd, buf, len, offset);
    count(fd, n, &programmed);
    return n;
}

static long peak_resident_kib(void)
{
    char line[128];
    long kib = -1;
    FILE *status = fopen("/proc/self/status", "r");
    if (!status)
        return -1;
    while (fgets(line, sizeof line, status))
        if (sscanf(line, "VmHWM: %ld kB", &kib) == 1)
            break;
    fclose(status);
    return kib;
}

__attribute__((destructor)) static void report(void)
{
    const char *path = getenv("MTDCOUNT");
    FILE *out;
    if (!path || !(out = fopen(path, "a")))
        return;
    fprintf(out, "erases=%llu erased=%llu programmed=%llu read=%llu oob_reads=%llu hwm_kib=%ld\n", erases,
            erased, programmed, bytes_read, oob_reads, peak_resident_kib());
    fclose(out);
}
