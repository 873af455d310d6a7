// Files: the image whole in memory before flash is touched, and the data of
// a read written out piece by piece.

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
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

int NextStreamChunk(void *context, uint32_t most, const unsigned char **chunk) {
  auto *stream = static_cast<StreamChunks *>(context);
  uint64_t left = stream->size - stream->arrived;
  if (left == 0) {
    return 0;
  }
  uint32_t length = most < stream->blockSize ? most : stream->blockSize;
  length = left < length ? static_cast<uint32_t>(left) : length;
  ssize_t got = ReadFully(stream->fd, reinterpret_cast<char *>(stream->block), length);
  if (got < 0) {
    stream->end = StreamEnd::kReadError;
    stream->error = errno;
    return -1;
  }
  stream->arrived += static_cast<uint64_t>(got);
  if (static_cast<uint32_t>(got) < length) {
    stream->end = StreamEnd::kShort;
    return -1;
  }
  if (stream->arrived == stream->size) {
    char extra = 0;
    ssize_t more = ReadFully(stream->fd, &extra, 1);
    if (more != 0) {
      stream->end = more < 0 ? StreamEnd::kReadError : StreamEnd::kLong;
      stream->error = errno;
      return -1;
    }
  }
  *chunk = stream->block;
  return static_cast<int>(length);
}

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

namespace {

// A file in tmpfs or ramfs lives only in memory: the kernel never drops
// one of its pages to read it again later from a medium.
bool LivesInMemory(int fd) {
  struct statfs filesystem {};
  if (fstatfs(fd, &filesystem) != 0) {
    return false;
  }
  // f_type is a signed word on 32-bit targets; the magic numbers are not.
  const auto type = static_cast<unsigned long>(filesystem.f_type);
  return type == TMPFS_MAGIC || type == RAMFS_MAGIC;
}

// Maps the file and makes every page resident, or returns null: nothing
// may be read from the medium once flash is touched, where a read error
// would stop the write halfway.  An in-memory file's pages are never
// dropped, so bringing them in once is enough (MAP_POPULATE, cheaper than
// locking them: no page moves between the kernel's lists, at the map or at
// the unmap).  Elsewhere the pages are locked; where that is refused
// (RLIMIT_MEMLOCK without CAP_IPC_LOCK), the file is copied instead.
char *MapResident(int fd, size_t size) {
  const bool inMemory = LivesInMemory(fd);
  void *pages = mmap(nullptr, size, PROT_READ, MAP_SHARED | (inMemory ? MAP_POPULATE : 0), fd, 0);
  if (pages == MAP_FAILED) {
    return nullptr;
  }
  if (inMemory || mlock(pages, size) == 0) {
    return static_cast<char *>(pages);
  }
  munmap(pages, size);
  return nullptr;
}

bool SameTime(const struct timespec &one, const struct timespec &other) {
  return one.tv_sec == other.tv_sec && one.tv_nsec == other.tv_nsec;
}

// The guard's line: preformatted, because a signal handler may only write.
char guardLine[600];
volatile size_t guardLineLength = 0;
volatile int guardStatus = kExitFailed;
struct sigaction previousBusAction {};

void EndOnBusError(int) {
  ssize_t ignored = write(STDERR_FILENO, guardLine, guardLineLength);
  (void)ignored;
  _exit(guardStatus);
}

}  // namespace

ImageInMemory::~ImageInMemory() {
  if (mapped_) {
    munmap(data_, size_);
  } else {
    free(data_);
  }
}

bool ImageInMemory::Load(int fd, const char *path, size_t size) {
  struct stat status {};
  if (fstat(fd, &status) == 0 && static_cast<uint64_t>(status.st_size) == size) {
    modified_ = status.st_mtim;
    changed_ = status.st_ctim;
    data_ = MapResident(fd, size);
  }
  mapped_ = data_ != nullptr;
  if (!mapped_) {
    data_ = ReadWholeFile(fd, path, size);
  }
  size_ = size;
  return data_ != nullptr;
}

bool ImageInMemory::FileUnchanged(int fd) const {
  struct stat status {};
  return fstat(fd, &status) == 0 && static_cast<uint64_t>(status.st_size) == size_ &&
         SameTime(status.st_mtim, modified_) && SameTime(status.st_ctim, changed_);
}

MappedFileGuard::MappedFileGuard(const char *line) {
  Retell(line, kExitFailed);
  struct sigaction action {};
  action.sa_handler = EndOnBusError;
  sigemptyset(&action.sa_mask);
  sigaction(SIGBUS, &action, &previousBusAction);
}

MappedFileGuard::~MappedFileGuard() { sigaction(SIGBUS, &previousBusAction, nullptr); }

void MappedFileGuard::Retell(const char *line, int status) {
  guardStatus = status;
  guardLineLength = 0;  // a signal in between writes nothing rather than half a line
  int length = snprintf(guardLine, sizeof guardLine, "bootguard-flash: %s\n", line);
  guardLineLength = length < 0 ? 0 : length < static_cast<int>(sizeof guardLine) ? static_cast<size_t>(length)
                                                                                   : sizeof guardLine - 1;
}

bool OutputFile::Open() {
  if (strcmp(path_, "-") == 0) {
    toStandardOutput_ = true;
    return true;
  }
  fd_ = open(path_, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kOutputMode);
  if (fd_ < 0) {
    Complain("cannot create '%s': %s", path_, strerror(errno));
    return false;
  }
  return true;
}

OutputFile::~OutputFile() {
  if (fd_ >= 0) {
    close(fd_);
  }
}

bool OutputFile::Write(const char *data, size_t size) {
  if (!toStandardOutput_ && fd_ < 0 && !Open()) {
    return false;
  }
  if (toStandardOutput_) {
    return WriteStandardOutput(data, size);
  }
  if (!WriteAll(fd_, data, size)) {
    Complain("cannot write '%s': %s", path_, strerror(errno));
    return false;
  }
  return true;
}

bool OutputFile::Finish() {
  if (!toStandardOutput_ && fd_ < 0 && !Open()) {
    return false;  // nothing was read: FILE is still created, empty
  }
  if (toStandardOutput_) {
    return true;
  }
  int fd = fd_;
  fd_ = -1;
  if (close(fd) != 0) {
    Complain("cannot write '%s': %s", path_, strerror(errno));
    return false;
  }
  return true;
}
