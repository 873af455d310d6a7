// bootguard: judges one boot of the camera.
//
// Run once per boot.  After letting the system settle it checks that the
// camera application is installed and running.  A healthy boot clears the
// boot-failure counter; the first and second failed boot in a row restart
// the device to retry; the third asks the boot loader for its recovery path.

#include <cstdio>
#include <ctime>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <unistd.h>

#include "supervisor.h"
#include "utils.h"
#include "utils_private.h"

namespace {

constexpr const char *kDebugMarker = "/customer/debug";
constexpr const char *kInstalledMarker = "/customer/ipcamera";
constexpr const char *kRunningMarker = "/tmp/ipcamera";
constexpr const char *kBootFailedCounter = "/customer/bootfailed";
constexpr const char *kRecoveryCommand = "/etc/fw_setenv ota_upgrade_status 1";
// The camera application needs this long after boot to come up.  One
// nanosleep() takes it whole: usleep() may refuse a second or more, and a
// settle slept in steps grows by every step's late wake-up on a busy boot.
constexpr struct timespec kSettle = {30, 0};
// Failed boots that still end in a plain restart; one more asks for recovery.
constexpr int kLastRetriedCount = 1;
// A restart waits at most this many times this long for the reader of
// standard output to take the last lines (one second).
constexpr int kOutputWaits = 100;
constexpr struct timespec kOutputWait = {0, 10L * 1000 * 1000};

int Exists(const char *path) { return access(path, F_OK) == 0 ? 1 : 0; }

// Under systemd standard output is a stream socket to journald, which puts
// the lines in the journal and on the console only once it has read them:
// a restart right after the write loses them.  The socket's send queue
// holds what journald has not read yet; once it is empty, one more wait
// lets journald finish the lines it took.  A terminal or a pipe is left
// alone, and a reader that does not read is not waited for long.
void WaitForOutputReader() {
  struct stat output;
  if (fstat(STDOUT_FILENO, &output) != 0 || !S_ISSOCK(output.st_mode)) {
    return;
  }
  int unread = 0;
  for (int wait = 0; wait < kOutputWaits; ++wait) {
    if (ioctl(STDOUT_FILENO, SIOCOUTQ, &unread) != 0 || unread == 0) {
      break;
    }
    (void)nanosleep(&kOutputWait, nullptr);
  }
  (void)nanosleep(&kOutputWait, nullptr);
}

// The reboot system call flushes nothing: the printed lines and the counter
// must be out before the device goes down.
void RequestRestart() {
  fflush(stdout);
  WaitForOutputReader();
  sync();
  reboot(RB_AUTOBOOT);
}

// Returns 1 when the failure limit is reached and recovery is due.
int HandleBootResult(int failed) {
  if (failed == 0) {
    // A counter that cannot be removed has no one to tell: nothing prints.
    (void)remove(kBootFailedCounter);
    return 0;
  }
  int count = UtilsReadInt(kBootFailedCounter, 0);
  printf("num=%d\n", count);
  if (count > kLastRetriedCount) {
    return 1;
  }
  UtilsWriteFile(kBootFailedCounter, count + 1);
  puts("try again");
  RequestRestart();
  return 0;
}

}  // namespace

int DebugMode(void) { return Exists(kDebugMarker); }

int IpcameraExist(void) { return Exists(kInstalledMarker); }

int IpcameraRun(void) { return Exists(kRunningMarker); }

int StartRecovery(void) {
  ZQSystem(kRecoveryCommand);
  RequestRestart();
  return 0;
}

BOOTGUARD_EXPORT int main(void) {
  if (DebugMode() == 1) {
    puts("debug mode");
    return 0;
  }
  // A signal that cuts the settle short ends it: the rest is not slept.
  (void)nanosleep(&kSettle, nullptr);

  int failed = 0;
  if (IpcameraExist() == 0) {
    puts("not find ipcamera");
    failed = 1;
  }
  if (IpcameraRun() == 0) {
    puts("ipcamera not run");
    failed = 1;
  }
  printf("recovery %d\n", failed);

  HandleBootResult(failed);
  if (failed == 1) {
    StartRecovery();
  }
  return 0;
}
