#include "flash_model.h"

#include <algorithm>
#include <cstring>

#include "fuzz_support.h"

namespace fuzz {
namespace {

constexpr uint8_t kErased = 0xFF;
constexpr uint8_t kCleanMarker[] = {0x85, 0x19, 0x03, 0x20, 0x0C, 0x00, 0x00, 0x00, 0xB1, 0xB0, 0x1E, 0xE4};
constexpr uint32_t kWriterScale = 100;
constexpr uint32_t kEraseAllScale = 40;

struct TableRow {
  const char *name;
  const char *node;
};
constexpr TableRow kTable[] = {{"fdt", "/dev/mtd1"},     {"u-boot", "/dev/mtd3"}, {"uenv", "/dev/mtd4"},
                               {"factory", "/dev/mtd5"}, {"uImage", "/dev/mtd6"}, {"rootfs", "/dev/mtd7"},
                               {"customer", "/dev/mtd8"}};

// Every line with which a flash operation may end in failure.
constexpr const char *kFailureLines[] = {
    "Could not open mtd device: ", "Could not get MTD device info from ", "Can't open device for writing!",
    "malloc failed",               "lseek failed.",                       "Erasing mtd failed: ",
    "Error writing image.",        "Insufficient space.",                 "_lseek failed.",
    "Error reading mtd.",          "Post-Write check failed.",
    "Failed to erase block on ",   "Failed to read"};

std::vector<int> progressValues;

// Every byte equals the first one exactly when the range equals itself
// shifted by one.
bool AllErased(const uint8_t *at, size_t length) {
  return length == 0 || (at[0] == kErased && memcmp(at, at + 1, length - 1) == 0);
}

bool CleanMarkerOnly(const uint8_t *block, uint32_t length) {
  return length >= sizeof kCleanMarker && memcmp(block, kCleanMarker, sizeof kCleanMarker) == 0 &&
         AllErased(block + sizeof kCleanMarker, length - sizeof kCleanMarker);
}

int Scaled(uint64_t done, uint32_t size, uint32_t scale) { return static_cast<int>(done * scale / size); }

// The lines the device's open and probe print when they fail.
std::string ProbeFailure(const Partition &partition) {
  std::string line = partition.present ? "Could not get MTD device info from " : "Could not open mtd device: ";
  return line + partition.node + "\nCan't open device for writing!\n";
}

bool ProbeFails(const Partition &partition) {
  return !partition.present || partition.fault.kind == FaultKind::kRefuseGetInfo;
}

// Every operation starts from the partition as it was and first probes it;
// returns false with the failure predicted when the probe fails.
bool StartPrediction(const Partition &partition, Prediction *p) {
  p->content = partition.prior;
  if (!ProbeFails(partition)) {
    return true;
  }
  p->result = -1;
  p->output = ProbeFailure(partition);
  return false;
}

// The writer's view of one partition: the spare-area test and the erase.
struct Walk {
  const Partition &partition;
  Prediction &prediction;
  const uint32_t blockSize;

  // The bad-block test of the block at start, with the lines it prints.
  bool SkipsAsBad(uint32_t start) {
    if (!partition.Nand()) return false;
    if (partition.fault.kind == FaultKind::kRefuseReadOob || start >= partition.geometry.size) {
      prediction.output += Format("Reading %s OOB failed: %x\n   ", partition.node, start);
      return false;
    }
    if (partition.bad[start / blockSize]) {
      prediction.output += Format("skip bad block %x\n   ", start);
      return true;
    }
    return false;
  }
  // Whether the simulator erases the block (a bad block never is).
  bool Erases(uint32_t block) const {
    if (block >= partition.Blocks() || partition.bad[block]) return false;
    return !(partition.fault.kind == FaultKind::kRefuseErase && partition.fault.value == block);
  }
  uint8_t *Block(uint32_t block) { return prediction.content.data() + size_t{block} * blockSize; }
  void Report(uint64_t done, uint32_t scale) {
    prediction.progress.push_back(Scaled(done, partition.geometry.size, scale));
  }
};

// Lays the image; returns false when the write has failed.
bool LayImage(Walk &walk, const uint8_t *image, uint32_t len, uint32_t *nextBlock) {
  const Partition &partition = walk.partition;
  Prediction &p = walk.prediction;
  const uint32_t blockSize = walk.blockSize;
  uint32_t taken = 0;
  uint64_t claimed = 0;  // image bytes plus skipped bad blocks
  uint32_t block = 0;
  for (; taken < len; ++block) {
    const uint32_t start = block * blockSize;
    if (walk.SkipsAsBad(start)) {
      claimed += blockSize;
      continue;
    }
    if (block >= partition.Blocks()) {  // the image does not fit
      p.output += Format("Erasing mtd failed: %s\n", partition.node);
      return false;
    }
    // What the block must hold: the chunk, then erased bytes.
    const uint32_t chunk = std::min(len - taken, blockSize);
    const uint8_t *wanted = image + taken;
    taken += chunk;
    claimed += chunk;
    uint8_t *content = walk.Block(block);
    if (memcmp(content, wanted, chunk) != 0 || !AllErased(content + chunk, blockSize - chunk)) {
      if (!walk.Erases(block)) {
        p.output += Format("Erasing mtd failed: %s\n", partition.node);
        return false;
      }
      ++p.erases;
      memcpy(content, wanted, chunk);
      memset(content + chunk, kErased, blockSize - chunk);
      // NAND is programmed in whole pages.
      const uint32_t pageSize = partition.geometry.writesize;
      const uint32_t programmed = partition.Nand() ? (chunk + pageSize - 1) / pageSize * pageSize : chunk;
      const Fault &fault = partition.fault;
      if (fault.kind == FaultKind::kFlipBit && fault.value >= start && fault.value - start < programmed) {
        walk.Report(claimed, kWriterScale);  // reported before the read-back
        p.output += "Post-Write check failed.\n";
        return false;
      }
    }
    walk.Report(claimed, kWriterScale);
  }
  *nextBlock = block;
  return true;
}

// The clean-up after the image; a refused erase ends it.
void CleanRest(Walk &walk, uint32_t block) {
  const Partition &partition = walk.partition;
  Prediction &p = walk.prediction;
  for (; block < partition.Blocks(); ++block) {
    const uint32_t start = block * walk.blockSize;
    if (!walk.SkipsAsBad(start)) {
      uint8_t *content = walk.Block(block);
      if (!AllErased(content, walk.blockSize) && !CleanMarkerOnly(content, walk.blockSize)) {
        if (!walk.Erases(block)) {
          p.output += Format("Erasing mtd failed: %s\n", partition.node);
          return;
        }
        ++p.erases;
        memset(content, kErased, walk.blockSize);
      }
    }
    walk.Report(start, kWriterScale);
  }
}

std::string Describe(const Partition &partition) {
  const mtdsim::Geometry &g = partition.geometry;
  std::string bad;
  for (uint32_t b = 0; b < partition.Blocks(); ++b) {
    if (partition.bad[b]) bad += Format(" %u", b);
  }
  return Format("%s %s %u blocks of %u, bad:%s, fault %d value %u", partition.node, partition.Nand() ? "NAND" : "NOR",
                partition.Blocks(), g.erasesize, bad.empty() ? " none" : bad.c_str(),
                static_cast<int>(partition.fault.kind), partition.fault.value);
}

std::string Join(const std::vector<int> &values) {
  std::string text;
  for (int v : values) text += Format(" %d", v);
  return text;
}

bool IsPrefix(const std::vector<int> &prefix, const std::vector<int> &whole) {
  return prefix.size() <= whole.size() && std::equal(prefix.begin(), prefix.end(), whole.begin());
}

// The last line printed, without the indent a non-fatal line leaves.
std::string LastLine(const std::string &output) {
  if (output.empty() || output.back() != '\n') return "";
  size_t start = output.rfind('\n', output.size() - 2);
  std::string line = output.substr(start == std::string::npos ? 0 : start + 1);
  line.pop_back();
  return line.substr(std::min(line.find_first_not_of(' '), line.size()));
}

void CheckFailureLine(const char *what, const std::string &output) {
  std::string last = LastLine(output);
  for (const char *line : kFailureLines) {
    if (last.compare(0, strlen(line), line) == 0) return;
  }
  Broken("%s returned -1 but its last line \"%s\" is no failure line", what, last.c_str());
}

// The first block where the flash differs from want, or blocks.
uint32_t FirstDifferentBlock(const Partition &partition, const uint8_t *got, const mtdsim::Bytes &want) {
  const uint32_t blockSize = partition.geometry.erasesize;
  for (uint32_t b = 0; b < partition.Blocks(); ++b) {
    if (memcmp(got + size_t{b} * blockSize, want.data() + size_t{b} * blockSize, blockSize) != 0) return b;
  }
  return partition.Blocks();
}

[[noreturn]] void BrokenContent(const char *what, const Partition &partition, const char *rule, const uint8_t *got,
                                const mtdsim::Bytes &want, uint32_t block) {
  const uint32_t blockSize = partition.geometry.erasesize;
  size_t at = size_t{block} * blockSize;
  while (at + 1 < size_t{block + 1} * blockSize && got[at] == want[at]) ++at;
  Broken("%s: %s: block %u differs at byte 0x%zx: flash 0x%02x, wanted 0x%02x, before 0x%02x (%s)", what, rule,
         block, at, got[at], want[at], partition.prior[at], Describe(partition).c_str());
}

// A call cut short by a fault leaves the blocks before the one it was at as
// wanted and the blocks after it as they were: nothing beyond is touched.
void CheckCutShort(const char *what, const Partition &partition, const Prediction &want, const Observation &got,
                   const char *failureLine) {
  if (got.result != -1) Broken("%s: returned %d, neither as predicted nor failed (%s)", what, got.result, Describe(partition).c_str());
  std::string ending = std::string(failureLine) + "\n";
  const std::string &out = got.output;
  bool endsRight = out.size() >= ending.size() && out.compare(out.size() - ending.size(), ending.size(), ending) == 0;
  if (!endsRight || want.output.compare(0, out.size() - ending.size(), out, 0, out.size() - ending.size()) != 0) {
    Broken("%s: cut short, but not by the fault's line after what was due (%s); predicted:\n%s", what,
           Describe(partition).c_str(), want.output.c_str());
  }
  if (!IsPrefix(got.progress, want.progress)) {
    Broken("%s: progress%s is not a prefix of%s", what, Join(got.progress).c_str(), Join(want.progress).c_str());
  }
  const uint32_t cut = FirstDifferentBlock(partition, got.content, want.content);
  const uint32_t blockSize = partition.geometry.erasesize;
  for (uint32_t b = cut + 1; b < partition.Blocks(); ++b) {
    const size_t at = size_t{b} * blockSize;
    if (memcmp(got.content + at, partition.prior.data() + at, blockSize) != 0) {
      BrokenContent(what, partition, "touched after the failure", got.content, partition.prior, b);
    }
  }
}

void CheckContent(const char *what, const Partition &partition, const Prediction &want, const uint8_t *got) {
  const uint32_t blockSize = partition.geometry.erasesize;
  for (uint32_t b = 0; b < partition.Blocks(); ++b) {
    const size_t at = size_t{b} * blockSize;
    if (memcmp(got + at, want.content.data() + at, blockSize) == 0) continue;
    // A short read may make a clean-marker block look dirty: erasing it
    // costs an erase and keeps the partition clean.
    const bool markerErased = partition.fault.kind == FaultKind::kShortRead &&
                              CleanMarkerOnly(want.content.data() + at, blockSize) && AllErased(got + at, blockSize);
    if (!markerErased) BrokenContent(what, partition, "flash", got, want.content, b);
  }
}

}  // namespace

const char *const kPartitionNames[7] = {"fdt", "u-boot", "uenv", "factory", "uImage", "rootfs", "customer"};

bool IsCallNumbered(FaultKind kind) {
  return kind == FaultKind::kFailWrite || kind == FaultKind::kShortWrite || kind == FaultKind::kShortRead;
}

const char *WriterFaultLine(FaultKind kind) {
  switch (kind) {
    case FaultKind::kFailWrite: return "Error writing image.";
    case FaultKind::kShortWrite: return "Insufficient space.";
    case FaultKind::kShortRead: return "Error reading mtd.";
    default: return nullptr;
  }
}

const char *WritableNode(const char *name) {
  for (const TableRow &row : kTable) {
    if (strncmp(name, row.name, strlen(row.name)) == 0) return row.node;
  }
  return nullptr;
}

void Install(const Partition &partition) {
  if (!partition.present) return;
  if (!mtdsim::AddDevice(partition.node, partition.geometry, partition.prior.data())) {
    Broken("the simulator refused %s", Describe(partition).c_str());
  }
  for (uint32_t b = 0; b < partition.Blocks(); ++b) {
    if (partition.bad[b]) mtdsim::MarkBad(partition.node, b);
  }
  mtdsim::Faults &faults = *mtdsim::FaultsOf(partition.node);
  const int64_t value = partition.fault.value;
  switch (partition.fault.kind) {
    case FaultKind::kRefuseErase: faults.refuseEraseBlock = value; break;
    case FaultKind::kFailWrite: faults.failWriteCall = value; break;
    case FaultKind::kShortWrite: faults.shortWriteCall = value; break;
    case FaultKind::kShortRead: faults.shortReadCall = value; break;
    case FaultKind::kFlipBit: faults.flipBitOnReadBack = value; break;
    case FaultKind::kRefuseReadOob: faults.refuseReadOob = true; break;
    case FaultKind::kRefuseGetInfo: faults.refuseGetInfo = true; break;
    default: break;
  }
}

Prediction PredictWrite(const Partition &partition, const char *name, const uint8_t *image, uint32_t len,
                        uint32_t failingChunk) {
  Prediction p;
  if (!StartPrediction(partition, &p)) {
    return p;
  }
  p.output = Format("Writing from to %s,offset:0 len:%u\n", name, len);
  Walk walk{partition, p, partition.geometry.erasesize};
  const uint32_t chunks = (len + walk.blockSize - 1) / walk.blockSize;
  const bool cut = failingChunk <= chunks;
  const uint32_t laid = cut ? std::min<uint64_t>(uint64_t{failingChunk} * walk.blockSize, len) : len;
  uint32_t next = 0;
  if (!LayImage(walk, image, laid, &next) || cut) {
    p.result = -1;
    return p;
  }
  CleanRest(walk, next);
  return p;
}

Prediction PredictEraseAll(const Partition &partition) {
  Prediction p;
  if (!StartPrediction(partition, &p)) {
    return p;
  }
  Walk walk{partition, p, partition.geometry.erasesize};
  for (uint32_t block = 0; block < partition.Blocks(); ++block) {
    const uint32_t start = block * walk.blockSize;
    if (!walk.SkipsAsBad(start)) {
      if (!walk.Erases(block)) {
        p.output += Format("Failed to erase block on %s at 0x%x\n", partition.node, start);
        p.result = -1;
        return p;
      }
      ++p.erases;
      memset(walk.Block(block), kErased, walk.blockSize);
    }
    walk.Report(start, kEraseAllScale);
  }
  return p;
}

void CheckCall(const char *what, const Partition &partition, const Prediction &want, const Observation &got,
               const char *failureLine) {
  if (got.counters.overProgrammed != 0) {
    Broken("%s: %llu bytes programmed over unerased flash (%s)", what,
           static_cast<unsigned long long>(got.counters.overProgrammed), Describe(partition).c_str());
  }
  // A predicted failure's output is the model's, which ends in its line;
  // only a source that fails (the caller's stream) ends it without one.
  if (got.result == -1 && !(want.result == -1 && got.output == want.output)) CheckFailureLine(what, got.output);
  for (size_t i = 0; i < got.progress.size(); ++i) {
    if (got.progress[i] < 0 || got.progress[i] > 100 || (i > 0 && got.progress[i] < got.progress[i - 1])) {
      Broken("%s: progress%s leaves its scale or goes back", what, Join(got.progress).c_str());
    }
  }
  const uint32_t blockSize = partition.geometry.erasesize;
  for (uint32_t b = 0; partition.present && b < partition.Blocks(); ++b) {
    const size_t at = size_t{b} * blockSize;
    if (partition.bad[b] && memcmp(got.content + at, partition.prior.data() + at, blockSize) != 0) {
      BrokenContent(what, partition, "a bad block changed", got.content, partition.prior, b);
    }
  }

  const bool asPredicted = got.result == want.result && got.output == want.output && got.progress == want.progress;
  if (!asPredicted && failureLine != nullptr && partition.present) {
    CheckCutShort(what, partition, want, got, failureLine);
    return;
  }
  if (got.result != want.result) {
    Broken("%s: returned %d, predicted %d (%s); predicted output:\n%s", what, got.result, want.result,
           Describe(partition).c_str(), want.output.c_str());
  }
  if (got.output != want.output) {
    Broken("%s: output differs (%s); predicted:\n%s", what, Describe(partition).c_str(), want.output.c_str());
  }
  if (got.progress != want.progress) {
    Broken("%s: progress%s, predicted%s (%s)", what, Join(got.progress).c_str(), Join(want.progress).c_str(),
           Describe(partition).c_str());
  }
  if (!partition.present) return;
  CheckContent(what, partition, want, got.content);
  // A short read can cost one erase more than the content asks for.
  const uint64_t allowed = want.erases + (partition.fault.kind == FaultKind::kShortRead ? 1 : 0);
  if (got.counters.erases > allowed) {
    Broken("%s: %llu erases where %llu do (%s)", what, static_cast<unsigned long long>(got.counters.erases),
           static_cast<unsigned long long>(want.erases), Describe(partition).c_str());
  }
}

void RecordProgress(int zero, int value) {
  if (zero != 0) Broken("progress called with first argument %d", zero);
  progressValues.push_back(value);
}

std::vector<int> TakeProgress() {
  std::vector<int> values;
  values.swap(progressValues);
  return values;
}

}  // namespace fuzz
