// bootguard-check's checks against a camera made of fed files: a healthy
// camera passes every check; each row below breaks one part of the
// contract and names the check that must catch it, its verdict and a piece
// of its line.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "check.h"

namespace {

constexpr const char *kAbsent = "<absent>";
constexpr size_t kEnvSize = 0x1000;

// Variables as a stored environment holds them, each ended by a NUL.
std::string Vars(std::initializer_list<const char *> entries) {
  std::string all;
  for (const char *entry : entries) all += std::string(entry) + '\0';
  return all;
}

std::string Repeated(const std::string &text, int times) {
  std::string all;
  for (int time = 0; time < times; ++time) all += text;
  return all;
}

// A stored environment image: CRC, [flag,] variables, zero padding.
std::string EnvImage(const std::string &variables, bool redundant = false, unsigned char flag = 0) {
  std::string image(kEnvSize, '\0');
  size_t header = EnvHeaderSize(redundant);
  image.replace(header, variables.size(), variables);
  if (redundant) image[4] = static_cast<char>(flag);
  uint32_t crc = EnvCrc32(reinterpret_cast<const unsigned char *>(image.data()) + header, kEnvSize - header);
  for (int byte = 0; byte < 4; ++byte) image[static_cast<size_t>(byte)] = static_cast<char>(crc >> (8 * byte));
  return image;
}

const std::string kGoodVariables = Vars({"bootcmd=run bootguard_count; run choose",
                                         "choose=if test ${ota_upgrade_status} = 1; then run recovery; fi", "bootlimit=5"});

// path -> content of a camera that keeps its whole contract.
std::map<std::string, std::string> HealthyCamera() {
  return {
      {"/proc/self/mountinfo",
       "1 0 0:1 / / rw - rootfs rootfs rw\n"
       "20 1 0:19 / /tmp rw,relatime - tmpfs tmpfs rw\n"
       "30 1 31:8 / /customer rw,relatime - jffs2 mtd8 rw\n"},
      {"/proc/mtd",
       "dev:    size   erasesize  name\n"
       "mtd0: 04000000 00001000 \"flash\"\nmtd1: 00020000 00001000 \"fdt\"\nmtd2: 00010000 00001000 \"spl\"\n"
       "mtd3: 00070000 00001000 \"u-boot\"\nmtd4: 00020000 00001000 \"uenv\"\nmtd5: 00100000 00001000 \"factory\"\n"
       "mtd6: 00400000 00001000 \"uImage\"\nmtd7: 01000000 00001000 \"rootfs\"\nmtd8: 00800000 00001000 \"customer\"\n"},
      {"/sys/class/mtd/mtd4/flags", "0xc00\n"},
      {"/sys/class/mtd/mtd4/erasesize", "4096\n"},
      {"/etc/fw_env.config", "# device offset size sector-size\n/dev/mtd4 0x0 0x1000 0x1000 1\n"},
      {"/dev/mtd4", EnvImage(kGoodVariables)},
      {"/etc/u-boot-initial-env", "bootcmd=if test ${ota_upgrade_status} = 1; then reset; fi\n"},
      {"/etc/fw_setenv", "#!/bin/sh\n"},
      {"/proc/sys/kernel/panic", "5\n"},
      {"/sys/class/watchdog/watchdog0/timeout", "60\n"},
      {"/etc/init.d/S99bootguard", "#!/bin/sh\nBOOTGUARD=/usr/sbin/bootguard\n"},
      {"/usr/sbin/bootguard", "\x7f" "ELF"},
  };
}

struct Case {
  const char *behaviour;
  std::map<std::string, std::string> changes;  // kAbsent removes the file
  const char *check;
  Verdict verdict;
  const char *saying;
};

const std::vector<Case> kCases = {
    {"/customer only a directory of the root", {{"/proc/self/mountinfo", "1 0 0:1 / / rw - ext4 /dev/root rw\n"}},
     "customer", kFail, "not a mount point of its own"},
    {"/customer on tmpfs", {{"/proc/self/mountinfo", "30 1 0:2 / /customer rw - tmpfs tmpfs rw\n20 1 0:19 / /tmp rw - tmpfs tmpfs rw\n"}},
     "customer", kFail, "is a tmpfs"},
    {"/customer read-only, an earlier writable mount hidden by it",
     {{"/proc/self/mountinfo", "30 1 31:8 / /customer rw - jffs2 mtd8 rw\n31 1 31:8 / /customer ro,relatime - jffs2 mtd8 ro\n"}},
     "customer", kFail, "read-only"},
    {"a counter that is no number", {{"/customer/bootfailed", "two\n"}}, "counter", kWarn, "no number"},
    {"bootguard switched off", {{"/customer/debug", ""}}, "debug", kWarn, "switched off"},
    {"/tmp on the persistent root", {{"/proc/self/mountinfo", "1 0 8:1 / / rw - ext4 /dev/root rw\n30 1 31:8 / /customer rw - jffs2 mtd8 rw\n"}},
     "tmp", kFail, "outlives a restart"},
    {"no fw_setenv", {{"/etc/fw_setenv", kAbsent}}, "fw_setenv", kFail, "missing or not executable"},
    {"a config line of 40 fields", {{"/etc/fw_env.config", "\n/dev/mtd4" + Repeated(" 0", 39) + "\n"}},
     "fw_env.config", kFail, "line 2: not DEVICE OFFSET SIZE"},
    {"a config that is binary", {{"/etc/fw_env.config", std::string("\x01\xff\0/dev", 7)}}, "fw_env.config", kFail, "line 1"},
    {"an offset past the partition", {{"/etc/fw_env.config", "/dev/mtd4 0x20000 0x1000 0x1000\n"}},
     "env-partition", kFail, "past the end of mtd4 \"uenv\""},
    {"the partition read-only", {{"/sys/class/mtd/mtd4/flags", "0x800\n"}}, "env-partition", kFail, "is read-only"},
    {"a sector size the erase size does not divide", {{"/etc/fw_env.config", "/dev/mtd4 0 0x1000 0x1800\n"}},
     "env-partition", kFail, "not a multiple of mtd4's erase size"},
    {"a device that is no MTD partition", {{"/etc/fw_env.config", "/dev/mmcblk0 0 0x1000\n"}}, "env-partition", kFail,
     "no MTD device"},
    {"a bad CRC with the factory environment there", {{"/dev/mtd4", std::string(kEnvSize, '\xff')}}, "env-crc", kWarn,
     "rebuilds it from /etc/u-boot-initial-env"},
    {"a bad CRC and no factory environment", {{"/dev/mtd4", std::string(kEnvSize, '\xff')}, {"/etc/u-boot-initial-env", kAbsent}},
     "env-crc", kFail, "cannot rebuild it"},
    {"an environment image cut short", {{"/dev/mtd4", std::string(100, '\0')}}, "env-crc", kFail, "holds only 100 of"},
    {"no factory environment", {{"/etc/u-boot-initial-env", ""}}, "initial-env", kFail, "missing or empty"},
    {"a bootcmd that never looks at the flag", {{"/dev/mtd4", EnvImage(Vars({"bootcmd=run choose", "choose=bootz"}))}},
     "bootcmd", kFail, "never refers to ota_upgrade_status"},
    {"bootcmd read from the factory environment when the stored one is bad",
     {{"/dev/mtd4", std::string(kEnvSize, '\0')}, {"/etc/u-boot-initial-env", "bootcmd=bootz\n"}}, "bootcmd", kFail,
     "in /etc/u-boot-initial-env never refers"},
    {"a redundant pair: the newer copy is read", {{"/etc/fw_env.config", "/dev/mtd4 0 0x1000 0x1000\n/dev/mtd4 0x1000 0x1000 0x1000\n"},
       {"/dev/mtd4", EnvImage(kGoodVariables, true, 7) + EnvImage(Vars({"bootcmd=bootz"}), true, 8)}},
     "bootcmd", kFail, "never refers"},
    {"no attempt counter in bootcmd", {{"/dev/mtd4", EnvImage(Vars({"bootcmd=run choose", "choose=${ota_upgrade_status}", "bootlimit=5"}))}},
     "attempt-counter", kWarn, "does not run bootguard_count"},
    {"a bootlimit of 3", {{"/dev/mtd4", EnvImage(Vars({"bootcmd=run bootguard_count ota_upgrade_status", "bootlimit=3"}))}},
     "attempt-counter", kWarn, "not a number above 3"},
    {"panic=0", {{"/proc/sys/kernel/panic", "0\n"}}, "kernel-panic", kFail, "hangs the camera for ever"},
    {"a watchdog within the settle", {{"/sys/class/watchdog/watchdog1/timeout", "30\n"}}, "watchdog", kWarn, "is 30 s"},
    {"two names swapped", {{"/proc/mtd", "mtd1: 00020000 00001000 \"uImage\"\nmtd6: 00400000 00001000 \"fdt\"\n"}},
     "partitions", kFail, "\"fdt\" is mtd6 in /proc/mtd, but bootguard writes fdt to /dev/mtd1, which holds \"uImage\""},
    {"a name at another node's place", {{"/proc/mtd", "mtd1: 00020000 00001000 \"dtb\"\n"}}, "partitions", kFail,
     "/dev/mtd1 holds \"dtb\""},
    {"names the camera does not have", {{"/proc/mtd", "mtd4: 00020000 00001000 \"uenv\"\n"}}, "partitions", kWarn,
     "no partition named fdt u-boot factory"},
    {"a /proc/mtd line of 5000 characters", {{"/proc/mtd", "mtd1: 1 1 \"" + std::string(5000, 'a') + "\"\n"}}, "partitions",
     kFail, "/proc/mtd line 1"},
    {"no start file", {{"/etc/init.d/S99bootguard", kAbsent}}, "start", kFail, "missing or not executable"},
    {"a start file naming no program", {{"/usr/sbin/bootguard", kAbsent}}, "start", kFail, "not an installed program"},
    {"systemd without the unit enabled", {{"/run/systemd/system/.keep", ""}}, "start", kFail, "not enabled"},
};

class CheckTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/bootguard-check-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override { ASSERT_EQ(system(("rm -rf '" + root_ + "'").c_str()), 0); }

  void Lay(const std::map<std::string, std::string> &files) {
    for (const auto &[path, content] : files) {
      std::string full = root_ + path;
      if (content == kAbsent) {
        remove(full.c_str());
        continue;
      }
      for (size_t slash = full.find('/', root_.size() + 1); slash != std::string::npos; slash = full.find('/', slash + 1)) {
        mkdir(full.substr(0, slash).c_str(), 0755);
      }
      FILE *file = fopen(full.c_str(), "wb");
      ASSERT_NE(file, nullptr);
      fwrite(content.data(), 1, content.size(), file);
      fclose(file);
      chmod(full.c_str(), 0755);
    }
  }
  Finding Run(const char *name) {
    size_t count = 0;
    const Check *checks = Checks(&count);
    Finding finding{kFail, "no such check"};
    Camera camera = CameraAt(root_.c_str());
    for (size_t index = 0; index < count; ++index) {
      if (strcmp(checks[index].name, name) == 0) checks[index].run(&camera, &finding);
    }
    ReleaseCamera(&camera);
    return finding;
  }

  std::string root_;
};

TEST_F(CheckTest, TheCrcIsUBootsCrc32) {
  EXPECT_EQ(EnvCrc32(reinterpret_cast<const unsigned char *>("123456789"), 9), 0xCBF43926u);
}

TEST_F(CheckTest, AHealthyCameraPassesEveryCheck) {
  Lay(HealthyCamera());
  size_t count = 0;
  const Check *checks = Checks(&count);
  for (size_t index = 0; index < count; ++index) {
    Finding finding = Run(checks[index].name);
    EXPECT_EQ(finding.verdict, kPass) << checks[index].name << ": " << finding.text;
  }
  EXPECT_EQ(RunChecks(root_.c_str()), 0);
}

TEST_F(CheckTest, EachBrokenPartOfTheContractIsCaught) {
  for (const Case &row : kCases) {
    TearDown();
    SetUp();
    Lay(HealthyCamera());
    Lay(row.changes);
    Finding finding = Run(row.check);
    EXPECT_EQ(finding.verdict, row.verdict) << row.behaviour << ": " << finding.text;
    EXPECT_NE(strstr(finding.text, row.saying), nullptr) << row.behaviour << ": " << finding.text;
    if (row.verdict == kFail) {
      EXPECT_EQ(RunChecks(root_.c_str()), 1) << row.behaviour;
    }
  }
}

TEST_F(CheckTest, AnEmptyRootFailsWithoutCrashing) {
  EXPECT_EQ(RunChecks(root_.c_str()), 1);
}

}  // namespace
