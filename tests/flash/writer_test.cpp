// Writing images: on NAND with a spare area and on NOR with three erase
// block sizes.  After every write the partition must hold the image followed
// by erased bytes, and no byte may have been programmed without an erase.

#include "flash_fixture.h"

namespace flashtest {
namespace {

constexpr const char *kNode = "/dev/mtd7";  // "rootfs"
constexpr int kBlocks = 16;

struct Kind {
  const char *name;
  mtdsim::Geometry geometry;
};
void PrintTo(const Kind &kind, std::ostream *out) { *out << kind.name; }

class Writer : public FlashTest, public testing::WithParamInterface<Kind> {
 protected:
  void SetUp() override {
    FlashTest::SetUp();
    geometry_ = GetParam().geometry;
    block_ = geometry_.erasesize;
    flash_ = Device(kNode, geometry_);
  }
  int Write(const std::vector<char> &image) {
    return ZQDeviceWrite("rootfs", 0, image.data(), static_cast<int>(image.size()));
  }
  std::string Header(size_t len) { return "Writing from to rootfs,offset:0 len:" + std::to_string(len) + "\n"; }
  bool Nand() const { return geometry_.oobsize != 0; }

  mtdsim::Geometry geometry_{};
  uint32_t block_ = 0;
  uint8_t *flash_ = nullptr;
};

mtdsim::Geometry Sized(mtdsim::Geometry g) {
  g.size = g.erasesize * kBlocks;
  return g;
}

INSTANTIATE_TEST_SUITE_P(Flash, Writer,
                         testing::Values(Kind{"Nand", Sized(mtdsim::Nand(0))},
                                         Kind{"Nor4K", Sized(mtdsim::Nor(0, 4 * kKiB))},
                                         Kind{"Nor64K", Sized(mtdsim::Nor(0, 64 * kKiB))},
                                         Kind{"Nor256K", Sized(mtdsim::Nor(0, 256 * kKiB))}),
                         [](const testing::TestParamInfo<Kind> &info) { return info.param.name; });

TEST_P(Writer, FreshImageLandsWithErasedBytesAfterIt) {
  Fill(flash_, geometry_.size, 0x5A);  // stale data everywhere
  std::vector<char> image = Image(3 * block_ + block_ / 2);
  std::string output = Printed([&] { EXPECT_EQ(Write(image), 0); });
  EXPECT_EQ(output, Header(image.size()));
  EXPECT_TRUE(HoldsImage(flash_, geometry_.size, image));
  EXPECT_EQ(mtdsim::Stats().erases, static_cast<uint64_t>(kBlocks));
  EXPECT_GE(mtdsim::Stats().syncs, 4u) << "each written chunk is synced before its read-back";
}

TEST_P(Writer, ErasedStretchesInsideTheImageKeepLaterChunksInPlace) {
  // 64 KiB of 0xFF inside a block already matches blank flash; that must
  // not shift where the rest of the image lands.
  std::vector<char> image = Image(geometry_.size - block_ - 100, 3);
  memset(image.data() + block_, 0xFF, std::min(64 * kKiB, geometry_.size / 2));
  ASSERT_EQ(Write(image), 0);
  EXPECT_TRUE(HoldsImage(flash_, geometry_.size, image));
}

TEST_P(Writer, RewritingTheSameImageErasesAndProgramsNothing) {
  std::vector<char> image = Image(5 * block_);
  ASSERT_EQ(Write(image), 0);
  mtdsim::ClearCounters();
  ProgressCalls().clear();

  ASSERT_EQ(Write(image), 0);
  EXPECT_EQ(mtdsim::Stats().erases, 0u);
  EXPECT_EQ(mtdsim::Stats().programmedBytes, 0u);
  EXPECT_TRUE(HoldsImage(flash_, geometry_.size, image));
  // One report per chunk, then one per block of the erase-rest pass.
  EXPECT_EQ(ProgressValues(), (std::vector<int>{6, 12, 18, 25, 31, 31, 37, 43, 50, 56, 62, 68, 75, 81, 87, 93}));
}

TEST_P(Writer, OneChangedBlockIsTheOnlyOneErasedAndWritten) {
  std::vector<char> image = Image(4 * block_);
  ASSERT_EQ(Write(image), 0);
  image[2 * block_ + 17] ^= 0x01;
  mtdsim::ClearCounters();
  ASSERT_EQ(Write(image), 0);
  EXPECT_EQ(mtdsim::Stats().erases, 1u);
  EXPECT_EQ(mtdsim::Stats().programmedBytes, block_);
  EXPECT_TRUE(HoldsImage(flash_, geometry_.size, image));
}

TEST_P(Writer, ShortImageIsPaddedInItsBlockAndTheRestErased) {
  Fill(flash_, geometry_.size, 0x00);
  std::vector<char> image = Image(1000);
  ASSERT_EQ(Printed([&] { EXPECT_EQ(Write(image), 0); }), Header(1000));
  EXPECT_TRUE(HoldsImage(flash_, geometry_.size, image));
  // NAND is programmed in whole pages, NOR byte by byte.
  EXPECT_EQ(mtdsim::Stats().programmedBytes, Nand() ? geometry_.writesize : 1000u);
  EXPECT_EQ(mtdsim::Stats().writeCalls, 1u);
}

TEST_P(Writer, ImageAlreadyInPlaceOnlyCleansTheBlocksAfterIt) {
  std::vector<char> image = Image(block_ + 100);
  memcpy(flash_, image.data(), image.size());
  Fill(flash_ + 5 * block_, 10, 0x12);  // stale data further on
  ASSERT_EQ(Write(image), 0);
  EXPECT_EQ(mtdsim::Stats().programmedBytes, 0u);
  EXPECT_EQ(mtdsim::Stats().erases, 1u);
  EXPECT_TRUE(HoldsImage(flash_, geometry_.size, image));
}

TEST_P(Writer, CleanMarkerBlocksAreKeptAndMarkerWithDataErased) {
  const uint8_t marker[12] = {0x85, 0x19, 0x03, 0x20, 0x0C, 0x00, 0x00, 0x00, 0xB1, 0xB0, 0x1E, 0xE4};
  memcpy(flash_ + 4 * block_, marker, 12);  // clean marker only: kept
  memcpy(flash_ + 6 * block_, marker, 12);  // marker plus data: erased
  flash_[6 * block_ + block_ - 1] = 0x00;
  memcpy(flash_ + 8 * block_, marker, 11);  // not quite a marker: erased
  std::vector<char> image = Image(2 * block_);
  ASSERT_EQ(Write(image), 0);
  EXPECT_EQ(memcmp(flash_ + 4 * block_, marker, 12), 0);
  memset(flash_ + 4 * block_, 0xFF, 12);
  EXPECT_TRUE(HoldsImage(flash_, geometry_.size, image));
}

TEST_P(Writer, RefusedEraseInTheImageFailsTheWrite) {
  mtdsim::FaultsOf(kNode)->refuseEraseBlock = 1;
  std::vector<char> image = Image(3 * block_);
  EXPECT_EQ(Printed([&] { EXPECT_EQ(Write(image), -1); }), Header(image.size()) + "Erasing mtd failed: /dev/mtd7\n");
  EXPECT_EQ(memcmp(flash_, image.data(), block_), 0) << "the block before it is written";
}

TEST_P(Writer, RefusedEraseAfterTheImageEndsOnlyTheCleanUp) {
  Fill(flash_ + 9 * block_, 2 * block_, 0x33);
  mtdsim::FaultsOf(kNode)->refuseEraseBlock = 9;
  std::vector<char> image = Image(2 * block_);
  EXPECT_EQ(Printed([&] { EXPECT_EQ(Write(image), 0); }), Header(image.size()) + "Erasing mtd failed: /dev/mtd7\n");
  EXPECT_EQ(memcmp(flash_, image.data(), image.size()), 0);
  EXPECT_EQ(flash_[10 * block_], 0x33) << "the pass ended at the refused block";
}

TEST_P(Writer, ImageLongerThanThePartitionFailsAtItsEnd) {
  std::vector<char> image = Image(geometry_.size + 10);
  std::string expected = Header(image.size());
  if (Nand()) {
    char line[64];
    snprintf(line, sizeof line, "Reading /dev/mtd7 OOB failed: %x\n   ", geometry_.size);
    expected += line;
  }
  expected += "Erasing mtd failed: /dev/mtd7\n";
  EXPECT_EQ(Printed([&] { EXPECT_EQ(Write(image), -1); }), expected);
  EXPECT_EQ(memcmp(flash_, image.data(), geometry_.size), 0);
}

TEST_P(Writer, ReadBackCatchesAFlippedBit) {
  mtdsim::FaultsOf(kNode)->flipBitOnReadBack = block_ + 5;
  std::vector<char> image = Image(3 * block_);
  EXPECT_EQ(Printed([&] { EXPECT_EQ(Write(image), -1); }), Header(image.size()) + "Post-Write check failed.\n");
}

TEST_P(Writer, DeviceWriteAndReadFailuresAreReported) {
  std::vector<char> image = Image(2 * block_);
  mtdsim::FaultsOf(kNode)->failWriteCall = 1;
  EXPECT_EQ(Printed([&] { EXPECT_EQ(Write(image), -1); }), Header(image.size()) + "Error writing image.\n");

  *mtdsim::FaultsOf(kNode) = mtdsim::Faults{};
  mtdsim::ClearCounters();
  image[0] ^= 1;
  mtdsim::FaultsOf(kNode)->shortWriteCall = 0;
  EXPECT_EQ(Printed([&] { EXPECT_EQ(Write(image), -1); }), Header(image.size()) + "Insufficient space.\n");

  *mtdsim::FaultsOf(kNode) = mtdsim::Faults{};
  image[0] ^= 1;
  // Reads of the first chunk: the comparison, then the read-back.
  int readsBefore = static_cast<int>(mtdsim::Stats().readCalls);
  mtdsim::FaultsOf(kNode)->shortReadCall = readsBefore + 1;
  EXPECT_EQ(Printed([&] { EXPECT_EQ(Write(image), -1); }), Header(image.size()) + "Error reading mtd.\n");
}

TEST_P(Writer, ProgressRisesWithTheImageThenWithTheCleanUp) {
  std::vector<char> image = Image(3 * block_);
  ASSERT_EQ(Write(image), 0);
  EXPECT_EQ(ProgressValues(), (std::vector<int>{6, 12, 18, 18, 25, 31, 37, 43, 50, 56, 62, 68, 75, 81, 87, 93}));

  ProgressCalls().clear();
  std::vector<char> whole = Image(geometry_.size, 2);
  ASSERT_EQ(Write(whole), 0);
  EXPECT_EQ(ProgressValues().back(), 100) << "a chunk ending at the partition's end";
}

// NAND only: bad blocks and the spare area.
class NandWriter : public Writer {};
INSTANTIATE_TEST_SUITE_P(Flash, NandWriter, testing::Values(Kind{"Nand", Sized(mtdsim::Nand(0))}),
                         [](const testing::TestParamInfo<Kind> &info) { return info.param.name; });

TEST_P(NandWriter, BadBlockInTheImageIsSkippedAndTheImageMovesOn) {
  mtdsim::MarkBad(kNode, 1);
  Fill(flash_ + block_, block_, 0x44);  // whatever a bad block holds
  std::vector<char> image = Image(2 * block_ + 300);
  std::string output = Printed([&] { EXPECT_EQ(Write(image), 0); });
  EXPECT_EQ(output, Header(image.size()) + "skip bad block 20000\n   ");
  EXPECT_EQ(memcmp(flash_, image.data(), block_), 0);
  EXPECT_EQ(flash_[block_], 0x44) << "the bad block was touched";
  EXPECT_EQ(memcmp(flash_ + 2 * block_, image.data() + block_, block_ + 300), 0);
  EXPECT_EQ(flash_[3 * block_ + 300], 0xFF);
  EXPECT_EQ(mtdsim::Stats().eraseRequests, 3u) << "blocks 0, 2 and 3 only; none of the bad block";
}

TEST_P(NandWriter, BadBlockAfterTheImageIsSkippedAndLaterBlocksStillCleaned) {
  mtdsim::MarkBad(kNode, 5);
  Fill(flash_ + 5 * block_, 4 * block_, 0x66);  // stale data behind and after it
  std::vector<char> image = Image(block_);
  std::string output = Printed([&] { EXPECT_EQ(Write(image), 0); });
  EXPECT_EQ(output, Header(image.size()) + "skip bad block a0000\n   ");
  EXPECT_EQ(flash_[5 * block_], 0x66);
  for (uint32_t b = 6; b < 9; ++b) EXPECT_EQ(flash_[b * block_], 0xFF) << "block " << b;
  EXPECT_EQ(ProgressValues().size(), static_cast<size_t>(kBlocks)) << "the bad block still reports progress";
}

TEST_P(NandWriter, RefusedSpareAreaReadCountsTheBlockAsGood) {
  mtdsim::FaultsOf(kNode)->refuseReadOob = true;
  std::vector<char> image = Image(block_ + 1);
  std::string output = Printed([&] { EXPECT_EQ(Write(image), 0); });
  // The image's two blocks and then every block of the erase-rest pass.
  std::string expected = Header(image.size());
  for (uint32_t b = 0; b < kBlocks; ++b) {
    char line[64];
    snprintf(line, sizeof line, "Reading /dev/mtd7 OOB failed: %x\n   ", b * block_);
    expected += line;
  }
  EXPECT_EQ(output, expected);
  EXPECT_TRUE(HoldsImage(flash_, geometry_.size, image));
}

TEST_P(NandWriter, PaddingOfAShortLastChunkIsErasedBytesNotAnEarlierChunk) {
  std::vector<char> image = Image(block_ + 10);
  ASSERT_EQ(Write(image), 0);
  EXPECT_TRUE(HoldsImage(flash_, geometry_.size, image));
}

TEST_F(FlashTest, ProgressStaysOnScaleOnPartitionsAboveFortyTwoMegabytes) {
  mtdsim::Geometry geometry = mtdsim::Nor(64 * kMiB, 256 * kKiB);
  Device(kNode, geometry);
  std::vector<char> image = Image(256 * kKiB);
  ASSERT_EQ(ZQDeviceWrite("rootfs", 0, image.data(), static_cast<int>(image.size())), 0);
  std::vector<int> values = ProgressValues();
  ASSERT_EQ(values.size(), 256u);
  for (size_t i = 1; i < values.size(); ++i) EXPECT_LE(values[i - 1], values[i]) << "at call " << i;
  EXPECT_EQ(values.back(), 99);
}

}  // namespace
}  // namespace flashtest

// The block compares take 128 bytes at a time where the core has NEON, a
// word at a time elsewhere and byte by byte at the end: one differing byte
// is found wherever it lies, whatever the alignment and the length.
TEST(BlockCompares, OneDifferentByteIsFoundAtEveryPositionAndAlignment) {
  constexpr size_t kSpan = 3 * 128 + 11;
  alignas(16) unsigned char erased[kSpan + 8];
  alignas(16) unsigned char copy[kSpan + 8];
  memset(erased, 0xFF, sizeof erased);
  for (size_t start = 0; start < 8; ++start) {
    for (size_t length : {size_t{0}, size_t{1}, size_t{127}, size_t{128}, size_t{257}, kSpan}) {
      memcpy(copy, erased, sizeof copy);
      EXPECT_TRUE(SameBytes(erased + start, copy + (start ^ 3), length));
      EXPECT_EQ(BufferIsErased(erased + start, static_cast<int>(length)), 1);
      for (size_t at = 0; at < length; ++at) {
        copy[(start ^ 3) + at] = 0xFE;
        EXPECT_FALSE(SameBytes(erased + start, copy + (start ^ 3), length)) << start << " " << length << " " << at;
        EXPECT_EQ(BufferIsErased(copy + (start ^ 3), static_cast<int>(length)), 0) << start << " " << length << " " << at;
        copy[(start ^ 3) + at] = 0xFF;
      }
    }
  }
}
