#include "flash_cases.h"

#include <algorithm>
#include <cstring>

namespace fuzz {
namespace {

// Where inside a block a near copy differs from what is wanted there.
uint32_t NearCopyOffset(uint32_t which, uint32_t chunk, uint32_t blockSize, Generator &random) {
  switch (which) {
    case 0: return 0;
    case 1: return chunk > 0 ? chunk - 1 : 0;
    case 2: return chunk < blockSize ? chunk : blockSize - 1;
    case 3: return blockSize - 1;
    case 4: return kStep < blockSize ? kStep - 1 : 0;
    case 5: return sizeof kCleanMarker;  // just after a clean marker
    default: return static_cast<uint32_t>(random.Next() % blockSize);
  }
}

}  // namespace

mtdsim::Geometry ChooseGeometry(uint8_t kind, uint8_t count) {
  const uint32_t blockSizes[] = {128 * kKiB, 4 * kKiB, 64 * kKiB, 256 * kKiB};
  const uint32_t blockSize = blockSizes[kind & 3];
  const uint32_t cheapBlocks = std::min<uint32_t>(32, kCheapPartition / blockSize);
  const uint32_t blocks = count >= kLargeCount ? 2 + count % 31 : 2 + count % (cheapBlocks - 1);
  const uint32_t size = blocks * blockSize;
  return (kind & 3) == 0 ? mtdsim::Nand(size) : mtdsim::Nor(size, blockSize);
}

Fault ChooseFault(InputReader &in, const mtdsim::Geometry &g) {
  const uint8_t kind = in.Byte() % 16;
  const uint8_t block = in.Byte();
  const uint8_t place = in.Byte();
  Fault fault;
  if (kind >= static_cast<uint8_t>(FaultKind::kCount)) return fault;
  fault.kind = static_cast<FaultKind>(kind);
  const uint32_t blocks = g.size / g.erasesize;
  switch (fault.kind) {
    case FaultKind::kRefuseErase: fault.value = block % blocks; break;
    case FaultKind::kFailWrite:
    case FaultKind::kShortWrite:
    case FaultKind::kShortRead: fault.value = block % (2 * blocks + 2); break;
    case FaultKind::kFlipBit: {
      const uint32_t lastOfPage = g.writesize > 1 ? g.writesize - 1 : 1;
      const uint32_t offsets[] = {0,      lastOfPage, kStep - 1, kStep, g.erasesize / 2, g.erasesize - 1,
                                  place * 997u, place * 131u};
      fault.value = (block % blocks) * g.erasesize + offsets[place % 8] % g.erasesize;
      break;
    }
    default: break;
  }
  return fault;
}

void FillPrior(uint8_t choice, uint8_t *block, const uint8_t *wanted, const uint8_t *neighbour, uint32_t chunk,
               uint32_t blockSize, Generator &random) {
  const uint32_t where = choice >> 4 & 7;
  switch (choice & 0x0F) {
    case 0: case 1: memset(block, 0xFF, blockSize); break;
    case 2: memset(block, 0xFF, blockSize); memcpy(block, kCleanMarker, sizeof kCleanMarker); break;
    case 3: random.Fill(block, blockSize); break;
    case 4: memset(block, 0x00, blockSize); break;
    case 5: case 6: case 7: memcpy(block, wanted, blockSize); break;
    case 8: memcpy(block, neighbour, blockSize); break;
    case 9:  // a write that stopped after some pages
      memset(block, 0xFF, blockSize);
      memcpy(block, wanted, std::min<uint32_t>(blockSize, where * blockSize / 8 + kStep));
      break;
    case 10:
      memset(block, 0xFF, blockSize);
      memcpy(block, kCleanMarker, sizeof kCleanMarker);
      block[NearCopyOffset(where, chunk, blockSize, random)] = 0x00;
      break;
    default: {  // a near copy of what is wanted
      memcpy(block, wanted, blockSize);
      uint8_t &byte = block[NearCopyOffset(where, chunk, blockSize, random)];
      byte = static_cast<uint8_t>(choice & 1 ? byte ^ (1u << (choice % 8)) : ~byte);
      break;
    }
  }
}

}  // namespace fuzz
