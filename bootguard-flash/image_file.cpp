// Files: the image read whole into memory before flash is touched, and the
// data of a read written out after the read succeeded.

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "flash_tool.h"

namespace {

constexpr mode_t kOutputMode = 0666;  // narrowed by the caller's umask

bool WriteAll(int fd, const char *data, size_t size) {
  while (size > 0) {
    ssize_t written = write(fd, data, size);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      if (written == 0) {
        errno = EIO;
      }
      return false;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

// Fills buffer from fd; returns the bytes read, short only at the end of
// the file, or -1 on a failed read.
ssize_t ReadFully(int fd, char *buffer, size_t size) {
  size_t got = 0;
  while (got < size) {
    ssize_t count = read(fd, buffer + got, size - got);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count < 0) {
      return -1;
    }
    if (count == 0) {
      break;
    }
    got += static_cast<size_t>(count);
  }
  return static_cast<ssize_t>(got);
}

bool WriteStandardOutput(const char *data, size_t size) {
  // Through stdio, so that it follows whatever the module printed there.
  if (fwrite(data, 1, size, stdout) != size || fflush(stdout) != 0) {
    Complain("cannot write standard output: %s", strerror(errno));
    return false;
  }
  return true;
}

}  // namespace

bool ScopedFd::Close() {
  if (fd_ < 0) {
    return true;
  }
  int result = close(fd_);
  fd_ = -1;
  return result == 0;
}

int OpenImageFile(const char *path, uint64_t *size) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    Complain("cannot open '%s': %s", path, strerror(errno));
    return -1;
  }
  struct stat status {};
  const char *problem = nullptr;
  if (fstat(fd, &status) != 0) {
    Complain("cannot examine '%s': %s", path, strerror(errno));
  } else if (S_ISDIR(status.st_mode)) {
    problem = "is a directory";
  } else if (!S_ISREG(status.st_mode)) {
    problem = "is not a regular file";
  } else if (status.st_size == 0) {
    problem = "is empty";
  } else {
    *size = static_cast<uint64_t>(status.st_size);
    return fd;
  }
  if (problem != nullptr) {
    Complain("'%s' %s", path, problem);
  }
  close(fd);
  return -1;
}

char *ReadWholeFile(int fd, const char *path, size_t size) {
  HeapBuffer buffer(malloc(size));
  if (buffer.get() == nullptr) {
    Complain("no memory for the %zu bytes of '%s'", size, path);
    return nullptr;
  }
  ssize_t got = ReadFully(fd, buffer.get(), size);
  if (got < 0) {
    Complain("cannot read '%s': %s", path, strerror(errno));
    return nullptr;
  }
  if (static_cast<size_t>(got) < size) {
    Complain("'%s' shrank while being read: %zd of %zu bytes", path, got, size);
    return nullptr;
  }
  char extra = 0;
  ssize_t more = ReadFully(fd, &extra, 1);
  if (more != 0) {
    if (more < 0) {
      Complain("cannot read '%s': %s", path, strerror(errno));
    } else {
      Complain("'%s' grew while being read: more than %zu bytes", path, size);
    }
    return nullptr;
  }
  return buffer.Release();
}

bool WriteOutputFile(const char *path, const char *data, size_t size) {
  if (strcmp(path, "-") == 0) {
    return WriteStandardOutput(data, size);
  }
  ScopedFd file(open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kOutputMode));
  if (file.get() < 0) {
    Complain("cannot create '%s': %s", path, strerror(errno));
    return false;
  }
  if (!WriteAll(file.get(), data, size)) {
    Complain("cannot write '%s': %s", path, strerror(errno));
    return false;
  }
  if (!file.Close()) {
    Complain("cannot write '%s': %s", path, strerror(errno));
    return false;
  }
  return true;
}
