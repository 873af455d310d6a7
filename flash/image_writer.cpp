// Writing an image into a partition, erase block by erase block.
//
// A block that already holds the wanted bytes is neither erased nor written,
// so rewriting an unchanged image costs reads only.  A block marked bad in
// its spare area is skipped and the image goes on in the next block.  Every
// written chunk is read back and compared.  After the image the rest of the
// partition is erased, except blocks that are blank or carry nothing but a
// JFFS2 clean marker.
//
// On NAND a block is looked at a page first (see FirstRead): the reads
// before a write then cost about what the chip's floor does, one read of
// the partition, however many blocks differ.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "flash_private.h"

namespace {

// JFFS2 clean marker: magic 0x1985, node type 0x2003, length 12, header CRC.
constexpr unsigned char kCleanMarker[] = {0x85, 0x19, 0x03, 0x20, 0x0C, 0x00,
                                          0x00, 0x00, 0xB1, 0xB0, 0x1E, 0xE4};
constexpr int kCleanMarkerSize = sizeof kCleanMarker;
constexpr unsigned char kErased = 0xFF;
constexpr uint32_t kPercent = 100;

// On NOR the erase-rest pass reads several blocks a call where they are
// small: on the SPI NOR board a read call costs about what reading 4 KiB
// does, and the rest of a 16 MiB partition can be 3328 sectors of 4 KiB.
constexpr uint32_t kRestSpan = 64 * 1024;

// Buffers of one write, released on every way out.
struct WriteBuffers {
  unsigned char *chunk = nullptr;  // page-aligned
  unsigned char *scratch = nullptr;
  uint32_t scratchSize = 0;  // one erase block, on NOR at least kRestSpan
  unsigned char *spare = nullptr;
  WriteBuffers() = default;
  WriteBuffers(const WriteBuffers &) = delete;
  WriteBuffers &operator=(const WriteBuffers &) = delete;
  ~WriteBuffers() {
    free(chunk);
    free(scratch);
    free(spare);
  }
};

// Flash with a spare area (NAND) is written in whole pages through an
// aligned buffer and tested for bad blocks; flash without one (NOR) is
// written straight from the caller's image.
bool HasSpareArea(const PartitionGeometry &geometry) { return geometry.oobsize != 0; }

// The geometry's sizes are rounded by adding, not dividing: a division by
// a variable is a call into the C runtime on armhf, whose 600 bytes of
// code would take what bootguard has left below its budget.
uint32_t RoundUp(uint32_t length, uint32_t unit) {
  uint32_t rounded = unit;
  while (rounded < length) {
    rounded += unit;
  }
  return rounded;
}

uint32_t ScratchSize(const PartitionGeometry &geometry) {
  if (HasSpareArea(geometry) || geometry.erasesize >= kRestSpan) {
    return geometry.erasesize;
  }
  return RoundUp(kRestSpan - geometry.erasesize + 1, geometry.erasesize);
}

bool AllocateBuffers(const PartitionGeometry &geometry, WriteBuffers *buffers) {
  buffers->scratchSize = ScratchSize(geometry);
  buffers->scratch = static_cast<unsigned char *>(malloc(buffers->scratchSize));
  if (buffers->scratch == nullptr) {
    return false;
  }
  if (!HasSpareArea(geometry)) {
    return true;
  }
  void *chunk = nullptr;
  if (posix_memalign(&chunk, geometry.writesize, geometry.erasesize) != 0) {
    return false;
  }
  buffers->chunk = static_cast<unsigned char *>(chunk);
  buffers->spare = static_cast<unsigned char *>(malloc(geometry.oobsize));
  return buffers->spare != nullptr;
}

// How much of a block the compares read first.  A NAND page read costs an
// eighth of a page program (25 us against 200 us on SLC chips), so reading
// a whole block costs nearly what erasing it does: a block is read a page
// first, and one that differs there (as every block of another image
// does) is erased after that page, not after all of them; its pages are
// read when the write is read back anyway.  On NOR reading a block costs a
// fraction of a percent of erasing it, and it is read whole, in one call.
int FirstRead(const PartitionGeometry &geometry) {
  return static_cast<int>(HasSpareArea(geometry) ? geometry.writesize : geometry.erasesize);
}

bool EraseBlock(int fd, uint32_t start, uint32_t length) {
  erase_info_user request{start, length};
  return ioctl(fd, MEMERASE, &request) == 0;
}

// Reads the chunk just written back from flash and compares it.  The read
// goes into the scratch block, whose content the compare before the write
// no longer needs: a chunk is at most one erase block, so a write needs no
// memory beyond what it allocated at its start.
bool VerifyChunk(int fd, const unsigned char *chunk, uint32_t length, unsigned char *scratch) {
  sync();
  if (lseek(fd, -static_cast<off_t>(length), SEEK_CUR) < 0) {
    puts("_lseek failed.");
    return false;
  }
  if (read(fd, scratch, length) != static_cast<ssize_t>(length)) {
    puts("Error reading mtd.");
    return false;
  }
  if (!SameBytes(scratch, chunk, length)) {
    puts("Post-Write check failed.");
    return false;
  }
  return true;
}

// One write in progress: the device, its geometry and the two positions.
struct ImageWrite {
  int fd;
  const char *path;
  PartitionGeometry geometry;
  WriteBuffers *buffers;
  uint32_t erasePosition = 0;  // first erase block not yet dealt with
  uint32_t writePosition = 0;  // end of what the image has claimed so far
  bool changed = false;        // something was erased or written
};

// Moves past the bad blocks at the position, so that a chunk lands in the
// next good block.
bool SkipBadBlocks(ImageWrite &job) {
  const PartitionGeometry &geometry = job.geometry;
  while (BlockIsBad(job.fd, job.path, job.erasePosition, job.buffers->spare, geometry.oobsize)) {
    if (lseek(job.fd, static_cast<off_t>(geometry.erasesize), SEEK_CUR) < 0) {
      puts("lseek failed.");
      return false;
    }
    job.erasePosition += geometry.erasesize;
    job.writePosition += geometry.erasesize;
  }
  return true;
}

// Walks the source's image chunk by chunk: take chunk, test block, compare,
// erase, write, report, verify.  A chunk is taken before its block is
// tested, so that the block after the image is not tested here: the
// erase-rest pass does that.  Leaves the file position at erasePosition.
bool WriteChunks(ImageWrite &job, ChunkSource &source) {
  const PartitionGeometry &geometry = job.geometry;
  const bool spareArea = HasSpareArea(geometry);
  uint32_t lastLength = 0;
  bool lastSame = false;

  for (;;) {
    // A chunk is one erase block, so the block tests line up with it.
    const unsigned char *chunk = nullptr;
    int taken = source.next(source.context, geometry.erasesize, &chunk);
    if (taken < 0) {
      return false;
    }
    if (taken == 0) {
      break;
    }
    if (spareArea && !SkipBadBlocks(job)) {
      return false;
    }
    uint32_t length = static_cast<uint32_t>(taken);
    if (spareArea) {
      memcpy(job.buffers->chunk, chunk, length);
      memset(job.buffers->chunk + length, kErased, RoundUp(length, geometry.writesize) - length);
      chunk = job.buffers->chunk;
    }
    job.writePosition += length;

    int blockSize = static_cast<int>(geometry.erasesize);
    bool same = BlockAlreadyWritten(job.fd, job.buffers->scratch, static_cast<int>(length), chunk, blockSize,
                                    FirstRead(geometry)) == 1;
    // An erase changes flash even when it is refused halfway; one past the
    // partition's end (an image that does not fit) is refused untouched.
    job.changed = job.changed || (!same && job.erasePosition < geometry.size);
    for (; job.writePosition > job.erasePosition; job.erasePosition += geometry.erasesize) {
      if (!same && !EraseBlock(job.fd, job.erasePosition, geometry.erasesize)) {
        printf("Erasing mtd failed: %s\n", job.path);
        return false;
      }
    }

    if (spareArea) {
      length = RoundUp(length, geometry.writesize);
    }
    if (!same) {
      ssize_t written = write(job.fd, chunk, length);
      if (written < 0) {
        puts("Error writing image.");
        return false;
      }
      if (static_cast<size_t>(written) < length) {
        puts("Insufficient space.");
        return false;
      }
    }
    ReportProgress(job.writePosition, geometry.size, kPercent);
    if (!same && !VerifyChunk(job.fd, chunk, length, job.buffers->scratch)) {
      return false;
    }
    lastLength = length;
    lastSame = same;
  }

  // A short last chunk leaves the position inside its block; the erase-rest
  // pass starts at the block's end.
  if (lastLength != geometry.erasesize && !lastSame) {
    lseek(job.fd, static_cast<off_t>(geometry.erasesize - lastLength), SEEK_CUR);
  }
  return true;
}

// Reads up to length bytes, going on after a short read; the bytes read.
uint32_t ReadWhole(int fd, unsigned char *buffer, uint32_t length) {
  uint32_t done = 0;
  while (done < length) {
    ssize_t got = read(fd, buffer + done, length - done);
    if (got <= 0) {
      break;
    }
    done += static_cast<uint32_t>(got);
  }
  return done;
}

// True when a block read whole holds anything but erased bytes, or a lone
// JFFS2 clean marker in them.
bool HoldsData(const unsigned char *block, uint32_t blockSize) {
  int size = static_cast<int>(blockSize);
  bool cleanMarkerOnly = size >= kCleanMarkerSize && memcmp(block, kCleanMarker, kCleanMarkerSize) == 0 &&
                         BufferIsErased(block + kCleanMarkerSize, size - kCleanMarkerSize) == 1;
  return !cleanMarkerOnly && BufferIsErased(block, size) == 0;
}

// Erases what the image did not reach, from the position on, leaving blank
// and clean-marker-only blocks alone.  A refused erase ends the pass
// without failing the write: the image itself is in place.
//
// NAND: block by block, past bad blocks, each read a page first.
void EraseRestOfNand(ImageWrite &job) {
  const PartitionGeometry &geometry = job.geometry;
  const int blockSize = static_cast<int>(geometry.erasesize);
  for (uint32_t start = job.erasePosition; start < geometry.size; start += geometry.erasesize) {
    // The kernel refuses to erase a bad block; stopping there would leave
    // every later block holding stale data.
    if (BlockIsBad(job.fd, job.path, start, job.buffers->spare, geometry.oobsize)) {
      if (lseek(job.fd, static_cast<off_t>(geometry.erasesize), SEEK_CUR) < 0) {
        puts("lseek failed.");
        return;
      }
    } else if (BlockNeedsErase(job.fd, job.buffers->scratch, blockSize, FirstRead(geometry)) == 1 &&
               !EraseBlock(job.fd, start, geometry.erasesize)) {
      printf("Erasing mtd failed: %s\n", job.path);
      return;
    }
    ReportProgress(start, geometry.size, kPercent);
  }
}

// NOR: the scratch's worth of blocks a read; a block that could not be
// read whole is erased.
void EraseRestOfNor(ImageWrite &job) {
  const PartitionGeometry &geometry = job.geometry;
  unsigned char *scratch = job.buffers->scratch;
  for (uint32_t start = job.erasePosition; start < geometry.size; start += job.buffers->scratchSize) {
    uint32_t left = geometry.size - start;
    uint32_t length = left < job.buffers->scratchSize ? left : job.buffers->scratchSize;
    uint32_t got = ReadWhole(job.fd, scratch, length);
    if (got != length && lseek(job.fd, static_cast<off_t>(start) + static_cast<off_t>(length), SEEK_SET) < 0) {
      puts("lseek failed.");
      return;
    }
    for (uint32_t at = 0; at < length; at += geometry.erasesize) {
      bool dirty = at + geometry.erasesize > got || HoldsData(scratch + at, geometry.erasesize);
      if (dirty && !EraseBlock(job.fd, start + at, geometry.erasesize)) {
        printf("Erasing mtd failed: %s\n", job.path);
        return;
      }
      ReportProgress(start + at, geometry.size, kPercent);
    }
  }
}

void EraseRest(ImageWrite &job) {
  if (HasSpareArea(job.geometry)) {
    EraseRestOfNand(job);
  } else {
    EraseRestOfNor(job);
  }
}

}  // namespace

int BufferIsErased(const unsigned char *buf, int len) {
  return len >= 0 && AllErased(buf, static_cast<size_t>(len)) ? 1 : 0;
}

namespace {

// The size of the next read of a block, first read given, done bytes read.
// A first read shorter than a clean marker reads the block whole.
int NextRead(int blocksize, int first, int done) {
  if (done == 0 && first >= kCleanMarkerSize && first < blocksize) {
    return first;
  }
  return blocksize - done;
}

}  // namespace

int BlockAlreadyWritten(int fd, unsigned char *scratch, int len, const unsigned char *data, int blocksize,
                        int first) {
  for (int done = 0; done < blocksize;) {
    int piece = NextRead(blocksize, first, done);
    ssize_t got = read(fd, scratch + done, static_cast<size_t>(piece));
    // The chunk is written where the position is: after a short read or a
    // difference it goes back to the block's start.
    if (got != piece) {
      lseek(fd, -static_cast<off_t>(done + (got > 0 ? got : 0)), SEEK_CUR);
      return 0;
    }
    int wanted = len > done ? (len < done + piece ? len : done + piece) - done : 0;
    if (!SameBytes(scratch + done, data + done, static_cast<size_t>(wanted)) ||
        BufferIsErased(scratch + done + wanted, piece - wanted) == 0) {
      lseek(fd, -static_cast<off_t>(done + piece), SEEK_CUR);
      return 0;
    }
    done += piece;
  }
  return 1;
}

int BlockNeedsErase(int fd, unsigned char *scratch, int blocksize, int first) {
  for (int done = 0; done < blocksize;) {
    int piece = NextRead(blocksize, first, done);
    ssize_t got = read(fd, scratch + done, static_cast<size_t>(piece));
    // The next test reads from the position: after a short read or a
    // block found dirty it must still start at the next block.
    if (got != piece) {
      lseek(fd, static_cast<off_t>(blocksize - done - (got > 0 ? got : 0)), SEEK_CUR);
      return 1;
    }
    int skip = done == 0 && piece >= kCleanMarkerSize && memcmp(scratch, kCleanMarker, kCleanMarkerSize) == 0
                   ? kCleanMarkerSize
                   : 0;
    if (BufferIsErased(scratch + done + skip, piece - skip) == 0) {
      lseek(fd, static_cast<off_t>(blocksize - done - piece), SEEK_CUR);
      return 1;
    }
    done += piece;
  }
  return 0;
}

int NextMemoryChunk(void *context, uint32_t most, const unsigned char **chunk) {
  auto *image = static_cast<MemoryChunks *>(context);
  uint32_t length = image->remaining < most ? image->remaining : most;
  *chunk = image->cursor;
  image->cursor += length;
  image->remaining -= length;
  return static_cast<int>(length);
}

int PartitionWrite(const char *name, int len, ChunkSource *source, bool *changed) {
  const char *path = PartitionNode(name, kForWriting);
  if (path == nullptr) {
    return -1;
  }
  if (DeviceCheck(path) == 0) {
    puts("Can't open device for writing!");
    return -1;
  }
  printf("Writing from to %s,offset:%d len:%d\n", name, 0, len);
  ImageWrite job{-1, path, {}, nullptr};
  DeviceHandle device(DeviceOpenWithGeometry(path, &job.geometry));
  if (device.get() < 0) {
    return -1;
  }
  WriteBuffers buffers;
  if (!AllocateBuffers(job.geometry, &buffers)) {
    puts("malloc failed");
    return -1;
  }
  job.fd = device.get();
  job.buffers = &buffers;
  bool written = WriteChunks(job, *source);
  *changed = job.changed;
  if (!written) {
    return -1;
  }
  // Only a whole image is followed by the erase of the rest: after a
  // source that failed, the blocks past what arrived keep what they held.
  EraseRest(job);
  device.Close();
  sync();
  return 0;
}

int ZQDeviceWrite(const char *name, int offset, const char *data, int len) {
  // The image always lands at the partition's first byte, so a write meant
  // for a later offset would overwrite what lies before it: refused.
  if (name == nullptr || data == nullptr || len <= 0 || offset != 0) {
    return -1;
  }
  MemoryChunks image{reinterpret_cast<const unsigned char *>(data), static_cast<uint32_t>(len)};
  ChunkSource source{NextMemoryChunk, &image};
  bool changed = false;
  return PartitionWrite(name, len, &source, &changed);
}
