// Choosing flash cases from fuzz input: geometries, faults and what a
// block held before, shared by the flash targets.
#pragma once

#include <cstdint>

#include "flash_model.h"
#include "fuzz_support.h"

namespace fuzz {

constexpr uint32_t kKiB = 1024;
constexpr uint32_t kStep = 2 * kKiB;  // a NAND page, and a step inside NOR blocks
constexpr uint8_t kCleanMarker[] = {0x85, 0x19, 0x03, 0x20, 0x0C, 0x00, 0x00, 0x00, 0xB1, 0xB0, 0x1E, 0xE4};

// Bits 0-1 of kind: NAND (2 KiB pages, 64 spare bytes, 128 KiB blocks),
// NOR with 4, 64 or 256 KiB blocks.  count sets the number of erase
// blocks: 2 or more within kCheapPartition, or from kLargeCount on (one
// value in eight) 2 + count % 31, up to 8 MiB.  An input costs in
// proportion to its partition's size while a few blocks reach every path,
// so large partitions stay rare.
constexpr uint32_t kCheapPartition = 1024 * kKiB;
constexpr uint8_t kLargeCount = 224;
mtdsim::Geometry ChooseGeometry(uint8_t kind, uint8_t count);

// Three bytes: kind (half the values mean none), block, offset class.
Fault ChooseFault(InputReader &in, const mtdsim::Geometry &g);

// What one block held before the call, from one input byte: blank, a clean
// marker (alone or with a stray byte), random, zeros, what is wanted there,
// the neighbour's wanted content, an interrupted write of it, or a near
// copy of it (bits 4-6 say where the near copy differs).  chunk is the
// length of the wanted bytes before the erased rest.
void FillPrior(uint8_t choice, uint8_t *block, const uint8_t *wanted, const uint8_t *neighbour, uint32_t chunk,
               uint32_t blockSize, Generator &random);

}  // namespace fuzz
