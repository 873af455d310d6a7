// Tests of the MTD simulator itself, through the same system calls the flash
// code makes.
#include "mtdsim.h"

#include <fcntl.h>
#include <mtd/mtd-abi.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr const char* kNand = "/dev/mtd4";
constexpr const char* kNor = "/dev/mtd1";
constexpr uint32_t kNorBlock = 4096;
const mtdsim::Geometry kNandGeometry = mtdsim::Nand(4 * 128 * 1024);
const mtdsim::Geometry kNorGeometry = mtdsim::Nor(4 * kNorBlock, kNorBlock);
const uint32_t kPage = kNandGeometry.writesize;

// The call fails, and with this errno.
#define EXPECT_ERRNO(error, call) \
  do {                            \
    errno = 0;                    \
    EXPECT_EQ(-1, (call));        \
    EXPECT_EQ((error), errno);    \
  } while (0)

class Sim : public ::testing::Test {
 protected:
  void SetUp() override {
    mtdsim::Reset();
    ASSERT_TRUE(mtdsim::AddDevice(kNand, kNandGeometry));
    ASSERT_TRUE(mtdsim::AddDevice(kNor, kNorGeometry));
  }
  void TearDown() override { mtdsim::Reset(); }  // also closes what a test left open

  static int Erase(int fd, uint32_t start, uint32_t length) {
    erase_info_user request{start, length};
    return ioctl(fd, MEMERASE, &request);
  }
  static int ReadOob(int fd, uint32_t start, std::vector<uint8_t>& spare) {
    mtd_oob_buf request{start, static_cast<uint32_t>(spare.size()), spare.data()};
    const int rc = ioctl(fd, MEMREADOOB, &request);
    if (rc == 0) spare.resize(request.length);
    return rc;
  }
  // Every byte of [offset, offset + length) of the device holds `value`.
  static bool All(const char* path, size_t offset, size_t length, uint8_t value) {
    const uint8_t* flash = mtdsim::Content(path) + offset;
    return std::all_of(flash, flash + length, [value](uint8_t b) { return b == value; });
  }
  static void Zero(const char* path, uint32_t size) { std::memset(mtdsim::Content(path), 0, size); }
  // Seeks to `at`, then writes `count` bytes of `value`.
  static ssize_t WriteAt(int fd, off_t at, size_t count, uint8_t value) {
    const std::vector<uint8_t> data(count, value);
    return lseek(fd, at, SEEK_SET) == at ? write(fd, data.data(), count) : -2;
  }
  static ssize_t ReadAt(int fd, off_t at, std::vector<uint8_t>& buffer) {
    return lseek(fd, at, SEEK_SET) == at ? read(fd, buffer.data(), buffer.size()) : -2;
  }

  const mtdsim::Counters& stats = mtdsim::Stats();
};

class Erasing : public Sim {};
class Programming : public Sim {};
class DeviceEnd : public Sim {};
class SpareArea : public Sim {};
class DeviceInfo : public Sim {};
class Faults : public Sim {};
class Files : public Sim {};

TEST_F(Erasing, RestoresExactlyTheRequestedWholeBlocksAndCountsThem) {
  Zero(kNor, kNorGeometry.size);
  const int fd = open(kNor, O_RDWR);
  EXPECT_ERRNO(EINVAL, Erase(fd, kNorBlock / 2, kNorBlock));  // misaligned start
  EXPECT_ERRNO(EINVAL, Erase(fd, 0, kNorBlock / 2));          // partial block
  EXPECT_ERRNO(EINVAL, Erase(fd, 0, 0));
  EXPECT_ERRNO(EINVAL, Erase(fd, kNorBlock, kNorGeometry.size));  // past the end
  EXPECT_TRUE(All(kNor, 0, kNorGeometry.size, 0x00));
  EXPECT_EQ(0u, stats.erases);
  EXPECT_EQ(0, Erase(fd, kNorBlock, 2 * kNorBlock));
  EXPECT_TRUE(All(kNor, 0, kNorBlock, 0x00));
  EXPECT_TRUE(All(kNor, kNorBlock, 2 * kNorBlock, 0xFF));
  EXPECT_TRUE(All(kNor, 3 * kNorBlock, kNorBlock, 0x00));
  EXPECT_EQ(2u, stats.erases);
  EXPECT_EQ(5u, stats.eraseRequests);
}

TEST_F(Erasing, StopsWithEioAtABadOrRefusedBlockKeepingTheEarlierOnes) {
  const uint32_t block = kNandGeometry.erasesize;
  Zero(kNand, kNandGeometry.size);
  mtdsim::MarkBad(kNand, 2);
  EXPECT_ERRNO(EIO, Erase(open(kNand, O_RDWR), 0, kNandGeometry.size));
  EXPECT_TRUE(All(kNand, 0, 2 * block, 0xFF));
  EXPECT_TRUE(All(kNand, 2 * block, 2 * block, 0x00));
  EXPECT_EQ(2u, stats.erases);

  Zero(kNor, kNorGeometry.size);
  mtdsim::FaultsOf(kNor)->refuseEraseBlock = 1;
  EXPECT_ERRNO(EIO, Erase(open(kNor, O_RDWR), 0, kNorGeometry.size));
  EXPECT_TRUE(All(kNor, 0, kNorBlock, 0xFF));
  EXPECT_TRUE(All(kNor, kNorBlock, 3 * kNorBlock, 0x00));
}

TEST_F(Programming, OverDataOnlyClearsBitsAndIsCounted) {
  const int fd = open(kNor, O_RDWR);
  for (uint8_t value : {0xF0, 0x3C, 0xFF}) {  // 0xFF is padding: harmless
    EXPECT_EQ(8, WriteAt(fd, 0, 8, value));
    EXPECT_EQ(value == 0xF0 ? 0u : 8u, stats.overProgrammed);
  }
  EXPECT_TRUE(All(kNor, 0, 8, 0xF0 & 0x3C));
  EXPECT_EQ(3u, stats.writeCalls);
  EXPECT_EQ(24u, stats.programmedBytes);
  // Unaligned, longer and shorter than a word: each byte counts once.
  EXPECT_EQ(11, WriteAt(fd, 5, 11, 0x0F));
  EXPECT_EQ(8u + 3u, stats.overProgrammed);
  EXPECT_EQ(3, WriteAt(fd, 13, 3, 0x00));
  EXPECT_EQ(8u + 3u + 3u, stats.overProgrammed);
  EXPECT_TRUE(All(kNor, 5, 3, 0xF0 & 0x3C & 0x0F));
  EXPECT_TRUE(All(kNor, 8, 5, 0x0F));
  EXPECT_TRUE(All(kNor, 13, 3, 0x00));
}

TEST_F(Programming, NandRefusesPartialPagesAndWritesNothing) {
  const int fd = open(kNand, O_RDWR);
  EXPECT_ERRNO(EINVAL, WriteAt(fd, 0, kPage - 1, 0x00));
  EXPECT_ERRNO(EINVAL, WriteAt(fd, 1, kPage, 0x00));
  EXPECT_TRUE(All(kNand, 0, kNandGeometry.size, 0xFF));
  EXPECT_EQ(0u, stats.programmedBytes);
}

TEST_F(DeviceEnd, ReadIsShortThenEmptyAndWriteIsShortThenEnospc) {
  const int fd = open(kNor, O_RDWR);
  const off_t tail = kNorGeometry.size - 10;
  EXPECT_EQ(10, WriteAt(fd, tail, 64, 0x00));
  EXPECT_TRUE(All(kNor, tail, 10, 0x00));
  EXPECT_ERRNO(ENOSPC, write(fd, "x", 1));
  std::vector<uint8_t> data(64, 0xAA);
  EXPECT_EQ(10, ReadAt(fd, tail, data));
  EXPECT_EQ(0, data[9]);
  EXPECT_EQ(0xAA, data[10]);
  EXPECT_EQ(0, read(fd, data.data(), data.size()));
  EXPECT_EQ(10u, stats.bytesRead);
}

TEST_F(DeviceEnd, SeekingOutsideTheDeviceFailsAndKeepsThePosition) {
  const int fd = open(kNor, O_RDWR);
  const off_t size = kNorGeometry.size;
  EXPECT_EQ(size, lseek(fd, 0, SEEK_END));
  EXPECT_EQ(100, lseek(fd, 100, SEEK_SET));
  EXPECT_ERRNO(EINVAL, lseek(fd, -1, SEEK_SET));
  EXPECT_ERRNO(EINVAL, lseek(fd, 1, SEEK_END));
  EXPECT_ERRNO(EINVAL, lseek(fd, -101, SEEK_CUR));
  EXPECT_ERRNO(EINVAL, lseek64(fd, size + 1, SEEK_SET));
  EXPECT_EQ(100, lseek64(fd, 0, SEEK_CUR));
}

TEST_F(SpareArea, IsErasedExceptTheBadBlockMarkerAndCanBeMissingOrRefused) {
  const uint32_t block = kNandGeometry.erasesize, oob = kNandGeometry.oobsize;
  mtdsim::MarkBad(kNand, 1);
  const int fd = open(kNand, O_RDONLY);
  std::vector<uint8_t> marker(oob, 0x55), expected(oob, 0xFF);
  ASSERT_EQ(0, ReadOob(fd, block, marker));
  expected[0] = 0x00;
  EXPECT_EQ(expected, marker);
  for (uint32_t start : {0u, block + kPage}) {  // a good block; not the first page
    std::vector<uint8_t> spare(oob, 0x55);
    ASSERT_EQ(0, ReadOob(fd, start, spare));
    EXPECT_EQ(std::vector<uint8_t>(oob, 0xFF), spare) << start;
  }
  std::vector<uint8_t> tooLong(oob + 1);
  EXPECT_ERRNO(EINVAL, ReadOob(fd, 0, tooLong));
  EXPECT_ERRNO(EINVAL, ReadOob(fd, kNandGeometry.size, marker));
  EXPECT_ERRNO(EOPNOTSUPP, ReadOob(open(kNor, O_RDONLY), 0, marker));
  mtdsim::FaultsOf(kNand)->refuseReadOob = true;
  EXPECT_ERRNO(EIO, ReadOob(fd, 0, marker));
  EXPECT_EQ(7u, stats.oobReads);
}

TEST_F(DeviceInfo, ReportsTheGeometryOfEachFlashType) {
  for (const auto& [path, g, flags] : {std::tuple{kNand, kNandGeometry, MTD_CAP_NANDFLASH},
                                       std::tuple{kNor, kNorGeometry, MTD_CAP_NORFLASH}}) {
    mtd_info_user info;
    std::memset(&info, 0x5A, sizeof info);
    ASSERT_EQ(0, ioctl(open(path, O_RDONLY), MEMGETINFO, &info)) << path;
    EXPECT_EQ(std::tuple(g.type, static_cast<uint32_t>(flags), g.size, g.erasesize, g.writesize,
                         g.oobsize, uint64_t{0}),
              std::tuple(info.type, info.flags, info.size, info.erasesize, info.writesize,
                         info.oobsize, uint64_t{info.padding}));
  }
}

TEST_F(DeviceInfo, UnknownRequestsRefusalAndOrdinaryFilesGiveEnotty) {
  mtd_info_user info{};
  const int fd = open(kNand, O_RDONLY);
  loff_t offset = 0;
  EXPECT_ERRNO(ENOTTY, ioctl(fd, MEMGETBADBLOCK, &offset));
  mtdsim::FaultsOf(kNand)->refuseGetInfo = true;
  EXPECT_ERRNO(ENOTTY, ioctl(fd, MEMGETINFO, &info));
  // Other descriptors get what the kernel says: ENOTTY, or ENOSYS from
  // qemu-arm, which does not know the MTD requests.
  const int null = open("/dev/null", O_RDONLY);
  errno = 0;
  EXPECT_EQ(-1, syscall(SYS_ioctl, null, MEMGETINFO, &info));
  const int kernelSays = errno;
  EXPECT_ERRNO(kernelSays, ioctl(null, MEMGETINFO, &info));
  close(null);
}

TEST_F(DeviceInfo, UnlockIsUnsupportedOnNandAndAcceptedOnNor) {
  erase_info_user all{0, kNandGeometry.size};
  EXPECT_ERRNO(EOPNOTSUPP, ioctl(open(kNand, O_RDWR), MEMUNLOCK, &all));
  all.length = kNorGeometry.size;
  EXPECT_EQ(0, ioctl(open(kNor, O_RDWR), MEMUNLOCK, &all));
  EXPECT_EQ(2u, stats.unlocks);
}

TEST_F(Faults, FailedWriteLeavesFlashUntouchedAndThePositionWhereItWas) {
  mtdsim::FaultsOf(kNor)->failWriteCall = 1;
  const int fd = open(kNor, O_RDWR);
  const std::vector<uint8_t> data(16, 0x00);
  EXPECT_EQ(16, write(fd, data.data(), data.size()));
  EXPECT_ERRNO(EIO, write(fd, data.data(), data.size()));
  EXPECT_TRUE(All(kNor, 16, 16, 0xFF));
  EXPECT_EQ(16, write(fd, data.data(), data.size()));  // lands right after the first
  EXPECT_TRUE(All(kNor, 16, 16, 0x00));
}

TEST_F(Faults, ShortWriteProgramsWholePagesOfTheFirstHalf) {
  mtdsim::FaultsOf(kNand)->shortWriteCall = 0;
  EXPECT_EQ(static_cast<ssize_t>(kPage), WriteAt(open(kNand, O_RDWR), 0, 3 * kPage, 0x00));
  EXPECT_TRUE(All(kNand, 0, kPage, 0x00));
  EXPECT_TRUE(All(kNand, kPage, 2 * kPage, 0xFF));
}

TEST_F(Faults, ShortReadReturnsHalfAndAdvancesByIt) {
  mtdsim::FaultsOf(kNor)->shortReadCall = 1;
  const int fd = open(kNor, O_RDONLY);
  std::vector<uint8_t> buffer(100);
  EXPECT_EQ(100, read(fd, buffer.data(), buffer.size()));
  EXPECT_EQ(50, read(fd, buffer.data(), buffer.size()));
  EXPECT_EQ(150, lseek(fd, 0, SEEK_CUR));
}

TEST_F(Faults, FlippedBitShowsOnceAfterTheWriteWhileFlashKeepsTheValue) {
  mtdsim::FaultsOf(kNor)->flipBitOnReadBack = 5;
  const int fd = open(kNor, O_RDWR);
  std::vector<uint8_t> buffer(16);
  EXPECT_EQ(16, ReadAt(fd, 0, buffer));
  EXPECT_EQ(0xFF, buffer[5]);  // not written yet: no flip
  EXPECT_EQ(16, WriteAt(fd, 0, 16, 0xA4));
  for (uint8_t expected : {0xA4 ^ 0x01, 0xA4}) {
    EXPECT_EQ(16, ReadAt(fd, 0, buffer));
    EXPECT_EQ(expected, buffer[5]);
    EXPECT_EQ(0xA4, buffer[4]);
    EXPECT_EQ(0xA4, mtdsim::Content(kNor)[5]);
  }
  EXPECT_LT(mtdsim::FaultsOf(kNor)->flipBitOnReadBack, 0);
}

TEST_F(Files, ProcMtdIsAbsentUntilSetAndReadsAsAPrivateCopy) {
  errno = 0;
  EXPECT_EQ(nullptr, fopen("/proc/mtd", "r"));
  EXPECT_EQ(ENOENT, errno);
  const std::vector<std::string> lines = {"dev:    size   erasesize  name\n",
                                          "mtd0: 00040000 00020000 \"boot\"\n"};
  mtdsim::SetProcMtd((lines[0] + lines[1]).c_str());
  FILE* file = fopen("/proc/mtd", "r");
  ASSERT_NE(nullptr, file);
  mtdsim::SetProcMtd("changed\n");
  char line[128];
  for (const std::string& expected : lines) {
    ASSERT_NE(nullptr, fgets(line, sizeof line, file));
    EXPECT_EQ(expected, line);
  }
  EXPECT_EQ(nullptr, fgets(line, sizeof line, file));
  fclose(file);
}

TEST_F(Files, OrdinaryFilesReachTheFileSystemWithTheirMode) {
  const std::string path = ::testing::TempDir() + "mtdsim_passthrough_" + std::to_string(getpid());
  const mode_t mask = umask(022);
  const int out = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0640);
  ASSERT_GE(out, 0);
  EXPECT_EQ(5, write(out, "hello", 5));
  EXPECT_EQ(0, close(out));
  struct stat st {};
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 0777);
  char back[8] = {};
  const int in = open(path.c_str(), O_RDONLY);
  EXPECT_EQ(5, read(in, back, sizeof back));
  EXPECT_STREQ("hello", back);
  close(in);
  umask(mask);
  unlink(path.c_str());
  EXPECT_EQ(0u, stats.writeCalls + stats.readCalls);
  EXPECT_ERRNO(ENOENT, open("/dev/mtd9", O_RDONLY));  // not registered
}

TEST_F(Files, DescriptorsAreReallyReservedUntilCloseOrReset) {
  const int fd = open(kNor, O_RDWR), other = open(kNand, O_RDONLY);
  EXPECT_NE(-1, fcntl(fd, F_GETFD));          // the number is really taken
  EXPECT_ERRNO(EBADF, write(other, "x", 1));  // opened read-only
  EXPECT_EQ(0, close(fd));
  EXPECT_ERRNO(EBADF, fcntl(fd, F_GETFD));
  mtdsim::Reset();
  EXPECT_ERRNO(EBADF, fcntl(other, F_GETFD));
}

TEST_F(Files, OpenLogListsEveryPathInOrderAndCountersCount) {
  const int fd = open(kNor, O_RDONLY);
  close(open("/dev/null", O_RDONLY));
  EXPECT_EQ(nullptr, fopen("/proc/mtd", "r"));
  EXPECT_EQ(-1, open("/dev/mtd7", O_RDONLY));
  EXPECT_EQ(std::string(kNor) + "\n/dev/null\n/proc/mtd\n/dev/mtd7", mtdsim::OpenLog());
  char pair[2];
  EXPECT_EQ(2, read(fd, pair, 2));
  sync();
  sync();
  EXPECT_EQ(std::tuple(1u, 1u, 2u, 2u),
            std::tuple(stats.opens, stats.readCalls, stats.bytesRead, stats.syncs));
  mtdsim::ClearCounters();
  EXPECT_EQ(0u, stats.syncs + stats.readCalls + stats.opens + stats.bytesRead);
  EXPECT_STRNE("", mtdsim::OpenLog());  // only Reset forgets the opens
  mtdsim::FaultsOf(kNor)->shortReadCall = 0;  // numbered from the clear
  EXPECT_EQ(1, read(fd, pair, 2));
}

}  // namespace
