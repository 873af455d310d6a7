/* memwatch: runs a shell command line and prints how much memory the
 * system had while it ran, for the memory benchmark:
 *
 *   memwatch 'bootguard-flash write rootfs /tmp/img'
 *
 * prints "before=KIB lowest=KIB after=KIB status=N": MemAvailable just
 * before the command, the lowest sampled while it ran (every millisecond),
 * just after it, and its exit status (128+signal when a signal ended it,
 * 137 for the OOM killer's SIGKILL).  The command's own output goes where
 * memwatch's standard error goes.
 *
 * memwatch itself must outlive the OOM killer it provokes: its memory is
 * locked, it is never the killer's choice (oom_score_adj -1000), while the
 * command always is (1000).  Its line is formatted into a static buffer
 * and written with one write(), needing no memory at the end.
 *
 *   memwatch --hold KIB
 *
 * holds KIB of memory until it is killed, as the OOM killer's second
 * choice (oom_score_adj 500): when killing the command did not free enough
 * (a /tmp that fills the memory frees nothing when its writer dies), the
 * reserve goes next, and the shielded shell can still fork to clean up,
 * where the kernel would otherwise stop, deadlocked on memory. */
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static int meminfo = -1;

static long mem_available_kib(void)
{
    static char text[2048];
    ssize_t got = pread(meminfo, text, sizeof text - 1, 0);
    char *line;
    if (got <= 0)
        return -1;
    text[got] = '\0';
    line = strstr(text, "MemAvailable:");
    return line ? strtol(line + strlen("MemAvailable:"), NULL, 10) : -1;
}

static void set_oom_score_adj(const char *value)
{
    int fd = open("/proc/self/oom_score_adj", O_WRONLY);
    if (fd >= 0) {
        if (write(fd, value, strlen(value)) < 0)
            perror("memwatch: oom_score_adj");
        close(fd);
    }
}

int main(int argc, char **argv)
{
    static char line[128];
    const struct timespec interval = {0, 1000000};
    long before, lowest, now;
    int status = 0, length;
    pid_t pid;
    if (argc == 3 && strcmp(argv[1], "--hold") == 0) {
        size_t size = (size_t)strtoul(argv[2], NULL, 10) * 1024, at;
        volatile char *reserve = malloc(size);
        if (reserve == NULL)
            return 1;
        /* Written through a volatile pointer: the compiler may not drop
         * stores that nothing reads, and every page must be real. */
        for (at = 0; at < size; at += 1024)
            reserve[at] = 1;
        set_oom_score_adj("500");
        for (;;)
            pause();
    }
    if (argc != 2) {
        fprintf(stderr, "usage: memwatch 'COMMAND' | memwatch --hold KIB\n");
        return 2;
    }
    meminfo = open("/proc/meminfo", O_RDONLY);
    if (meminfo < 0 || mlockall(MCL_CURRENT | MCL_FUTURE) != 0) {
        perror("memwatch");
        return 1;
    }
    set_oom_score_adj("-1000");
    before = lowest = mem_available_kib();
    pid = fork();
    if (pid == 0) {
        munlockall();
        set_oom_score_adj("1000");
        dup2(2, 1);
        execl("/bin/sh", "sh", "-c", argv[1], (char *)0);
        _exit(127);
    }
    if (pid < 0) {
        perror("memwatch: fork");
        return 1;
    }
    while (waitpid(pid, &status, WNOHANG) == 0) {
        now = mem_available_kib();
        if (now >= 0 && now < lowest)
            lowest = now;
        nanosleep(&interval, NULL);
    }
    length = snprintf(line, sizeof line, "before=%ld lowest=%ld after=%ld status=%d\n", before, lowest,
                      mem_available_kib(), WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    return write(1, line, (size_t)length) == length ? 0 : 1;
}
