// The shell command runner, run for real: real children, real /bin/sh.

#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include "utils.h"

namespace {

// Runs body in a forked child with standard output sent to a pipe; returns
// what the child printed and sets exitCode to the child's exit code.
template <typename Body>
std::string RunInChild(Body body, int *exitCode) {
  int pipeFds[2];
  EXPECT_EQ(pipe(pipeFds), 0);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(pipeFds[1], STDOUT_FILENO);
    close(pipeFds[0]);
    close(pipeFds[1]);
    _exit(body());
  }
  close(pipeFds[1]);
  std::string output;
  char chunk[256];
  ssize_t got;
  while ((got = read(pipeFds[0], chunk, sizeof chunk)) > 0) {
    output.append(chunk, static_cast<size_t>(got));
  }
  close(pipeFds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return output;
}

TEST(ZQSystem, NullCommandReturnsOneWithoutRunningAnything) {
  EXPECT_EQ(ZQSystem(nullptr), 1);
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a child was left behind";
}

TEST(ZQSystem, ReturnsTheRawWaitStatus) {
  EXPECT_EQ(ZQSystem("exit 0"), 0);
  EXPECT_EQ(ZQSystem("exit 3"), 768);
  EXPECT_EQ(ZQSystem("kill -TERM $$"), SIGTERM);
}

TEST(ZQSystem, CommandInheritsStandardOutputAndSeesBufferedLinesFirst) {
  int exitCode = 0;
  std::string output = RunInChild(
      [] {
        printf("before ");  // still buffered when the command starts
        int status = ZQSystem("echo from-shell");
        printf("after %d\n", status);
        fflush(stdout);
        return 0;
      },
      &exitCode);
  EXPECT_EQ(output, "before from-shell\nafter 0\n");
}

TEST(ZQSystem, DescriptorsAboveTwoAreClosedInTheCommand) {
  int fd = open("/dev/null", O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(dup2(fd, 9), 9);
  // The parent keeps descriptor 9; the command must not see it.
  EXPECT_EQ(ZQSystem("{ true <&9; } 2>/dev/null && exit 1; exit 0"), 0);
  EXPECT_EQ(fcntl(9, F_GETFD), 0) << "the parent's descriptor was touched";
  close(9);
  close(fd);
}

TEST(ZQSystem, MissingShellPrintsTheFailureAndGivesExitCode127) {
  int exitCode = 0;
  std::string output = RunInChild(
      [] {
        // Hide the shell behind an empty file system in a private mount
        // namespace.  A multithreaded process (such as one under qemu-arm)
        // cannot enter a new user namespace; as root a mount namespace will do.
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0 && unshare(CLONE_NEWNS) != 0) return 90;
        char shellDir[PATH_MAX];
        if (realpath("/bin", shellDir) == nullptr) return 91;
        if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 92;
        if (mount("tmpfs", shellDir, "tmpfs", 0, nullptr) != 0) return 93;
        int status = ZQSystem("echo never");
        return status == 127 * 256 ? 0 : 1;
      },
      &exitCode);
  EXPECT_EQ(exitCode, 0);
  EXPECT_EQ(output, "failed execl: echo never errno:2\n");
}

volatile sig_atomic_t alarms = 0;
void CountAlarm(int) { alarms = alarms + 1; }

TEST(ZQSystem, InterruptedWaitIsRetriedUntilTheCommandEnds) {
  struct sigaction action {};
  action.sa_handler = CountAlarm;  // no SA_RESTART: waitpid fails with EINTR
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
  itimerval every5ms{{0, 5000}, {0, 5000}};
  alarms = 0;
  setitimer(ITIMER_REAL, &every5ms, nullptr);

  int status = ZQSystem("sleep 0.3; exit 4");

  itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &previous, nullptr);
  EXPECT_EQ(status, 4 * 256);
  EXPECT_GT(alarms, 0);
}

TEST(ZQSystem, IgnoredSigchldMakesTheWaitFail) {
  void (*previous)(int) = signal(SIGCHLD, SIG_IGN);
  int status = ZQSystem("exit 0");
  signal(SIGCHLD, previous);
  EXPECT_EQ(status, -1);
}

}  // namespace
