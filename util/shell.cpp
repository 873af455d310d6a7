// ZQSystem: run one shell command line in a child process and wait for it.

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "utils.h"

namespace {

constexpr const char *kShell = "/bin/sh";
// A wait cut short by a signal is retried after this pause.
constexpr struct timespec kWaitRetry = {0, 1000L * 1000};
constexpr int kExecFailedExitCode = 127;

// Runs in the vfork child, which borrows the parent's memory until it
// executes or exits: it must not touch stdio or anything else the parent
// owns, so the failure line goes straight to descriptor 1.
[[noreturn]] void ExecShell(const char *command) {
  // The limit is asked for on every pass because closing never changes it
  // and a limit of -1 must close nothing.
  for (long fd = 3; fd < sysconf(_SC_OPEN_MAX); ++fd) {
    close(static_cast<int>(fd));
  }
  execl(kShell, "sh", "-c", command, static_cast<char *>(nullptr));

  char line[512];
  int length = snprintf(line, sizeof line, "failed execl: %s errno:%d\n", command, errno);
  if (length > 0) {
    size_t count = static_cast<size_t>(length) < sizeof line ? static_cast<size_t>(length) : sizeof line - 1;
    ssize_t ignored = write(STDOUT_FILENO, line, count);
    (void)ignored;
  }
  _exit(kExecFailedExitCode);
}

int WaitForChild(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      return -1;
    }
    (void)nanosleep(&kWaitRetry, nullptr);
  }
  return status;
}

}  // namespace

int ZQSystem(const char *command) {
  if (command == nullptr) {
    return 1;
  }
  // Whatever the parent has buffered must reach the terminal before the
  // command's own output does.
  fflush(stdout);
  // NOLINTNEXTLINE(clang-analyzer-security.insecureAPI.vfork): no copy of the parent's pages on a camera short of memory
  pid_t pid = vfork();
  if (pid < 0) {
    return -1;
  }
  if (pid == 0) {
    // NOLINTNEXTLINE(clang-analyzer-unix.Vfork): ExecShell changes nothing of the parent's but stack below it, then execs or _exits
    ExecShell(command);
  }
  return WaitForChild(pid);
}
