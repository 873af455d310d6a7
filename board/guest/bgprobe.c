/* bgprobe.so: a caller of bootguard's exported flash functions, living inside
 * the real bootguard process on the emulated board.
 *
 *   BGPROBE='write uenv /tmp/image' LD_PRELOAD=/usr/lib/bgprobe.so /usr/sbin/bootguard
 *
 * The constructor runs before bootguard's main, finds the ZQDevice functions
 * by name in the process (dlsym), performs one operation, prints one result
 * line and leaves with _exit, so the supervisor flow (its 30 s wait and its
 * restart requests) never starts.  The library also stands in front of the
 * process's ioctl, write and reboot calls: it counts the erase requests and
 * device writes the operation issues (what the tests and the benchmark
 * compare), and refuses any restart request outright.
 *
 * Operations (BGPROBE):
 *   write NAME FILE [OFFSET]   ZQDeviceWrite(NAME, OFFSET, contents, size)
 *   read NAME LEN OUTFILE      ZQDeviceRead(NAME, 0, buf, LEN), buf -> OUTFILE
 *   erase                      ZQDeviceEraseBootEnv()
 *   eraseone                   ZQDeviceEraseOneBootEnv()
 * Result line:
 *   bgprobe: rc=R erases=E writes=W written=B ms=T progress=P1,P2,...
 * (progress lists the second argument of each callback call; a first
 * argument other than 0 is reported as "badarg").
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#define MEMERASE_REQUEST 0x40084D02UL

typedef void (*ProgressCallback)(int, int);

static int counting;           /* only the operation's own calls are counted */
static long erase_count, write_count, written_bytes;
static char progress[8192];
static size_t progress_len;
static int bad_first_arg;

int ioctl(int fd, unsigned long request, ...)
{
    static int (*real_ioctl)(int, unsigned long, ...);
    va_list ap;
    void *arg;
    if (!real_ioctl)
        real_ioctl = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    va_start(ap, request);
    arg = va_arg(ap, void *);
    va_end(ap);
    if (counting && request == MEMERASE_REQUEST)
        erase_count++;
    return real_ioctl(fd, request, arg);
}

ssize_t write(int fd, const void *buf, size_t count)
{
    static ssize_t (*real_write)(int, const void *, size_t);
    if (!real_write)
        real_write = (ssize_t (*)(int, const void *, size_t))dlsym(RTLD_NEXT, "write");
    if (counting && fd > 2) {
        write_count++;
        written_bytes += (long)count;
    }
    return real_write(fd, buf, count);
}

/* The board tests must never restart the board by accident. */
int reboot(int cmd)
{
    (void)cmd;
    fprintf(stderr, "bgprobe: restart request refused\n");
    return -1;
}

static void on_progress(int zero, int value)
{
    if (zero != 0)
        bad_first_arg = 1;
    if (progress_len + 16 < sizeof progress)
        progress_len += (size_t)snprintf(progress + progress_len, sizeof progress - progress_len,
                                         "%s%d", progress_len ? "," : "", value);
}

static void *need(const char *name)
{
    void *fn = dlsym(RTLD_DEFAULT, name);
    if (!fn) {
        printf("bgprobe: %s is not exported by this process\n", name);
        fflush(stdout);
        _exit(3);
    }
    return fn;
}

static char *slurp(const char *path, int *len)
{
    struct stat st;
    int fd = open(path, O_RDONLY);
    char *data;
    if (fd < 0 || fstat(fd, &st) != 0) {
        printf("bgprobe: cannot read %s\n", path);
        fflush(stdout);
        _exit(2);
    }
    data = malloc(st.st_size ? (size_t)st.st_size : 1);
    if (!data || read(fd, data, (size_t)st.st_size) != st.st_size) {
        printf("bgprobe: cannot read %s\n", path);
        fflush(stdout);
        _exit(2);
    }
    close(fd);
    *len = (int)st.st_size;
    return data;
}

__attribute__((constructor)) static void bgprobe_main(void)
{
    const char *command = getenv("BGPROBE");
    char op[16] = "", a[256] = "", b[256] = "", c[256] = "";
    int (*set_callback)(ProgressCallback);
    struct timespec t0, t1;
    int rc = -99, fields;

    if (!command)
        return;
    /* Keep the command away from any child the operation might start. */
    unsetenv("LD_PRELOAD");
    fields = sscanf(command, "%15s %255s %255s %255s", op, a, b, c);
    set_callback = (int (*)(ProgressCallback))need("ZQDeviceSetCallback");
    if (getenv("BGPROBE_NOCALLBACK") == NULL)
        set_callback(on_progress);

    if (strcmp(op, "write") == 0 && fields >= 3) {
        int (*fn)(const char *, int, const char *, int) =
            (int (*)(const char *, int, const char *, int))need("ZQDeviceWrite");
        int len;
        char *data = slurp(b, &len);
        clock_gettime(CLOCK_MONOTONIC, &t0);
        counting = 1;
        rc = fn(a, fields >= 4 ? atoi(c) : 0, data, len);
    } else if (strcmp(op, "read") == 0 && fields == 4) {
        int (*fn)(const char *, int, void *, int) =
            (int (*)(const char *, int, void *, int))need("ZQDeviceRead");
        int len = atoi(b);
        char *buf = calloc(1, len > 0 ? (size_t)len : 1);
        clock_gettime(CLOCK_MONOTONIC, &t0);
        counting = 1;
        rc = fn(a, 0, buf, len);
        counting = 0;
        if (rc == 0) {
            FILE *f = fopen(c, "wb");
            if (!f || fwrite(buf, 1, (size_t)len, f) != (size_t)len || fclose(f) != 0)
                printf("bgprobe: cannot write %s\n", c);
        }
    } else if (strcmp(op, "erase") == 0) {
        int (*fn)(void) = (int (*)(void))need("ZQDeviceEraseBootEnv");
        clock_gettime(CLOCK_MONOTONIC, &t0);
        counting = 1;
        rc = fn();
    } else if (strcmp(op, "eraseone") == 0) {
        int (*fn)(void) = (int (*)(void))need("ZQDeviceEraseOneBootEnv");
        clock_gettime(CLOCK_MONOTONIC, &t0);
        counting = 1;
        rc = fn();
    } else {
        printf("bgprobe: unknown operation '%s'\n", command);
        fflush(stdout);
        _exit(2);
    }
    counting = 0;
    clock_gettime(CLOCK_MONOTONIC, &t1);
    printf("bgprobe: rc=%d erases=%ld writes=%ld written=%ld ms=%ld progress=%s%s\n", rc,
           erase_count, write_count, written_bytes,
           (long)((t1.tv_sec - t0.tv_sec) * 1000 + (t1.tv_nsec - t0.tv_nsec) / 1000000),
           progress_len ? progress : "none", bad_first_arg ? " badarg" : "");
    fflush(stdout);
    _exit(0);
}
