// The simulated MTD layer behind mtdsim.h.
//
// The test executable defines open, read, write, ... itself (below), so every
// call the code under test makes binds here.  Whatever is not a simulated
// device goes on to the next definition in the lookup order, found with
// dlsym(RTLD_NEXT): the C library, or a sanitizer's interceptor in front of it.
//
// The behaviour copies Linux 6.1: drivers/mtd/mtdchar.c for the descriptor
// calls, mtdcore.c for range checks, nand_base.c / nandsim for NAND paging and
// bad blocks, cfi_cmdset_0002 for NOR (bit-clearing programs, unlock).

// This file defines the plain and the *64 entry points side by side, so it
// must see the plain declarations (not the ones redirected to *64 or to the
// time64 variants), and no fortified inline wrappers that would clash with
// the definitions.
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#undef _FORTIFY_SOURCE

#include "mtdsim.h"
#include "recycled.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <mtd/mtd-abi.h>
#include <sys/ioctl.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#define MTDSIM_EXPORT __attribute__((visibility("default")))

namespace mtdsim {
namespace {

// ---------------------------------------------------------------------------
// The C library underneath us.

struct LibC {
  int (*open)(const char*, int, ...);
  int (*open64)(const char*, int, ...);
  int (*close)(int);
  ssize_t (*read)(int, void*, size_t);
  ssize_t (*write)(int, const void*, size_t);
  off_t (*lseek)(int, off_t, int);
  off64_t (*lseek64)(int, off64_t, int);
  int (*ioctl)(int, unsigned long, ...);
  int (*ioctl_time64)(int, unsigned long, ...);  // 32-bit glibc with 64-bit time_t
  FILE* (*fopen)(const char*, const char*);
  FILE* (*fopen64)(const char*, const char*);
};

template <typename Fn>
void Bind(Fn& fn, const char* name) {
  // POSIX guarantees that a dlsym() result converts to a function pointer.
  fn = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

const LibC& Libc() {
  static const LibC libc = [] {
    LibC l{};
    Bind(l.open, "open");
    Bind(l.open64, "open64");
    Bind(l.close, "close");
    Bind(l.read, "read");
    Bind(l.write, "write");
    Bind(l.lseek, "lseek");
    Bind(l.lseek64, "lseek64");
    Bind(l.ioctl, "ioctl");
    Bind(l.ioctl_time64, "__ioctl_time64");
    if (l.ioctl_time64 == nullptr) l.ioctl_time64 = l.ioctl;
    Bind(l.fopen, "fopen");
    Bind(l.fopen64, "fopen64");
    return l;
  }();
  return libc;
}

// ---------------------------------------------------------------------------
// The simulated world.

struct Device {
  Geometry geometry{};
  Bytes content;  // recycled: devices come and go with every test case
  std::vector<bool> badBlocks;
  Faults faults;
  // Number the read()/write() calls for the call-numbered faults; restarted
  // by ClearCounters so a test can arm a fault "for the next write".
  uint64_t readCallNumber = 0;
  uint64_t writeCallNumber = 0;
  // The flipBitOnReadBack offset once a write() has covered it; -1 before.
  int64_t flipArmedAt = -1;
};

struct OpenDevice {
  Device* device;
  int accessMode;     // O_RDONLY, O_WRONLY or O_RDWR
  uint64_t position;  // never beyond the device size (mtdchar_lseek)
};

struct World {
  // Recursive so that nothing breaks if a pass-through ever re-enters us.
  std::recursive_mutex mutex;
  std::map<std::string, Device> devices;  // nodes are stable: OpenDevice points in
  std::map<int, OpenDevice> descriptors;  // reserved fd -> simulated device
  Counters counters{};
  std::string openLog;
  uint64_t openLogEntries = 0;
  bool procMtdPresent = false;
  std::string procMtd;
};

World& TheWorld() {
  // Never destroyed: the test framework still opens and writes files while
  // static objects are being torn down at exit.
  static World* world = new World;
  return *world;
}

using Guard = std::lock_guard<std::recursive_mutex>;

bool StartsWith(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// A fault given as "the Nth call" or "this block" applies to `value`.
bool Hits(int64_t fault, uint64_t value) {
  return fault >= 0 && static_cast<uint64_t>(fault) == value;
}

bool IsNand(const Geometry& g) {
  return g.type == MTD_NANDFLASH || g.type == MTD_MLCNANDFLASH;
}

int Fail(int error) {
  errno = error;
  return -1;
}

void LogOpen(World& w, const char* path) {
  if (w.openLogEntries++ > 0) w.openLog += '\n';
  w.openLog += path;
}

OpenDevice* Simulated(World& w, int fd) {
  auto it = w.descriptors.find(fd);
  return it == w.descriptors.end() ? nullptr : &it->second;
}

// ---------------------------------------------------------------------------
// open / close

// open()'s mode argument exists only when the flags ask for it (glibc's
// __OPEN_NEEDS_MODE).
bool NeedsMode(int flags) {
  return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

int OpenSimulated(World& w, Device& device, int flags) {
  // The node exists, so O_EXCL fails exactly as on a real device node.
  if ((flags & O_CREAT) != 0 && (flags & O_EXCL) != 0) return Fail(EEXIST);
  // The number is really taken from the process, so that no real open() by
  // the code under test or by the test framework can be handed it as well.
  const int fd = Libc().open("/dev/null", O_RDWR | (flags & O_CLOEXEC));
  if (fd < 0) return -1;
  w.descriptors[fd] = OpenDevice{&device, flags & O_ACCMODE, 0};
  ++w.counters.opens;
  if ((flags & O_ACCMODE) != O_RDONLY) ++w.counters.writableOpens;
  return fd;
}

int Open(const char* path, int flags, mode_t mode, bool large) {
  World& w = TheWorld();
  {
    Guard guard(w.mutex);
    LogOpen(w, path);
    auto it = w.devices.find(path);
    if (it != w.devices.end()) return OpenSimulated(w, it->second, flags);
    // An MTD node the test did not create does not exist; the host's own
    // /dev/mtd* must never be reached from a test.
    if (StartsWith(path, "/dev/mtd")) return Fail(ENOENT);
  }
  const auto real = large ? Libc().open64 : Libc().open;
  return NeedsMode(flags) ? real(path, flags, mode) : real(path, flags);
}

int Close(int fd) {
  World& w = TheWorld();
  {
    Guard guard(w.mutex);
    w.descriptors.erase(fd);  // if simulated, the device goes with the number
  }
  return Libc().close(fd);  // the real file, or the /dev/null reservation
}

// ---------------------------------------------------------------------------
// read / write / lseek

ssize_t Read(World& w, OpenDevice& file, void* buffer, size_t count) {
  Device& d = *file.device;
  const uint64_t call = d.readCallNumber++;
  ++w.counters.readCalls;
  if (file.accessMode == O_WRONLY) return Fail(EBADF);

  // mtdchar_read: nothing at or past the end, a short read up to it.
  const uint64_t size = d.geometry.size;
  if (file.position >= size) return 0;
  // No more than count, so it fits a size_t even where that is 32 bits.
  auto n = static_cast<size_t>(std::min<uint64_t>(count, size - file.position));
  if (Hits(d.faults.shortReadCall, call)) n /= 2;

  auto* out = static_cast<uint8_t*>(buffer);
  std::memcpy(out, d.content.data() + file.position, n);

  // A bit that flips on its way back, e.g. a marginal cell read after
  // programming: the caller sees it once, the flash itself is right.
  const int64_t flip = d.faults.flipBitOnReadBack;
  if (flip >= 0 && d.flipArmedAt == flip) {
    const auto at = static_cast<uint64_t>(flip);
    if (at >= file.position && at < file.position + n) {
      out[at - file.position] ^= 0x01;
      d.faults.flipBitOnReadBack = -1;
      d.flipArmedAt = -1;
    }
  }

  file.position += n;
  w.counters.bytesRead += n;
  return static_cast<ssize_t>(n);
}

// The top bit of each byte of the result is set where `word` has a byte
// other than 0xFF.  No carry crosses a byte: (x & 0x7F) + 0x7F <= 0xFE.
uint64_t NotErasedBytes(uint64_t word) {
  constexpr uint64_t kLowBits = 0x7F7F7F7F7F7F7F7Full;
  const uint64_t inverted = ~word;
  return (((inverted & kLowBits) + kLowBits) | inverted) & ~kLowBits;
}

// Every byte equals the first one exactly when the range equals itself
// shifted by one.
bool AllErased(const uint8_t* at, size_t n) {
  return n == 0 || (at[0] == 0xFF && std::memcmp(at, at + 1, n - 1) == 0);
}

// Programs n bytes: a bit can only go from 1 to 0; only an erase brings it
// back.  Returns how many bytes other than 0xFF went where flash was not
// 0xFF.  Whole erase blocks go through here, mostly onto erased flash,
// which is a plain copy; elsewhere word by word.
uint64_t Program(uint8_t* flash, const uint8_t* in, size_t n) {
  if (AllErased(flash, n)) {
    std::memcpy(flash, in, n);
    return 0;
  }
  uint64_t over = 0;
  size_t i = 0;
  for (; i + sizeof(uint64_t) <= n; i += sizeof(uint64_t)) {
    uint64_t old = 0;
    uint64_t wanted = 0;
    std::memcpy(&old, flash + i, sizeof old);
    std::memcpy(&wanted, in + i, sizeof wanted);
    if (old != ~uint64_t{0}) {  // programming erased flash is the common case
      over += static_cast<uint64_t>(std::popcount(NotErasedBytes(old) & NotErasedBytes(wanted)));
    }
    const uint64_t programmed = old & wanted;
    std::memcpy(flash + i, &programmed, sizeof programmed);
  }
  for (; i < n; ++i) {
    if (flash[i] != 0xFF && in[i] != 0xFF) ++over;
    flash[i] = static_cast<uint8_t>(flash[i] & in[i]);
  }
  return over;
}

ssize_t Write(World& w, OpenDevice& file, const void* data, size_t count) {
  Device& d = *file.device;
  const Geometry& g = d.geometry;
  const uint64_t call = d.writeCallNumber++;
  ++w.counters.writeCalls;
  if (file.accessMode == O_RDONLY) return Fail(EBADF);

  // mtdchar_write: no room at the end, a short write up to it.
  if (file.position >= g.size) return Fail(ENOSPC);
  auto n = static_cast<size_t>(std::min<uint64_t>(count, g.size - file.position));
  if (n == 0) return 0;
  // NAND programs whole pages only; nand_do_write_ops refuses anything else
  // before it touches the chip.
  if (g.writesize > 1 && (file.position % g.writesize != 0 || n % g.writesize != 0)) {
    return Fail(EINVAL);
  }
  if (Hits(d.faults.failWriteCall, call)) return Fail(EIO);
  // A write cut short (e.g. by a signal between pages) still ends on a page.
  if (Hits(d.faults.shortWriteCall, call)) n = n / 2 / g.writesize * g.writesize;

  w.counters.overProgrammed += Program(d.content.data() + file.position, static_cast<const uint8_t*>(data), n);

  const int64_t flip = d.faults.flipBitOnReadBack;
  if (flip >= 0) {
    const auto at = static_cast<uint64_t>(flip);
    if (at >= file.position && at < file.position + n) d.flipArmedAt = flip;
  }

  file.position += n;
  w.counters.programmedBytes += n;
  return static_cast<ssize_t>(n);
}

// mtdchar_lseek: the new offset must lie within [0, size]; otherwise EINVAL
// and the position stays where it was.  Returns -1 with errno on refusal.
int64_t SeekTarget(const OpenDevice& file, int64_t offset, int whence) {
  const auto size = static_cast<int64_t>(file.device->geometry.size);
  int64_t base = 0;
  switch (whence) {
    case SEEK_SET: base = 0; break;
    case SEEK_CUR: base = static_cast<int64_t>(file.position); break;
    case SEEK_END: base = size; break;
    default: return Fail(EINVAL);
  }
  // Compared this way round so that no sum can overflow.
  if (offset < -base || offset > size - base) return Fail(EINVAL);
  return base + offset;
}

// ---------------------------------------------------------------------------
// ioctl

int GetInfo(const Device& d, void* arg) {
  if (d.faults.refuseGetInfo) return Fail(ENOTTY);
  if (arg == nullptr) return Fail(EFAULT);
  const Geometry& g = d.geometry;
  mtd_info_user info{};
  info.type = g.type;
  info.flags = IsNand(g) ? MTD_CAP_NANDFLASH : MTD_CAP_NORFLASH;
  info.size = g.size;
  info.erasesize = g.erasesize;
  info.writesize = g.writesize;
  info.oobsize = g.oobsize;
  info.padding = 0;
  std::memcpy(arg, &info, sizeof info);
  return 0;
}

int Erase(World& w, const OpenDevice& file, const void* arg) {
  Device& d = *file.device;
  const Geometry& g = d.geometry;
  ++w.counters.eraseRequests;
  // mtdchar_ioctl counts erasing among the "dangerous" requests.
  if (file.accessMode == O_RDONLY) return Fail(EPERM);
  if (arg == nullptr) return Fail(EFAULT);
  erase_info_user request{};
  std::memcpy(&request, arg, sizeof request);

  const uint64_t start = request.start;
  const uint64_t end = start + request.length;  // 64-bit: cannot wrap
  if (request.length == 0 || start % g.erasesize != 0 || request.length % g.erasesize != 0 ||
      end > g.size) {
    return Fail(EINVAL);
  }
  // Block by block, as nand_erase_nand does: the first block that cannot be
  // erased ends the request, the ones before it stay erased.
  const auto first = static_cast<size_t>(start / g.erasesize);
  const auto last = static_cast<size_t>(end / g.erasesize);  // within the device
  for (size_t block = first; block < last; ++block) {
    if (d.badBlocks[block] || Hits(d.faults.refuseEraseBlock, block)) return Fail(EIO);
    std::memset(d.content.data() + block * g.erasesize, 0xFF, g.erasesize);
    ++w.counters.erases;
  }
  return 0;
}

int ReadOob(World& w, const Device& d, void* arg) {
  const Geometry& g = d.geometry;
  ++w.counters.oobReads;
  if (arg == nullptr) return Fail(EFAULT);
  mtd_oob_buf request{};
  std::memcpy(&request, arg, sizeof request);

  if (g.oobsize == 0) return Fail(EOPNOTSUPP);  // NOR has no _read_oob
  if (request.start >= g.size) return Fail(EINVAL);
  if (request.length > g.oobsize) return Fail(EINVAL);
  if (d.faults.refuseReadOob) return Fail(EIO);
  if (request.length > 0 && request.ptr == nullptr) return Fail(EFAULT);

  // The spare area is erased, except for the factory bad-block marker: the
  // first spare byte of a bad block's first page reads 0x00.
  std::memset(request.ptr, 0xFF, request.length);
  const uint32_t page = request.start / g.writesize;
  const uint32_t pagesPerBlock = g.erasesize / g.writesize;
  if (request.length > 0 && page % pagesPerBlock == 0 && d.badBlocks[page / pagesPerBlock]) {
    request.ptr[0] = 0x00;
  }
  std::memcpy(arg, &request, sizeof request);  // the delivered length goes back
  return 0;
}

int Unlock(World& w, const OpenDevice& file, const void* arg) {
  const Geometry& g = file.device->geometry;
  ++w.counters.unlocks;
  if (file.accessMode == O_RDONLY) return Fail(EPERM);
  if (arg == nullptr) return Fail(EFAULT);
  // nandsim has no _unlock; mtd_unlock says so before it checks the range.
  if (IsNand(g)) return Fail(EOPNOTSUPP);
  erase_info_user request{};
  std::memcpy(&request, arg, sizeof request);
  if (request.start >= g.size || request.length > g.size - request.start) return Fail(EINVAL);
  return 0;
}

int Ioctl(World& w, OpenDevice& file, unsigned long request, void* arg) {
  switch (request) {
    case MEMGETINFO: return GetInfo(*file.device, arg);
    case MEMERASE: return Erase(w, file, arg);
    case MEMREADOOB: return ReadOob(w, *file.device, arg);
    case MEMUNLOCK: return Unlock(w, file, arg);
    default: return Fail(ENOTTY);
  }
}

// One body for ioctl and __ioctl_time64; `real` serves the other descriptors.
int IoctlEntry(int fd, unsigned long request, void* arg, int (*real)(int, unsigned long, ...)) {
  World& w = TheWorld();
  {
    Guard guard(w.mutex);
    if (OpenDevice* file = Simulated(w, fd)) return Ioctl(w, *file, request, arg);
  }
  return real(fd, request, arg);
}

// ---------------------------------------------------------------------------
// /proc/mtd

// Each stream owns its copy of the text, so a later SetProcMtd or Reset
// cannot pull the buffer away under an open FILE, and fclose frees it.
struct ProcMtdStream {
  std::string text;
  size_t position = 0;
};

ssize_t ProcMtdRead(void* cookie, char* buffer, size_t size) {
  auto* s = static_cast<ProcMtdStream*>(cookie);
  const size_t n = std::min(size, s->text.size() - s->position);
  std::memcpy(buffer, s->text.data() + s->position, n);
  s->position += n;
  return static_cast<ssize_t>(n);
}

int ProcMtdSeek(void* cookie, off64_t* offset, int whence) {
  auto* s = static_cast<ProcMtdStream*>(cookie);
  off64_t base = 0;
  if (whence == SEEK_CUR) base = static_cast<off64_t>(s->position);
  if (whence == SEEK_END) base = static_cast<off64_t>(s->text.size());
  const off64_t target = base + *offset;
  if (target < 0) return Fail(EINVAL);
  s->position = std::min(static_cast<size_t>(target), s->text.size());
  *offset = target;
  return 0;
}

int ProcMtdClose(void* cookie) {
  delete static_cast<ProcMtdStream*>(cookie);
  return 0;
}

FILE* OpenProcMtd(const World& w, const char* mode) {
  if (!w.procMtdPresent) {
    errno = ENOENT;
    return nullptr;
  }
  if (std::strpbrk(mode, "wa+") != nullptr) {  // the kernel offers no write
    errno = EACCES;
    return nullptr;
  }
  cookie_io_functions_t io{};
  io.read = ProcMtdRead;
  io.seek = ProcMtdSeek;
  io.close = ProcMtdClose;
  auto* stream = new ProcMtdStream{w.procMtd, 0};
  FILE* file = fopencookie(stream, "r", io);
  if (file == nullptr) delete stream;
  return file;
}

FILE* Fopen(const char* path, const char* mode, bool large) {
  World& w = TheWorld();
  {
    Guard guard(w.mutex);
    LogOpen(w, path);
    if (std::strcmp(path, "/proc/mtd") == 0) return OpenProcMtd(w, mode);
  }
  return large ? Libc().fopen64(path, mode) : Libc().fopen(path, mode);
}

}  // namespace

// ---------------------------------------------------------------------------
// The test-facing interface.

Geometry Nand(uint32_t size) {
  return Geometry{MTD_NANDFLASH, size, 128 * 1024, 2048, 64};
}

Geometry Nor(uint32_t size, uint32_t erasesize) {
  return Geometry{MTD_NORFLASH, size, erasesize, 1, 0};
}

void Reset() {
  World& w = TheWorld();
  Guard guard(w.mutex);
  for (const auto& [fd, file] : w.descriptors) Libc().close(fd);
  w.descriptors.clear();
  w.devices.clear();
  w.counters = Counters{};
  w.openLog.clear();
  w.openLogEntries = 0;
  w.procMtdPresent = false;
  w.procMtd.clear();
}

void ClearCounters() {
  World& w = TheWorld();
  Guard guard(w.mutex);
  w.counters = Counters{};
  for (auto& [path, device] : w.devices) {
    device.readCallNumber = 0;
    device.writeCallNumber = 0;
  }
}

const Counters& Stats() { return TheWorld().counters; }

bool AddDevice(const char* path, const Geometry& geometry, const uint8_t* content) {
  const Geometry& g = geometry;
  // Refuse a geometry no MTD driver could have: the block and page
  // arithmetic below relies on whole pages per block and blocks per device.
  if (path == nullptr || g.size == 0 || g.erasesize == 0 || g.writesize == 0 ||
      g.size % g.erasesize != 0 || g.erasesize % g.writesize != 0) {
    return false;
  }
  World& w = TheWorld();
  Guard guard(w.mutex);
  auto [it, added] = w.devices.try_emplace(path);
  if (!added) return false;
  Device& d = it->second;
  d.geometry = g;
  if (content != nullptr) {
    d.content.assign(content, g.size);
  } else {
    d.content.assign(g.size, 0xFF);
  }
  d.badBlocks.assign(g.size / g.erasesize, false);
  return true;
}

uint8_t* Content(const char* path) {
  World& w = TheWorld();
  Guard guard(w.mutex);
  auto it = w.devices.find(path);
  return it == w.devices.end() ? nullptr : it->second.content.data();
}

void MarkBad(const char* path, uint32_t block) {
  World& w = TheWorld();
  Guard guard(w.mutex);
  auto it = w.devices.find(path);
  if (it != w.devices.end() && block < it->second.badBlocks.size()) {
    it->second.badBlocks[block] = true;
  }
}

void SetProcMtd(const char* text) {
  World& w = TheWorld();
  Guard guard(w.mutex);
  w.procMtdPresent = text != nullptr;
  w.procMtd = text != nullptr ? text : "";
}

const char* OpenLog() {
  World& w = TheWorld();
  Guard guard(w.mutex);
  return w.openLog.c_str();
}

Faults* FaultsOf(const char* path) {
  World& w = TheWorld();
  Guard guard(w.mutex);
  auto it = w.devices.find(path);
  return it == w.devices.end() ? nullptr : &it->second.faults;
}

// Moves a simulated descriptor's position; false when fd is not simulated.
// An offset beyond what the caller's off_t can hold fails with EOVERFLOW.
bool SeekSimulated(int fd, int64_t offset, int whence, int64_t largest, int64_t* result) {
  World& w = TheWorld();
  Guard guard(w.mutex);
  OpenDevice* file = Simulated(w, fd);
  if (file == nullptr) return false;
  const int64_t target = SeekTarget(*file, offset, whence);
  if (target < 0) {
    *result = -1;
  } else if (target > largest) {
    *result = Fail(EOVERFLOW);
  } else {
    file->position = static_cast<uint64_t>(target);
    *result = target;
  }
  return true;
}

}  // namespace mtdsim

// ---------------------------------------------------------------------------
// The interposed C library entry points.

using mtdsim::TheWorld;

extern "C" {

MTDSIM_EXPORT int open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if (mtdsim::NeedsMode(flags)) {
    va_list args;
    va_start(args, flags);
    mode = va_arg(args, mode_t);
    va_end(args);
  }
  return mtdsim::Open(path, flags, mode, false);
}

MTDSIM_EXPORT int open64(const char* path, int flags, ...) {
  mode_t mode = 0;
  if (mtdsim::NeedsMode(flags)) {
    va_list args;
    va_start(args, flags);
    mode = va_arg(args, mode_t);
    va_end(args);
  }
  return mtdsim::Open(path, flags, mode, true);
}

// With _FORTIFY_SOURCE, an open() whose flags are not a constant is the
// checked __open_2, which takes no mode (it refuses O_CREAT).
MTDSIM_EXPORT int __open_2(const char* path, int flags) { return mtdsim::Open(path, flags, 0, false); }

MTDSIM_EXPORT int __open64_2(const char* path, int flags) { return mtdsim::Open(path, flags, 0, true); }

MTDSIM_EXPORT int close(int fd) { return mtdsim::Close(fd); }

MTDSIM_EXPORT ssize_t read(int fd, void* buffer, size_t count) {
  auto& w = TheWorld();
  {
    mtdsim::Guard guard(w.mutex);
    if (auto* file = mtdsim::Simulated(w, fd)) return mtdsim::Read(w, *file, buffer, count);
  }
  return mtdsim::Libc().read(fd, buffer, count);
}

MTDSIM_EXPORT ssize_t write(int fd, const void* data, size_t count) {
  auto& w = TheWorld();
  {
    mtdsim::Guard guard(w.mutex);
    if (auto* file = mtdsim::Simulated(w, fd)) return mtdsim::Write(w, *file, data, count);
  }
  return mtdsim::Libc().write(fd, data, count);
}

MTDSIM_EXPORT off_t lseek(int fd, off_t offset, int whence) noexcept {
  int64_t result = 0;
  // A 32-bit off_t cannot name every offset of a large partition.
  if (mtdsim::SeekSimulated(fd, offset, whence, std::numeric_limits<off_t>::max(), &result)) {
    return static_cast<off_t>(result);
  }
  return mtdsim::Libc().lseek(fd, offset, whence);
}

MTDSIM_EXPORT off64_t lseek64(int fd, off64_t offset, int whence) noexcept {
  int64_t result = 0;
  if (mtdsim::SeekSimulated(fd, offset, whence, std::numeric_limits<off64_t>::max(), &result)) {
    return result;
  }
  return mtdsim::Libc().lseek64(fd, offset, whence);
}

MTDSIM_EXPORT int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  return mtdsim::IoctlEntry(fd, request, arg, mtdsim::Libc().ioctl);
}

#if __TIMESIZE == 32
// With _TIME_BITS=64, 32-bit glibc headers send ioctl() here instead.
MTDSIM_EXPORT int __ioctl_time64(int fd, unsigned long request, ...) noexcept {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  return mtdsim::IoctlEntry(fd, request, arg, mtdsim::Libc().ioctl_time64);
}
#endif

// Only counted: a real sync() would flush the whole host's disks each time a
// benchmark commits.
MTDSIM_EXPORT void sync() noexcept {
  auto& w = TheWorld();
  mtdsim::Guard guard(w.mutex);
  ++w.counters.syncs;
}

MTDSIM_EXPORT FILE* fopen(const char* path, const char* mode) {
  return mtdsim::Fopen(path, mode, false);
}

MTDSIM_EXPORT FILE* fopen64(const char* path, const char* mode) {
  return mtdsim::Fopen(path, mode, true);
}

}  // extern "C"

namespace mtdsim {

void SetProcMtdBytes(const char* text, size_t length) {
  World& w = TheWorld();
  Guard guard(w.mutex);
  w.procMtdPresent = true;
  w.procMtd.assign(text, length);
}

}  // namespace mtdsim
