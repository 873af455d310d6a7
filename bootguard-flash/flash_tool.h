// bootguard-flash: the flash module's operations for the camera's update
// and recovery scripts, which are shell and cannot call exported functions.
//
// The tool checks everything it can before the module touches flash: the
// command line, the file, and the partition's size (asked read-only).  The
// module's own lines stay on standard output; the tool's lines go to
// standard error, each beginning "bootguard-flash: ".
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <unistd.h>

constexpr int kExitSuccess = 0;
constexpr int kExitFailed = 1;  // the operation failed: file, device, flash
constexpr int kExitUsage = 2;   // the command line itself is wrong
// A write failed after it had changed flash: the partition holds part of
// the image and must be written again.  (1 after a write: flash unchanged.)
constexpr int kExitIncomplete = 3;

// Runs one command line (argv[0] is the program's name); returns the exit
// status.
int RunFlashTool(int argc, char **argv);

// Prints "bootguard-flash: " and the formatted text as one line on
// standard error.
void Complain(const char *format, ...) __attribute__((format(printf, 1, 2)));

// --- The command line --------------------------------------------------------

enum class Command { kHelp, kVersion, kWrite, kRead, kEraseEnv, kInvalidateEnv };
// kAuto: a bar redrawn in place when standard error is a terminal, else none.
enum class ProgressMode { kAuto, kLines, kNone };

struct ToolRequest {
  Command command = Command::kHelp;
  ProgressMode progress = ProgressMode::kAuto;
  const char *partition = nullptr;  // as the user gave it (matched by prefix)
  const char *node = nullptr;       // its device node, from the module's table
  const char *file = nullptr;  // "-": standard input for write, output for read
  bool lengthGiven = false;    // read's LENGTH, write's --size
  uint64_t length = 0;         // saturated at UINT64_MAX: a huge number is past the end
  uint64_t offset = 0;
};

// Fills request from the command line.  On a usage error prints its line
// and returns false.
bool ParseCommandLine(int argc, char **argv, ToolRequest *request);
// The names a command's partition argument takes, space-separated.
void PartitionNames(bool forReading, char *out, size_t size);
// Prints the --help text.
void PrintHelp(FILE *out);

// --- Files -------------------------------------------------------------------

// Closes a descriptor on every way out of a scope.
class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ScopedFd(const ScopedFd &) = delete;
  ScopedFd &operator=(const ScopedFd &) = delete;
  ~ScopedFd() { Close(); }
  int get() const { return fd_; }
  // Returns false when close reports an error (the data may be lost).
  bool Close();

 private:
  int fd_;
};

// Frees a malloc'd buffer on every way out of a scope.
class HeapBuffer {
 public:
  explicit HeapBuffer(void *data) : data_(static_cast<char *>(data)) {}
  HeapBuffer(const HeapBuffer &) = delete;
  HeapBuffer &operator=(const HeapBuffer &) = delete;
  ~HeapBuffer() { free(data_); }
  char *get() const { return data_; }
  // Hands the buffer over to the caller, who frees it.
  char *Release() {
    char *data = data_;
    data_ = nullptr;
    return data;
  }

 private:
  char *data_;
};

// Opens path for reading and checks that it is a regular, non-empty file.
// Returns the descriptor and its size, or -1 with the line printed.
int OpenImageFile(const char *path, uint64_t *size);
// Reads exactly size bytes of fd into a new malloc'd buffer.  A file that
// fails, ends early or holds more than size bytes is refused (null, line
// printed): the image must be the file as it was measured.
char *ReadWholeFile(int fd, const char *path, size_t size);

// The image of one write, whole in memory before flash is touched: the
// file's own pages, mapped and held resident, where that is safe, else a
// copy read into the heap.  Released on every way out of its scope.
class ImageInMemory {
 public:
  ImageInMemory() = default;
  ImageInMemory(const ImageInMemory &) = delete;
  ImageInMemory &operator=(const ImageInMemory &) = delete;
  ~ImageInMemory();
  // Brings the size bytes of fd into memory; false with the line printed.
  bool Load(int fd, const char *path, size_t size);
  const char *data() const { return data_; }
  // A mapped image is the file itself: a change to the file is a change
  // to the image, even during the write.
  bool mapped() const { return mapped_; }
  // For a mapped image: true when the file still has the size and the
  // modification times it had when it was loaded.
  bool FileUnchanged(int fd) const;

 private:
  char *data_ = nullptr;
  size_t size_ = 0;
  bool mapped_ = false;
  struct timespec modified_ {};
  struct timespec changed_ {};
};

// While in scope, a SIGBUS (a mapped file cut short under the tool) ends
// the process with line printed on standard error and exit status 1,
// instead of a bare signal.  line is copied; Retell replaces it and the
// status (3 once the write may have changed flash).
class MappedFileGuard {
 public:
  explicit MappedFileGuard(const char *line);
  MappedFileGuard(const MappedFileGuard &) = delete;
  MappedFileGuard &operator=(const MappedFileGuard &) = delete;
  ~MappedFileGuard();
  void Retell(const char *line, int status);
};

// The image of a write from standard input, read an erase block at a time
// while the write goes on (a ChunkSource of the flash module): memory for
// one block, whatever the image's size.  The image is the first size bytes
// of the stream, and only when the stream holds exactly that many: the
// chunk that completes the image is given only once a read one byte ahead
// found the stream's end.
enum class StreamEnd { kWhole, kShort, kLong, kReadError };
struct StreamChunks {
  int fd;
  uint64_t size;         // the bytes the image must have
  unsigned char *block;  // the chunk's bytes: one erase block
  uint32_t blockSize;
  uint64_t arrived = 0;  // bytes read so far
  StreamEnd end = StreamEnd::kWhole;
  int error = 0;  // errno of a failed read
};
int NextStreamChunk(void *context, uint32_t most, const unsigned char **chunk);

// Where a read's data goes, piece by piece: FILE, created or truncated
// when the first piece arrives, or standard output for "-".
class OutputFile {
 public:
  explicit OutputFile(const char *path) : path_(path) {}
  OutputFile(const OutputFile &) = delete;
  OutputFile &operator=(const OutputFile &) = delete;
  ~OutputFile();
  bool Write(const char *data, size_t size);
  // Ends the output; false with the line printed when it cannot be kept.
  bool Finish();

 private:
  bool Open();
  const char *path_;
  bool toStandardOutput_ = false;
  int fd_ = -1;
};

// --- Progress ----------------------------------------------------------------

enum class ProgressStyle { kSilent, kLines, kBar };
ProgressStyle ChooseProgressStyle(ProgressMode mode, bool terminal);

// Where the module's progress calls go during one operation.
struct ProgressSink {
  ProgressStyle style;
  FILE *stream;
  uint64_t total;    // bytes the operation walks: the partition's size
  int scale;         // the module's full scale: 100, or 40 for the erase
  int shown;         // the whole percent last shown, -1 before the first
  double started;    // monotonic seconds
  bool barOnScreen;  // a bar is drawn and still needs its newline
};
ProgressSink MakeProgressSink(ProgressStyle style, FILE *stream, uint64_t total, int scale);
// value is on the module's scale.  Never shows a smaller percentage.
void ShowProgress(ProgressSink *sink, int value);
// On success shows 100%; ends a drawn bar with its newline in any case.
void FinishProgress(ProgressSink *sink, bool succeeded);

// Routes the module's progress calls to sink while in scope.  The module's
// callback takes no context, so the route is one process-wide pointer.
class ProgressRoute {
 public:
  explicit ProgressRoute(ProgressSink *sink);
  ProgressRoute(const ProgressRoute &) = delete;
  ProgressRoute &operator=(const ProgressRoute &) = delete;
  ~ProgressRoute();
};

// "512 B", "1.5 KiB", "16.0 MiB", "2.0 GiB".
void FormatSize(char *out, size_t size, uint64_t bytes);
// The terminal's line: bar, percentage, bytes done of total, rate; fixed
// width (79 columns) so that each redraw covers the previous one.
void FormatProgressBar(char *out, size_t size, int percent, uint64_t done, uint64_t total, double seconds);
// The --progress line: percentage and bytes done of total.
void FormatProgressLine(char *out, size_t size, int percent, uint64_t done, uint64_t total);
