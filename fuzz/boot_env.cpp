// ZQDeviceEraseBootEnv and ZQDeviceEraseOneBootEnv on a simulated "uenv"
// partition (NAND or NOR) with bad blocks and faults, against the flash
// model.
//
// Input, byte by byte (missing bytes read as 0):
//   0     geometry (bits 0-1), invalidate instead of erase (bit 2), no
//         device (bit 3), the stored CRC already zero (bit 4)
//   1     erase blocks: 2 or more within 1 MiB; from 224 on 2 + n % 31
//         (flash_cases.h)
//   2-4   fault: kind (half the values mean none), block, offset class
//   5-6   seed of the bulk bytes
//   then  one byte per erase block: what it held before, as for the writer
//         (what is wanted there: a stored environment in the first two
//         blocks, erased bytes after them)
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "flash_cases.h"
#include "flash_model.h"
#include "fuzz_support.h"
#include "zqdevice.h"

namespace {

constexpr const char *kNode = "/dev/mtd4";
constexpr uint32_t kHeaderSize = 256;
constexpr uint32_t kCrcSize = 4;

// A stored environment: CRC, then NUL-terminated variables, then 0xFF.
void StoredEnvironment(uint8_t *block, uint32_t blockSize, bool crcZero, fuzz::Generator &random) {
  memset(block, 0xFF, blockSize);
  random.Fill(block, kCrcSize);
  if (crcZero) memset(block, 0, kCrcSize);
  static const char kVariables[] = "bootcmd=run bootflash\0bootdelay=1\0ota_upgrade_status=0\0\0";
  // The variables over and over, a copy at a time, up to 4 KiB.
  const uint32_t length = std::min<uint32_t>(blockSize - kCrcSize, 4096);
  constexpr uint32_t kVariablesSize = sizeof kVariables - 1;
  for (uint32_t at = 0; at < length; at += kVariablesSize) {
    memcpy(block + kCrcSize + at, kVariables, std::min(kVariablesSize, length - at));
  }
}

struct Call {
  int result = 0;
  std::string output;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::InputReader in(data, size);
  const uint8_t shape = in.Byte();
  const bool invalidate = (shape & 0x04) != 0;

  fuzz::Partition partition;
  partition.node = kNode;
  partition.geometry = fuzz::ChooseGeometry(shape, in.Byte());
  partition.present = (shape & 0x08) == 0;
  const mtdsim::Geometry &g = partition.geometry;
  const uint32_t blocks = partition.Blocks();
  partition.fault = fuzz::ChooseFault(in, g);
  fuzz::Generator random(in.Word() + 1ull);

  mtdsim::Bytes wanted(size_t{2} * g.erasesize, 0xFF);
  StoredEnvironment(wanted.data(), g.erasesize, (shape & 0x10) != 0, random);
  memcpy(wanted.data() + g.erasesize, wanted.data(), g.erasesize);  // the redundant copy
  const mtdsim::Bytes erased(g.erasesize, 0xFF);
  partition.bad.assign(blocks, false);
  partition.prior.assign(g.size, 0);
  for (uint32_t b = 0; b < blocks; ++b) {
    const uint8_t choice = in.Byte();
    partition.bad[b] = partition.Nand() && (choice & 0xC0) == 0xC0;
    const uint8_t *want = b < 2 ? wanted.data() + size_t{b} * g.erasesize : erased.data();
    fuzz::FillPrior(choice, partition.prior.data() + size_t{b} * g.erasesize, want, wanted.data(),
                    b == 0 ? kHeaderSize : 0, g.erasesize, random);
  }

  mtdsim::Reset();
  fuzz::Install(partition);
  fuzz::Prediction want;
  const char *failureLine = nullptr;
  bool headerRead = false;
  if (!invalidate) {
    want = fuzz::PredictEraseAll(partition);
  } else {
    // The header is read first, in one read of 256 bytes; a short one
    // delivers half of them and leaves the rest erased.
    fuzz::Partition writer = partition;
    uint8_t header[kHeaderSize];
    memset(header, 0xFF, sizeof header);
    std::string readLines;
    const bool probed = partition.present && partition.fault.kind != fuzz::FaultKind::kRefuseGetInfo;
    if (probed) {
      const bool shortRead = partition.fault.kind == fuzz::FaultKind::kShortRead && partition.fault.value == 0;
      memcpy(header, partition.prior.data(), shortRead ? kHeaderSize / 2 : kHeaderSize);
      if (shortRead) {
        readLines = "Failed to read\n";
        writer.fault = fuzz::Fault{};
      }
      headerRead = !shortRead;
    }
    memset(header, 0, kCrcSize);
    want = fuzz::PredictWrite(writer, "uenv", header, kHeaderSize);
    if (!probed) readLines = want.output;  // the read's probe fails the same way
    want.output = readLines + want.output;
    failureLine = fuzz::WriterFaultLine(writer.fault.kind);
  }

  ZQDeviceSetCallback(fuzz::RecordProgress);
  fuzz::BeginCapture();
  const int freeBefore = fuzz::LowestFreeDescriptor();
  fuzz::Observation got;
  got.result = invalidate ? ZQDeviceEraseOneBootEnv() : ZQDeviceEraseBootEnv();
  got.output = fuzz::EndCapture();
  ZQDeviceSetCallback(nullptr);
  got.progress = fuzz::TakeProgress();
  got.counters = mtdsim::Stats();
  got.content = partition.present ? mtdsim::Content(kNode) : nullptr;
  const char *what = invalidate ? "ZQDeviceEraseOneBootEnv" : "ZQDeviceEraseBootEnv";
  if (fuzz::LowestFreeDescriptor() != freeBefore) fuzz::Broken("%s left a descriptor open", what);
  fuzz::CheckCall(what, partition, want, got, failureLine);

  // Stated on their own: what a caller relies on.
  // (A bad first block moves the whole header to the next good one.)
  if (got.result == 0 && invalidate && !partition.bad[0]) {
    if (got.content[0] | got.content[1] | got.content[2] | got.content[3]) fuzz::Broken("the CRC field survived");
    if (headerRead && memcmp(got.content + kCrcSize, partition.prior.data() + kCrcSize, kHeaderSize - kCrcSize) != 0) {
      fuzz::Broken("the variables after the CRC field were not kept");
    }
  }
  if (got.result == 0 && !invalidate) {
    for (uint32_t b = 0; b < blocks; ++b) {
      const uint8_t *block = got.content + size_t{b} * g.erasesize;
      if (!partition.bad[b] && memcmp(block, erased.data(), g.erasesize) != 0) {
        fuzz::Broken("good block %u not erased", b);
      }
    }
  }
  mtdsim::Reset();
  return 0;
}
