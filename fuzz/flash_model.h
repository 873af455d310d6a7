// An independent model of what the flash module must leave on a partition,
// written from the module's rules (not from its code), and the checks that
// compare a real call on the MTD simulator with it.
//
// The rules of an image write: the image is laid from the partition's first
// byte, one erase block per chunk, skipping bad blocks (which keep whatever
// they hold); a block already holding its chunk followed by erased bytes is
// neither erased nor written; a written chunk is read back; after the image
// every good block that is neither blank nor a bare JFFS2 clean marker is
// erased.  A refused erase inside the image fails the write; after the image
// it only ends the clean-up.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mtdsim.h"
#include "recycled.h"

namespace fuzz {

// At most one simulator fault per input.
enum class FaultKind : uint8_t {
  kNone,
  kRefuseErase,    // value: block
  kFailWrite,      // value: write call number
  kShortWrite,     // value: write call number
  kShortRead,      // value: read call number
  kFlipBit,        // value: byte offset
  kRefuseReadOob,
  kRefuseGetInfo,
  kCount
};

struct Fault {
  FaultKind kind = FaultKind::kNone;
  uint32_t value = 0;
};

// A fault numbered by system call either misses or ends the call with its
// own line; the model does not count calls.
bool IsCallNumbered(FaultKind kind);

// One partition before the call: where it is, what it is, what it holds.
struct Partition {
  const char *node = nullptr;
  mtdsim::Geometry geometry{};
  std::vector<bool> bad;       // per erase block, NAND only
  mtdsim::Bytes prior;         // the content before the call
  Fault fault;
  bool present = true;         // false: the node does not exist

  uint32_t Blocks() const { return geometry.size / geometry.erasesize; }
  bool Nand() const { return geometry.oobsize != 0; }
};

// Registers the partition on the (freshly reset) simulator.
void Install(const Partition &partition);

// What a call must do.
struct Prediction {
  int result = 0;
  std::string output;
  mtdsim::Bytes content;         // the partition afterwards
  std::vector<int> progress;     // every progress value, in order
  uint64_t erases = 0;           // blocks the call needs to erase
};

// What a call did.
struct Observation {
  int result = 0;
  std::string output;
  std::vector<int> progress;
  const uint8_t *content = nullptr;
  mtdsim::Counters counters{};
};

// The partition-name table as callers know it: the node a name writes to.
const char *WritableNode(const char *name);
// The node names of the table, by row.
extern const char *const kPartitionNames[7];

// ZQDeviceWrite(name, 0, image, len) on the partition at name's node; with
// failingChunk, a write from a source that fails when asked for that chunk
// (counted from 0; the one after the last is the stream's end): the chunks
// before it are laid, the rest of the partition keeps what it held, and
// the write fails.
Prediction PredictWrite(const Partition &partition, const char *name, const uint8_t *image, uint32_t len,
                        uint32_t failingChunk = UINT32_MAX);
// ZQDeviceEraseBootEnv on the partition.
Prediction PredictEraseAll(const Partition &partition);

// Compares a call with its prediction; a call-numbered fault may instead
// end the call with failureLine after a prefix of the predicted output.
void CheckCall(const char *what, const Partition &partition, const Prediction &want, const Observation &got,
               const char *failureLine);
// The line a call-numbered fault makes the writer print, or null.
const char *WriterFaultLine(FaultKind kind);

// Progress values reported to the registered callback since the last Clear.
void RecordProgress(int zero, int value);
std::vector<int> TakeProgress();

}  // namespace fuzz
