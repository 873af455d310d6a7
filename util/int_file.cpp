// Integer files: the boot-failure counter is one decimal number in a file.

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "utils.h"
#include "utils_private.h"

namespace {

constexpr int kLineBufferSize = 64;
constexpr const char *kTempSuffix = ".tmp";

bool WriteAll(int fd, const char *text, size_t length) {
  while (length > 0) {
    ssize_t written = write(fd, text, length);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return false;
    }
    text += written;
    length -= static_cast<size_t>(written);
  }
  return true;
}

// Creates the temporary file afresh: a stale one left by a power cut is
// removed first, and O_EXCL never follows a symlink planted in its place.
bool WriteTempFile(const char *tempPath, const char *text) {
  unlink(tempPath);
  int fd = open(tempPath, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    return false;
  }
  bool ok = WriteAll(fd, text, strlen(text)) && fsync(fd) == 0;
  if (close(fd) != 0) {
    ok = false;
  }
  return ok;
}

// The rename is only durable once the directory holding it is on storage.
bool SyncParentDirectory(const char *path) {
  char directory[PATH_MAX];
  const char *slash = strrchr(path, '/');
  if (slash == nullptr) {
    strcpy(directory, ".");
  } else {
    size_t length = slash == path ? 1 : static_cast<size_t>(slash - path);
    memcpy(directory, path, length);
    directory[length] = '\0';
  }
  int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

}  // namespace

// The counter decides between a retry and a recovery, so it is replaced by
// a rename: a power cut leaves either the old or the new count, never an
// empty file that would restart the count and loop the device forever.
int UtilsWriteFile(const char *path, int value) {
  char text[16];
  snprintf(text, sizeof text, "%d", value);

  char tempPath[PATH_MAX];
  int length = snprintf(tempPath, sizeof tempPath, "%s%s", path, kTempSuffix);
  if (length < 0 || static_cast<size_t>(length) >= sizeof tempPath) {
    return -1;
  }
  if (!WriteTempFile(tempPath, text)) {
    unlink(tempPath);
    return -1;
  }
  // rename replaces a symlink at path itself, never the file it points to.
  if (rename(tempPath, path) != 0) {
    unlink(tempPath);
    return -1;
  }
  return SyncParentDirectory(path) ? 0 : -1;
}

int UtilsReadFile(const char *path, char *buf, int len) {
  FILE *file = fopen(path, "r");
  if (file == nullptr) {
    return -1;
  }
  memset(buf, 0, static_cast<size_t>(len));
  char *ignored = fgets(buf, len, file);
  (void)ignored;
  (void)fclose(file);  // only read: nothing of ours is lost if it fails
  return 0;
}

// Out-of-range text is clamped to the int range, so a huge number reads
// the same on 32- and 64-bit targets (atoi leaves that undefined).
int UtilsReadInt(const char *path, int fallback) {
  char line[kLineBufferSize];
  if (UtilsReadFile(path, line, sizeof line) != 0 || line[0] == '\0') {
    return fallback;
  }
  long value = strtol(line, nullptr, 10);
  if (value > INT_MAX) {
    return INT_MAX;
  }
  if (value < INT_MIN) {
    return INT_MIN;
  }
  return static_cast<int>(value);
}
