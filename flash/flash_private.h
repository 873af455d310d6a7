// Internals of the flash module, shared between its files; not exported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mtd/mtd-user.h>

#include "zqdevice.h"

using PartitionGeometry = mtd_info_user;

enum PartitionAccess { kForReading, kForWriting };
// The device node of a partition name (matched by prefix), or null when the
// name is unknown or the partition is not open to that access.
const char *PartitionNode(const char *name, PartitionAccess access);
// The index-th name, in table order, among those open to that access, or
// null past the last one: for telling a user which names there are.
const char *PartitionName(size_t index, PartitionAccess access);

// Opens a partition by its name in "/proc/mtd" or, failing that, as a path.
// Returns a descriptor or a negative value.
int DeviceOpen(const char *name, int flags);
// 1 if the device opens and answers the geometry request, else 0.
int DeviceCheck(const char *path);
// Opens path for reading and writing and asks its geometry, printing the
// cause of a failure.  Returns the descriptor or -1.
int DeviceOpenWithGeometry(const char *path, PartitionGeometry *geometry);

int DeviceReadImage(void *buf, int offset, int len, const char *path);

// Where a write's image comes from, a chunk at a time: a buffer in memory,
// or a stream read while the write goes on.  next gives the chunk of at
// most `most` bytes that follows: its length, 0 at the image's end, or -1
// when the source fails (it keeps why).  Every chunk but the last is `most`
// bytes long, so that chunks line up with erase blocks.  A chunk stays
// valid until the next call.
struct ChunkSource {
  int (*next)(void *context, uint32_t most, const unsigned char **chunk);
  void *context;
};

// An image whole in memory as a chunk source.
struct MemoryChunks {
  const unsigned char *cursor;
  uint32_t remaining;
};
int NextMemoryChunk(void *context, uint32_t most, const unsigned char **chunk);

// ZQDeviceWrite's work from any source: the name's node, the device check,
// the "Writing from to" line with len, then the source's image written at
// the partition's start and the rest of it erased (see image_writer.cpp).
// Returns 0 or -1; *changed, which the caller sets false, tells whether
// anything was erased or written, so that a failure that left flash as it
// was can be told from one that left the partition holding part of the
// image.
int PartitionWrite(const char *name, int len, ChunkSource *source, bool *changed);
int DeviceEraseAll(const char *path);

// True when the spare area marks the erase block at start bad (the line
// "skip bad block" is printed).  A refused spare-area read counts as good.
bool BlockIsBad(int fd, const char *path, uint32_t start, unsigned char *spare, uint32_t spareSize);
// Calls the progress callback, if set, with done * scale / size.
void ReportProgress(uint64_t done, uint32_t size, uint32_t scale);

int BufferIsErased(const unsigned char *buf, int len);
// True when the two ranges hold the same bytes (compare.cpp).
bool SameBytes(const unsigned char *one, const unsigned char *other, size_t length);
// True when every byte of the range is 0xFF, as erased flash reads.
bool AllErased(const unsigned char *bytes, size_t length);
// 1 when the block at the position holds the len bytes of data and erased
// bytes after them; the position is then at the next block, else back at
// the block's start.  The block is read first bytes first, then the rest.
int BlockAlreadyWritten(int fd, unsigned char *scratch, int len, const unsigned char *data, int blocksize,
                        int first);
// 1 when the block at the position holds anything but erased bytes, or a
// lone JFFS2 clean marker in erased bytes; the position is then at the next
// block either way.  Read first bytes first, as above.
int BlockNeedsErase(int fd, unsigned char *scratch, int blocksize, int first);

// Closes a descriptor on every way out of a scope.
class DeviceHandle {
 public:
  explicit DeviceHandle(int fd) : fd_(fd) {}
  DeviceHandle(const DeviceHandle &) = delete;
  DeviceHandle &operator=(const DeviceHandle &) = delete;
  ~DeviceHandle() { Close(); }
  int get() const { return fd_; }
  void Close();

 private:
  int fd_;
};
