// Erasing and invalidating the boot-loader environment on "uenv".

#include "flash_fixture.h"

namespace flashtest {
namespace {

constexpr const char *kNode = "/dev/mtd4";

using BootEnv = FlashTest;

mtdsim::Geometry SixteenBlocks(mtdsim::Geometry g) {
  g.size = 16 * g.erasesize;
  return g;
}

bool AllErased(const uint8_t *at, size_t len) {
  for (size_t i = 0; i < len; ++i)
    if (at[i] != 0xFF) return false;
  return true;
}

TEST_F(BootEnv, EraseWithoutThePartitionFailsWithTheProbesLine) {
  EXPECT_EQ(Printed([] { EXPECT_EQ(ZQDeviceEraseBootEnv(), -1); }),
            "Could not open mtd device: /dev/mtd4\nCan't open device for writing!\n");
}

TEST_F(BootEnv, EraseClearsEveryBlockAndReportsOnAScaleOfForty) {
  for (mtdsim::Geometry g : {mtdsim::Nand(0), mtdsim::Nor(0, 64 * kKiB)}) {
    mtdsim::Reset();
    ProgressCalls().clear();
    g = SixteenBlocks(g);
    uint8_t *flash = Device(kNode, g);
    Fill(flash, g.size, 0x21);
    EXPECT_EQ(Printed([] { EXPECT_EQ(ZQDeviceEraseBootEnv(), 0); }), "");
    EXPECT_TRUE(AllErased(flash, g.size));
    EXPECT_EQ(ProgressValues(), (std::vector<int>{0, 2, 5, 7, 10, 12, 15, 17, 20, 22, 25, 27, 30, 32, 35, 37}));
    EXPECT_EQ(mtdsim::Stats().unlocks, 16u) << "every block is unlocked before its erase";
  }
}

TEST_F(BootEnv, EraseSkipsABadBlockAndErasesTheCopiesBehindIt) {
  mtdsim::Geometry g = SixteenBlocks(mtdsim::Nand(0));
  uint8_t *flash = Device(kNode, g);
  Fill(flash, g.size, 0x21);
  mtdsim::MarkBad(kNode, 2);
  EXPECT_EQ(Printed([] { EXPECT_EQ(ZQDeviceEraseBootEnv(), 0); }), "skip bad block 40000\n   ");
  EXPECT_TRUE(AllErased(flash, 2 * g.erasesize));
  EXPECT_TRUE(AllErased(flash + 3 * g.erasesize, 13 * g.erasesize));
  EXPECT_EQ(ProgressValues().size(), 16u);
}

TEST_F(BootEnv, RefusedEraseStopsAndIsReportedAsAFailure) {
  mtdsim::Geometry g = SixteenBlocks(mtdsim::Nor(0, 64 * kKiB));
  uint8_t *flash = Device(kNode, g);
  Fill(flash, g.size, 0x21);
  mtdsim::FaultsOf(kNode)->refuseEraseBlock = 3;
  EXPECT_EQ(Printed([] { EXPECT_EQ(ZQDeviceEraseBootEnv(), -1); }), "Failed to erase block on /dev/mtd4 at 0x30000\n");
  EXPECT_TRUE(AllErased(flash, 3 * g.erasesize));
  EXPECT_EQ(flash[3 * g.erasesize], 0x21);
}

TEST_F(BootEnv, InvalidatingZeroesTheCrcAndKeepsTheVariables) {
  for (mtdsim::Geometry g : {mtdsim::Nand(0), mtdsim::Nor(0, 64 * kKiB)}) {
    mtdsim::Reset();
    g = SixteenBlocks(g);
    uint8_t *flash = Device(kNode, g);
    // A stored environment: CRC, variables, and a second copy further on.
    for (uint32_t i = 0; i < 4096; ++i) flash[i] = static_cast<uint8_t>(i % 251);
    memcpy(flash + g.erasesize, flash, 4096);
    std::vector<uint8_t> before(flash, flash + 256);

    EXPECT_EQ(Printed([] { EXPECT_EQ(ZQDeviceEraseOneBootEnv(), 0); }), "Writing from to uenv,offset:0 len:256\n");
    EXPECT_TRUE(AllErased(flash, 0) && flash[0] == 0 && flash[1] == 0 && flash[2] == 0 && flash[3] == 0);
    EXPECT_EQ(memcmp(flash + 4, before.data() + 4, 252), 0);
    EXPECT_TRUE(AllErased(flash + 256, g.size - 256));
  }
}

TEST_F(BootEnv, InvalidatingWithoutThePartitionWritesNothingAndFails) {
  std::string expected = "Could not open mtd device: /dev/mtd4\nCan't open device for writing!\n";
  EXPECT_EQ(Printed([] { EXPECT_EQ(ZQDeviceEraseOneBootEnv(), -1); }), expected + expected);
}

TEST_F(BootEnv, InvalidatingAfterAShortReadWritesErasedBytesNotGarbage) {
  mtdsim::Geometry g = SixteenBlocks(mtdsim::Nor(0, 64 * kKiB));
  uint8_t *flash = Device(kNode, g);
  Fill(flash, g.size, 0x21);
  mtdsim::FaultsOf(kNode)->shortReadCall = 0;  // the header read delivers half
  EXPECT_EQ(Printed([] { EXPECT_EQ(ZQDeviceEraseOneBootEnv(), 0); }), "Failed to read\nWriting from to uenv,offset:0 len:256\n");
  EXPECT_EQ(flash[0] | flash[1] | flash[2] | flash[3], 0);
  EXPECT_TRUE(AllErased(flash + 256, g.size - 256));
}

}  // namespace
}  // namespace flashtest
