// bootguard-flash's commands: each checks what it can, then makes one call
// of the flash module.

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "flash_private.h"
#include "flash_tool.h"

namespace {

constexpr const char *kBootEnvName = "uenv";
// The module's progress scales: the writer reports 0 to 100, the erase of
// the boot environment 0 to just below 40.
constexpr int kWriteScale = 100;
constexpr int kEraseScale = 40;

// Asks a partition's size and erase block without being able to change it:
// opened read-only and asked MEMGETINFO, nothing else.
bool ProbePartition(const char *name, const char *node, uint32_t *size, uint32_t *eraseSize = nullptr) {
  ScopedFd device(open(node, O_RDONLY | O_CLOEXEC));
  if (device.get() < 0) {
    Complain("cannot open %s for %s: %s", node, name, strerror(errno));
    return false;
  }
  PartitionGeometry geometry{};
  if (ioctl(device.get(), MEMGETINFO, &geometry) != 0) {
    Complain("cannot get the MTD geometry of %s for %s: %s", node, name, strerror(errno));
    return false;
  }
  *size = geometry.size;
  if (eraseSize != nullptr) {
    *eraseSize = geometry.erasesize;
  }
  return true;
}

bool ImageFits(const ToolRequest &request, uint64_t fileSize, uint32_t partitionSize) {
  if (fileSize > partitionSize) {
    Complain("'%s' (%llu bytes) does not fit %s (%s, %u bytes)", request.file,
             static_cast<unsigned long long>(fileSize), request.partition, request.node, partitionSize);
    return false;
  }
  if (fileSize > INT_MAX) {
    Complain("'%s' (%llu bytes) is more than one write can take (%d bytes)", request.file,
             static_cast<unsigned long long>(fileSize), INT_MAX);
    return false;
  }
  return true;
}

bool ReadFits(const ToolRequest &request, uint64_t length, uint32_t partitionSize) {
  if (request.offset > partitionSize || length > partitionSize - request.offset) {
    Complain("reading %llu bytes at offset %llu goes past the end of %s (%s, %u bytes)",
             static_cast<unsigned long long>(length), static_cast<unsigned long long>(request.offset),
             request.partition, request.node, partitionSize);
    return false;
  }
  // The read goes piece by piece: the last piece's offset must still fit.
  if (length > INT_MAX || request.offset > INT_MAX - length) {
    Complain("reading %llu bytes at offset %llu is more than one read can take (%d bytes)",
             static_cast<unsigned long long>(length), static_cast<unsigned long long>(request.offset), INT_MAX);
    return false;
  }
  return true;
}

// Runs one module call with its progress shown; true when it returned 0.
template <typename Operation>
bool WithProgress(ProgressStyle style, uint64_t total, int scale, Operation operation) {
  ProgressSink sink = MakeProgressSink(style, stderr, total, scale);
  int result = 0;
  {
    ProgressRoute route(&sink);
    result = operation();
  }
  FinishProgress(&sink, result == 0);
  return result == 0;
}

// The line for a write whose image changed under it.  The module has by
// then erased and written some of the partition.
void FormatIncompleteLine(const ToolRequest &request, char *line, size_t size) {
  snprintf(line, size, "'%s' changed while being written to %s: the partition is incomplete and must be written again",
           request.file, request.partition);
}

// Writes the source's image of length bytes with its progress shown.
// Returns the exit status: 0, or, when the module failed, 3 when it had
// changed flash by then and 1 when not.
int WriteFromSource(const ToolRequest &request, ProgressStyle style, uint32_t partitionSize, uint64_t length,
                    ChunkSource *source) {
  bool changed = false;
  if (WithProgress(style, partitionSize, kWriteScale, [&] {
        return PartitionWrite(request.partition, static_cast<int>(length), source, &changed);
      })) {
    return kExitSuccess;
  }
  return changed ? kExitIncomplete : kExitFailed;
}

int RunFileWrite(const ToolRequest &request, ProgressStyle style) {
  uint64_t fileSize = 0;
  ScopedFd file(OpenImageFile(request.file, &fileSize));
  if (file.get() < 0) {
    return kExitFailed;
  }
  uint32_t partitionSize = 0;
  if (!ProbePartition(request.partition, request.node, &partitionSize) ||
      !ImageFits(request, fileSize, partitionSize)) {
    return kExitFailed;
  }
  // A mapped file cut short under the tool ends in this line, not a bare
  // signal: first while its pages are brought in, then during the write.
  char line[512];
  snprintf(line, sizeof line, "'%s' shrank while being read", request.file);
  MappedFileGuard guard(line);
  // Nothing is erased before the whole image is in memory.
  ImageInMemory image;
  if (!image.Load(file.get(), request.file, static_cast<size_t>(fileSize))) {
    return kExitFailed;
  }
  FormatIncompleteLine(request, line, sizeof line);
  guard.Retell(line, kExitIncomplete);
  MemoryChunks chunks{reinterpret_cast<const unsigned char *>(image.data()), static_cast<uint32_t>(fileSize)};
  ChunkSource source{NextMemoryChunk, &chunks};
  int status = WriteFromSource(request, style, partitionSize, fileSize, &source);
  if (status != kExitSuccess) {
    Complain("writing '%s' to %s failed", request.file, request.partition);
    return status;
  }
  // The partition holds what the mapping held; a file written to in place
  // meanwhile may have given it a mix of two images.
  if (image.mapped() && !image.FileUnchanged(file.get())) {
    Complain("%s", line);
    return kExitIncomplete;
  }
  return kExitSuccess;
}

// The image arrives on standard input while the partition is written, an
// erase block at a time: a download or an archive's member needs no copy
// in memory.  Its size is --size, or the rest of standard input when that
// is a regular file; a pipe gives none, and without one a stream cut short
// could not be told from a whole image: a usage error.
int RunStreamWrite(const ToolRequest &request, ProgressStyle style) {
  uint64_t size = request.length;
  struct stat status {};
  if (!request.lengthGiven) {
    off_t position = lseek(STDIN_FILENO, 0, SEEK_CUR);
    if (position < 0 || fstat(STDIN_FILENO, &status) != 0 || !S_ISREG(status.st_mode)) {
      Complain("standard input is no regular file: write needs --size BYTES (see bootguard-flash --help)");
      return kExitUsage;
    }
    size = static_cast<uint64_t>(status.st_size > position ? status.st_size - position : 0);
  }
  uint32_t partitionSize = 0;
  uint32_t eraseSize = 0;
  if (!ProbePartition(request.partition, request.node, &partitionSize, &eraseSize) ||
      !ImageFits(request, size, partitionSize)) {
    return kExitFailed;
  }
  HeapBuffer block(malloc(eraseSize));
  if (size == 0 || block.get() == nullptr) {
    Complain(size == 0 ? "standard input is empty" : "no memory for one erase block");
    return kExitFailed;
  }
  StreamChunks stream{STDIN_FILENO, size, reinterpret_cast<unsigned char *>(block.get()), eraseSize};
  ChunkSource source{NextStreamChunk, &stream};
  int result = WriteFromSource(request, style, partitionSize, size, &source);
  if (result == kExitSuccess) {
    return result;
  }
  // The stream's end or the module's failure, then what flash holds.
  char cause[128] = "the write failed";
  if (stream.end == StreamEnd::kLong) {
    snprintf(cause, sizeof cause, "standard input holds more than %llu bytes", static_cast<unsigned long long>(size));
  } else if (stream.end != StreamEnd::kWhole) {
    snprintf(cause, sizeof cause, "standard input ended after %llu of %llu bytes%s%s",
             static_cast<unsigned long long>(stream.arrived), static_cast<unsigned long long>(size),
             stream.end == StreamEnd::kReadError ? ": " : "",
             stream.end == StreamEnd::kReadError ? strerror(stream.error) : "");
  }
  Complain("%s: %s %s", cause, request.partition,
           result == kExitIncomplete ? "is incomplete and must be written again" : "was not changed");
  return result;
}

int RunWrite(const ToolRequest &request, ProgressStyle style) {
  return strcmp(request.file, "-") == 0 ? RunStreamWrite(request, style) : RunFileWrite(request, style);
}

// The partition is read an erase block at a time, so that a read needs
// memory for one block, not for the whole partition.
int RunRead(const ToolRequest &request) {
  uint32_t partitionSize = 0;
  uint32_t eraseSize = 0;
  if (!ProbePartition(request.partition, request.node, &partitionSize, &eraseSize)) {
    return kExitFailed;
  }
  uint64_t length = request.lengthGiven ? request.length : partitionSize;
  if (!ReadFits(request, length, partitionSize)) {
    return kExitFailed;
  }
  OutputFile output(request.file);
  if (length == 0) {
    // The module reads at least one byte; nothing asked, nothing read.
    return output.Finish() ? kExitSuccess : kExitFailed;
  }
  size_t pieceSize = eraseSize != 0 && eraseSize < length ? eraseSize : static_cast<size_t>(length);
  HeapBuffer piece(malloc(pieceSize));
  if (piece.get() == nullptr) {
    Complain("no memory for %zu bytes", pieceSize);
    return kExitFailed;
  }
  for (uint64_t done = 0; done < length;) {
    size_t count = length - done < pieceSize ? static_cast<size_t>(length - done) : pieceSize;
    int offset = static_cast<int>(request.offset + done);
    if (ZQDeviceRead(request.partition, offset, piece.get(), static_cast<int>(count)) != 0) {
      Complain("reading %s failed", request.partition);
      return kExitFailed;
    }
    if (!output.Write(piece.get(), count)) {
      return kExitFailed;
    }
    done += count;
  }
  return output.Finish() ? kExitSuccess : kExitFailed;
}

// Both environment commands work on "uenv"; its size is the progress total.
bool ProbeBootEnv(uint32_t *size) {
  return ProbePartition(kBootEnvName, PartitionNode(kBootEnvName, kForWriting), size);
}

int RunEraseEnv(ProgressStyle style) {
  uint32_t size = 0;
  if (!ProbeBootEnv(&size)) {
    return kExitFailed;
  }
  if (!WithProgress(style, size, kEraseScale, [] { return ZQDeviceEraseBootEnv(); })) {
    Complain("erasing %s failed", kBootEnvName);
    return kExitFailed;
  }
  return kExitSuccess;
}

int RunInvalidateEnv(ProgressStyle style) {
  uint32_t size = 0;
  if (!ProbeBootEnv(&size)) {
    return kExitFailed;
  }
  if (!WithProgress(style, size, kWriteScale, [] { return ZQDeviceEraseOneBootEnv(); })) {
    Complain("invalidating the environment in %s failed", kBootEnvName);
    return kExitFailed;
  }
  return kExitSuccess;
}

}  // namespace

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style on purpose, its formats checked by the compiler's format attribute
void Complain(const char *format, ...) {
  char line[512];
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  fprintf(stderr, "bootguard-flash: %s\n", line);
}

int RunFlashTool(int argc, char **argv) {
  ToolRequest request;
  if (!ParseCommandLine(argc, argv, &request)) {
    return kExitUsage;
  }
  ProgressStyle style = ChooseProgressStyle(request.progress, isatty(STDERR_FILENO) == 1);
  switch (request.command) {
    case Command::kHelp:
      PrintHelp(stdout);
      return kExitSuccess;
    case Command::kVersion:
      printf("bootguard-flash %s\n", BOOTGUARD_VERSION);
      return kExitSuccess;
    case Command::kWrite:
      return RunWrite(request, style);
    case Command::kRead:
      return RunRead(request);
    case Command::kEraseEnv:
      return RunEraseEnv(style);
    case Command::kInvalidateEnv:
      return RunInvalidateEnv(style);
  }
  return kExitUsage;
}
