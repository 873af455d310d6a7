// ZQDeviceWrite on simulated NAND and NOR against the flash model: the input
// chooses the geometry, what the partition held, bad blocks, the image's
// length and bytes, and at most one fault.
//
// Input, byte by byte (missing bytes read as 0):
//   0     geometry (bits 0-1: NAND, NOR 4 KiB, 64 KiB, 256 KiB), name row
//         (bits 2-4), name suffix (bit 5), device at another row's node (bit 6)
//   1     erase blocks: 2 or more within 1 MiB; from 224 on 2 + n % 31
//         (flash_cases.h)
//   2-4   image length: whole blocks, 2 KiB steps, a small delta
//   5-7   fault: kind (half the values mean none), block, offset class
//   8-9   seed of the bulk bytes
//   then  one byte per erase block: what it held before (bits 0-3), where a
//         near copy differs (bits 4-6), bad (bits 6 and 7 set, NAND)
//   then  up to four stretches of the image, three bytes each: kind, place,
//         length (erased bytes, zeros, a clean marker, input bytes)
//   last  when its top three bits are set, the image comes from a source
//         that fails when asked for chunk (bits 0-4), as a stream that
//         ended early or went on past its size (the chunk after the last)
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "flash_cases.h"
#include "flash_model.h"
#include "flash_private.h"
#include "fuzz_support.h"
#include "zqdevice.h"

namespace {

using fuzz::InputReader;
using fuzz::kCleanMarker;
using fuzz::kStep;

// Lengths around block and page edges, from nothing to beyond the partition.
uint32_t ChooseLength(InputReader &in, const mtdsim::Geometry &g) {
  const uint32_t blocks = in.Byte() % (g.size / g.erasesize + 2);
  const uint32_t steps = in.Byte() % (g.erasesize / kStep + 1);
  const int delta = in.Byte() % 7 - 3;
  const int64_t length = int64_t{blocks} * g.erasesize + int64_t{steps} * kStep + delta;
  return length < 1 ? 1 : static_cast<uint32_t>(length);
}

// The image: random bytes with stretches chosen by the input.
mtdsim::Bytes MakeImage(InputReader &in, uint32_t len, uint32_t blockSize, fuzz::Generator &random) {
  mtdsim::Bytes image(len);
  random.Fill(image.data(), len);
  for (int stretch = 0; stretch < 4; ++stretch) {
    const uint8_t kind = in.Byte();
    const uint8_t place = in.Byte();
    const uint8_t size = in.Byte();
    const uint32_t start = ((place >> 3) * blockSize + (place & 7) * kStep / 2) % len;
    const uint32_t lengths[] = {1, 12, kStep - 1, kStep, kStep + 1, blockSize - 1, blockSize, len};
    const uint32_t around = lengths[size % 8] + size / 8 % 3;  // one less, the same, one more
    const uint32_t length = std::min(around > 0 ? around - 1 : 0, len - start);
    switch (kind % 4) {
      case 0: memset(image.data() + start, 0xFF, length); break;
      case 1: memset(image.data() + start, 0x00, length); break;
      case 2: memcpy(image.data() + start, kCleanMarker, std::min<uint32_t>(length, sizeof kCleanMarker)); break;
      default: {
        std::string bytes = in.Rest();
        memcpy(image.data() + start, bytes.data(), std::min<size_t>(bytes.size(), length));
        break;
      }
    }
  }
  return image;
}

// The layout the image must take, block by block (bad blocks skipped), as
// a source of "the image itself" as earlier content.
mtdsim::Bytes Layout(const mtdsim::Bytes &image, const fuzz::Partition &partition) {
  const uint32_t blockSize = partition.geometry.erasesize;
  mtdsim::Bytes layout(partition.geometry.size, 0xFF);
  size_t taken = 0;
  for (uint32_t b = 0; b < partition.Blocks() && taken < image.size(); ++b) {
    if (partition.bad[b]) continue;
    const size_t chunk = std::min<size_t>(image.size() - taken, blockSize);
    memcpy(layout.data() + size_t{b} * blockSize, image.data() + taken, chunk);
    taken += chunk;
  }
  return layout;
}

// The caller's image as a source that fails when asked for a given chunk.
struct CutSource {
  MemoryChunks image;
  uint32_t chunksLeft;
};
int NextCutChunk(void *context, uint32_t most, const unsigned char **chunk) {
  auto *cut = static_cast<CutSource *>(context);
  if (cut->chunksLeft == 0) return -1;
  --cut->chunksLeft;
  return NextMemoryChunk(&cut->image, most, chunk);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  InputReader in(data, size);
  const uint8_t shape = in.Byte();

  fuzz::Partition partition;
  partition.geometry = fuzz::ChooseGeometry(shape, in.Byte());
  const mtdsim::Geometry &g = partition.geometry;
  const uint32_t blocks = partition.Blocks();
  const uint32_t row = (shape >> 2 & 7) % 7;
  std::string name = fuzz::kPartitionNames[row];
  if (shape & 0x20) name += "2";
  partition.node = fuzz::WritableNode(fuzz::kPartitionNames[row]);
  // Sometimes the only device is another partition's, which must stay
  // untouched.
  partition.present = (shape & 0x40) == 0;
  const char *otherNode = fuzz::WritableNode(fuzz::kPartitionNames[(row + 1 + (shape >> 7)) % 7]);
  const uint32_t len = ChooseLength(in, g);
  partition.fault = fuzz::ChooseFault(in, g);
  fuzz::Generator random(in.Word() + 1ull);

  std::vector<uint8_t> choices(blocks);
  partition.bad.assign(blocks, false);
  for (uint32_t b = 0; b < blocks; ++b) {
    choices[b] = in.Byte();
    partition.bad[b] = partition.Nand() && (choices[b] & 0xC0) == 0xC0;
  }
  mtdsim::Bytes image = MakeImage(in, len, g.erasesize, random);
  mtdsim::Bytes layout = Layout(image, partition);
  partition.prior.assign(g.size, 0);
  for (uint32_t b = 0; b < blocks; ++b) {
    const size_t at = size_t{b} * g.erasesize;
    const size_t neighbour = size_t{(b + 1) % blocks} * g.erasesize;
    const uint32_t chunk = static_cast<uint32_t>(std::min<size_t>(g.erasesize, len > at ? len - at : 0));
    fuzz::FillPrior(choices[b], partition.prior.data() + at, layout.data() + at, layout.data() + neighbour, chunk,
                    g.erasesize, random);
  }

  mtdsim::Reset();
  fuzz::Install(partition);
  if (!partition.present) {
    mtdsim::AddDevice(otherNode, g, partition.prior.data());
  }
  const uint8_t last = size > 0 ? data[size - 1] : 0;
  const bool fromSource = (last & 0xE0) == 0xE0;
  const uint32_t failingChunk = fromSource ? last & 0x1F : UINT32_MAX;
  const fuzz::Prediction want = fuzz::PredictWrite(partition, name.c_str(), image.data(), len, failingChunk);

  // The image is the caller's buffer: exactly its length is addressable
  // (recycled.h), so reading past it is caught.
  ZQDeviceSetCallback(fuzz::RecordProgress);
  fuzz::BeginCapture();
  const int freeBefore = fuzz::LowestFreeDescriptor();
  fuzz::Observation got;
  bool changed = false;
  if (fromSource) {
    CutSource cut{{image.data(), len}, failingChunk};
    ChunkSource source{NextCutChunk, &cut};
    got.result = PartitionWrite(name.c_str(), static_cast<int>(len), &source, &changed);
  } else {
    got.result = ZQDeviceWrite(name.c_str(), 0, reinterpret_cast<const char *>(image.data()), static_cast<int>(len));
  }
  got.output = fuzz::EndCapture();
  ZQDeviceSetCallback(nullptr);
  got.progress = fuzz::TakeProgress();
  got.counters = mtdsim::Stats();
  got.content = partition.present ? mtdsim::Content(partition.node) : nullptr;
  if (fuzz::LowestFreeDescriptor() != freeBefore) fuzz::Broken("ZQDeviceWrite left a descriptor open");
  fuzz::CheckCall(fromSource ? "PartitionWrite" : "ZQDeviceWrite", partition, want, got,
                  fuzz::WriterFaultLine(partition.fault.kind));
  // A failed write from a source says whether it had changed flash: a
  // caller tells "write it again" from "nothing happened" by it.
  if (fromSource && want.result == -1 && partition.fault.kind == fuzz::FaultKind::kNone &&
      changed != (want.erases > 0)) {
    fuzz::Broken("PartitionWrite: changed=%d after %llu erases", changed, static_cast<unsigned long long>(want.erases));
  }
  if (!partition.present && memcmp(mtdsim::Content(otherNode), partition.prior.data(), g.size) != 0) {
    fuzz::Broken("ZQDeviceWrite(%s) changed %s", name.c_str(), otherNode);
  }
  mtdsim::Reset();
  return 0;
}
