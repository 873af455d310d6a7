// A simulated Linux MTD layer for tests.
//
// A test executable that links the mtdsim object library gets its own
// definitions of open (also in its checked form), close, read, write,
// lseek, ioctl, sync and fopen.  Calls on registered "/dev/mtd..." paths
// and on "/proc/mtd" are served by the simulator exactly as the kernel's
// mtdchar driver would serve them; every other path and descriptor goes to
// the C library untouched.  The code under test therefore issues the same
// system calls as on the device.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mtdsim {

struct Geometry {
  uint8_t type;        // MTD_NANDFLASH, MTD_NORFLASH, ...
  uint32_t size;       // bytes in the partition
  uint32_t erasesize;  // bytes per erase block
  uint32_t writesize;  // bytes per page (1 on NOR)
  uint32_t oobsize;    // spare bytes per page (0 on NOR)
};

// NAND with a spare area: 2048-byte pages, 64 spare bytes, 128 KiB blocks.
Geometry Nand(uint32_t size);
// NOR without a spare area: writesize 1, oobsize 0.
Geometry Nor(uint32_t size, uint32_t erasesize);

// Everything the simulated devices did since the last Reset or ClearCounters.
struct Counters {
  uint64_t opens;             // successful opens of simulated devices
  uint64_t erases;            // erase blocks erased by MEMERASE
  uint64_t eraseRequests;     // MEMERASE requests, refused ones included
  uint64_t writeCalls;        // write() calls on simulated devices
  uint64_t programmedBytes;   // bytes accepted by write()
  uint64_t overProgrammed;    // bytes written where flash was not 0xFF and the
                              // new byte was not 0xFF (must never happen)
  uint64_t readCalls;         // read() calls on simulated devices
  uint64_t bytesRead;         // bytes returned by read()
  uint64_t oobReads;          // MEMREADOOB requests
  uint64_t unlocks;           // MEMUNLOCK requests
  uint64_t syncs;             // sync() calls (system wide)
  uint64_t writableOpens;     // successful opens for writing (O_WRONLY, O_RDWR)
};

// Removes every device and fault, clears the counters, the open log and the
// partition list ("/proc/mtd" then does not exist).
void Reset();
void ClearCounters();
const Counters& Stats();

// Registers a device node; its content starts as the geometry.size bytes
// at content, or erased (all 0xFF) without them; no block is bad.  Returns
// false if the path is already registered.
bool AddDevice(const char* path, const Geometry& geometry, const uint8_t* content = nullptr);
// Direct access to a device's content (geometry.size bytes), bypassing the
// flash rules, for setting up and checking tests.  nullptr if unknown.
uint8_t* Content(const char* path);

// Marks the block bad: its first spare byte becomes 0x00, MEMERASE of it
// fails with EIO, writes into it are still accepted (as nandsim does).
void MarkBad(const char* path, uint32_t block);

// The text "/proc/mtd" reads as; nullptr makes it absent (ENOENT).
void SetProcMtd(const char* text);

// Every path given to open() or fopen() since Reset, in order, simulated or
// not, joined by '\n'.
const char* OpenLog();

// Injected faults; each applies to the named device.  A negative value
// disables the fault.
struct Faults {
  int64_t refuseEraseBlock = -1;   // MEMERASE of this block fails with EIO
  int64_t failWriteCall = -1;      // the Nth write() (0-based) returns -1, EIO
  int64_t shortWriteCall = -1;     // the Nth write() writes half, returns it
  int64_t shortReadCall = -1;      // the Nth read() returns half the bytes
  int64_t flipBitOnReadBack = -1;  // byte offset: once a write has covered it,
                                   // the next read covering it returns it with
                                   // bit 0 inverted (flash keeps the right value)
  bool refuseReadOob = false;      // MEMREADOOB fails with EIO
  bool refuseGetInfo = false;      // MEMGETINFO fails with ENOTTY
};
// The faults of a registered device, to be changed in place; nullptr if unknown.
Faults* FaultsOf(const char* path);

// The bytes "/proc/mtd" reads as, NUL bytes included.
void SetProcMtdBytes(const char* text, size_t length);

}  // namespace mtdsim
