// Partition names, device lookup, probing and reading.

#include <fcntl.h>
#include <unistd.h>

#include "flash_fixture.h"

namespace flashtest {
namespace {

using Partitions = FlashTest;

const char *const kNodes[] = {"/dev/mtd1", "/dev/mtd3", "/dev/mtd4", "/dev/mtd5",
                              "/dev/mtd6", "/dev/mtd7", "/dev/mtd8"};

TEST_F(Partitions, EveryWritableNameReachesItsOwnNodeByPrefix) {
  for (const char *node : kNodes) Device(node, mtdsim::Nor(256 * kKiB, 64 * kKiB));
  const struct {
    const char *name;
    const char *node;
  } cases[] = {{"fdt", "/dev/mtd1"},     {"u-boot", "/dev/mtd3"},  {"uenv", "/dev/mtd4"},
               {"factory", "/dev/mtd5"}, {"uImage", "/dev/mtd6"},  {"rootfs2", "/dev/mtd7"},
               {"customer", "/dev/mtd8"}};
  char marker = 'A';
  for (const auto &c : cases) {
    ASSERT_EQ(ZQDeviceWrite(c.name, 0, &marker, 1), 0) << c.name;
    for (const char *node : kNodes) {
      bool target = strcmp(node, c.node) == 0;
      EXPECT_EQ(mtdsim::Content(node)[0], target ? marker : 0xFF) << c.name << " touched " << node;
      mtdsim::Content(node)[0] = 0xFF;
    }
    ++marker;
  }
}

TEST_F(Partitions, UnknownNamesAndBadArgumentsAreRefusedSilently) {
  Device("/dev/mtd7", mtdsim::Nor(256 * kKiB, 64 * kKiB));
  char data[4] = {1, 2, 3, 4};
  std::string output = Printed([&] {
    EXPECT_EQ(ZQDeviceWrite("kernel", 0, data, 4), -1);
    EXPECT_EQ(ZQDeviceWrite("root", 0, data, 4), -1);  // shorter than "rootfs"
    EXPECT_EQ(ZQDeviceWrite(nullptr, 0, data, 4), -1);
    EXPECT_EQ(ZQDeviceWrite("rootfs", 0, nullptr, 4), -1);
    EXPECT_EQ(ZQDeviceWrite("rootfs", 0, data, 0), -1);
    EXPECT_EQ(ZQDeviceWrite("rootfs", 0, data, -1), -1);
    EXPECT_EQ(ZQDeviceWrite("rootfs", 4, data, 4), -1);  // writes always start at 0
    EXPECT_EQ(ZQDeviceRead("u-boot", 0, data, 4), -1);   // not readable
    EXPECT_EQ(ZQDeviceRead("factory", 0, data, 0), -1);
    EXPECT_EQ(ZQDeviceRead("factory", 0, data, -5), -1);
    EXPECT_EQ(ZQDeviceRead("factory", -1, data, 4), -1);
    EXPECT_EQ(ZQDeviceRead("factory", 0, nullptr, 4), -1);
    EXPECT_EQ(ZQDeviceRead(nullptr, 0, data, 4), -1);
  });
  EXPECT_EQ(output, "");
  EXPECT_EQ(mtdsim::Stats().opens, 0u);
  EXPECT_EQ(std::string(mtdsim::OpenLog()).find("mtd"), std::string::npos) << mtdsim::OpenLog();
}

TEST_F(Partitions, ReadDeliversBytesFromTheRequestedOffset) {
  uint8_t *factory = Device("/dev/mtd5", mtdsim::Nand(1 * kMiB));
  uint8_t *uenv = Device("/dev/mtd4", mtdsim::Nor(256 * kKiB, 64 * kKiB));
  for (uint32_t i = 0; i < 1 * kMiB; ++i) factory[i] = static_cast<uint8_t>(i * 7);
  for (uint32_t i = 0; i < 256 * kKiB; ++i) uenv[i] = static_cast<uint8_t>(i * 3);

  unsigned char buf[300];
  ASSERT_EQ(ZQDeviceRead("factory", 0, buf, 300), 0);
  EXPECT_EQ(memcmp(buf, factory, 300), 0);
  ASSERT_EQ(ZQDeviceRead("factory", 5000, buf, 300), 0);
  EXPECT_EQ(memcmp(buf, factory + 5000, 300), 0);
  ASSERT_EQ(ZQDeviceRead("uenvX", 0, buf, 256), 0);  // matched by prefix
  EXPECT_EQ(memcmp(buf, uenv, 256), 0);
  // The probe and the reader each open the device once.
  EXPECT_EQ(mtdsim::Stats().opens, 6u);
}

TEST_F(Partitions, ReadPastTheEndFails) {
  Device("/dev/mtd4", mtdsim::Nor(64 * kKiB, 64 * kKiB));
  std::vector<char> buf(64 * kKiB + 1);
  EXPECT_EQ(Printed([&] { EXPECT_EQ(ZQDeviceRead("uenv", 0, buf.data(), 64 * kKiB + 1), -1); }), "Failed to read\n");
  EXPECT_EQ(Printed([&] { EXPECT_EQ(ZQDeviceRead("uenv", 64 * kKiB - 2, buf.data(), 4), -1); }), "Failed to read\n");
  EXPECT_EQ(Printed([&] { EXPECT_EQ(ZQDeviceRead("uenv", 128 * kKiB, buf.data(), 4), -1); }), "Failed to read\n");
  EXPECT_EQ(ZQDeviceRead("uenv", 64 * kKiB - 4, buf.data(), 4), 0);
}

TEST_F(Partitions, FailedProbePrintsItsCauseThenTheOperationsLine) {
  char data[1] = {0};
  EXPECT_EQ(Printed([&] { EXPECT_EQ(ZQDeviceRead("uenv", 0, data, 1), -1); }),
            "Could not open mtd device: /dev/mtd4\nCan't open device for writing!\n");
  EXPECT_EQ(Printed([&] { EXPECT_EQ(ZQDeviceWrite("uenv", 0, data, 1), -1); }),
            "Could not open mtd device: /dev/mtd4\nCan't open device for writing!\n");

  Device("/dev/mtd4", mtdsim::Nand(1 * kMiB));
  mtdsim::FaultsOf("/dev/mtd4")->refuseGetInfo = true;
  EXPECT_EQ(Printed([&] { EXPECT_EQ(ZQDeviceWrite("uenv", 0, data, 1), -1); }),
            "Could not get MTD device info from /dev/mtd4\nCan't open device for writing!\n");
  EXPECT_EQ(mtdsim::Stats().writeCalls, 0u);
}

TEST_F(Partitions, ListedNameOpensItsNumberedNodesAndNeverThePath) {
  mtdsim::SetProcMtd(
      "dev:    size   erasesize  name\n"
      "mtd1: 00100000 00020000 \"fdt\"\n"
      "some line mentioning \"uenv\"\n"
      "mtd4: 00100000 00020000 \"uenv\"\n");
  Device("/dev/mtd4", mtdsim::Nand(1 * kMiB));
  int fd = DeviceOpen("uenv", O_RDWR | O_SYNC);
  EXPECT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(std::string(mtdsim::OpenLog()), "/proc/mtd\n/dev/mtd/4\n/dev/mtd4");

  mtdsim::Reset();
  mtdsim::SetProcMtd("mtd4: 00100000 00020000 \"uenv\"\n");
  EXPECT_LT(DeviceOpen("uenv", O_RDWR), 0) << "listed, but no node exists";
  EXPECT_EQ(std::string(mtdsim::OpenLog()), "/proc/mtd\n/dev/mtd/4\n/dev/mtd4");
}

TEST_F(Partitions, PathsOpenDirectlyWithOrWithoutThePartitionList) {
  Device("/dev/mtd4", mtdsim::Nand(1 * kMiB));
  int fd = DeviceOpen("/dev/mtd4", O_RDWR);
  EXPECT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(std::string(mtdsim::OpenLog()), "/proc/mtd\n/dev/mtd4");

  mtdsim::SetProcMtd("mtd4: 00100000 00020000 \"uenv\"\n");
  fd = DeviceOpen("/dev/mtd4", O_RDWR);
  EXPECT_GE(fd, 0);
  close(fd);

  // A name too long for the lookup is not matched truncated: it is a path.
  std::string longName = "/dev/mtd4" + std::string(40, 'x');
  mtdsim::Reset();
  mtdsim::SetProcMtd(("mtd4: 00100000 00020000 \"" + longName.substr(0, 29) + "\"\n").c_str());
  EXPECT_LT(DeviceOpen(longName.c_str(), O_RDWR), 0);
  EXPECT_EQ(std::string(mtdsim::OpenLog()), longName);

  EXPECT_EQ(Printed([] { EXPECT_EQ(DeviceOpen(nullptr, O_RDWR), -1); }), "mtd is NULL\n");
}

TEST_F(Partitions, ProbeAnswersWhetherTheDeviceIsFlash) {
  Device("/dev/mtd5", mtdsim::Nand(1 * kMiB));
  EXPECT_EQ(DeviceCheck("/dev/mtd5"), 1);
  EXPECT_EQ(Printed([] { EXPECT_EQ(DeviceCheck("/dev/null"), 0); }),
            "Could not get MTD device info from /dev/null\n");
  EXPECT_EQ(Printed([] { EXPECT_EQ(DeviceCheck("/dev/mtd9"), 0); }), "Could not open mtd device: /dev/mtd9\n");
}

TEST_F(Partitions, ClearedCallbackStopsProgressCalls) {
  Device("/dev/mtd7", mtdsim::Nor(256 * kKiB, 64 * kKiB));
  char data[8] = {};
  ASSERT_EQ(ZQDeviceWrite("rootfs", 0, data, 8), 0);
  EXPECT_FALSE(ProgressCalls().empty());
  for (const auto &call : ProgressCalls()) EXPECT_EQ(call.first, 0);

  ProgressCalls().clear();
  EXPECT_EQ(ZQDeviceSetCallback(nullptr), 0);
  data[0] = 1;
  ASSERT_EQ(ZQDeviceWrite("rootfs", 0, data, 8), 0);
  EXPECT_TRUE(ProgressCalls().empty());
}

}  // namespace
}  // namespace flashtest
