// Integer files on a real file system, in a fresh directory per test.

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "utils.h"
#include "utils_private.h"

namespace {

class IntFile : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/bootguard-intfile-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/bootfailed";
  }
  void TearDown() override {
    std::string command = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(command.c_str()), 0);
  }

  void Put(const std::string &path, const std::string &bytes) {
    FILE *file = fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
  }
  static std::string Get(const std::string &path) {
    std::string bytes;
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr) return "<absent>";
    int c;
    while ((c = fgetc(file)) != EOF) bytes.push_back(static_cast<char>(c));
    fclose(file);
    return bytes;
  }
  int EntriesInDir() {
    int count = 0;
    DIR *directory = opendir(dir_.c_str());
    while (dirent *entry = readdir(directory)) {
      if (entry->d_name[0] != '.') ++count;
    }
    closedir(directory);
    return count;
  }

  std::string dir_;
  std::string path_;
};

TEST_F(IntFile, ReadIntFallsBackOnlyWhenThereIsNoText) {
  EXPECT_EQ(UtilsReadInt(path_.c_str(), 7), 7) << "missing file";
  Put(path_, "");
  EXPECT_EQ(UtilsReadInt(path_.c_str(), 7), 7) << "empty file";
  Put(path_, std::string("\0" "12", 3));
  EXPECT_EQ(UtilsReadInt(path_.c_str(), 7), 7) << "leading NUL byte";
}

TEST_F(IntFile, ReadIntConvertsTheLeadingNumberOfTheFirstLine) {
  const struct {
    const char *text;
    int value;
  } cases[] = {
      {"2", 2},         {"12abc", 12},       {"abc", 0},           {"\n12", 0},
      {"  -3\n", -3},   {"+5", 5},           {"1\n9", 1},          {"99999999999", INT_MAX},
      {"-99999999999", INT_MIN},
  };
  for (const auto &c : cases) {
    Put(path_, c.text);
    EXPECT_EQ(UtilsReadInt(path_.c_str(), 42), c.value) << "text: " << c.text;
  }
}

TEST_F(IntFile, ReadFileKeepsTheFirstLineWithItsNewlineAndCutsLongLines) {
  char buf[8];
  Put(path_, "ab\ncd");
  ASSERT_EQ(UtilsReadFile(path_.c_str(), buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "ab\n");
  Put(path_, "0123456789");
  ASSERT_EQ(UtilsReadFile(path_.c_str(), buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "0123456");
  EXPECT_EQ(UtilsReadFile((dir_ + "/missing").c_str(), buf, sizeof buf), -1);
}

TEST_F(IntFile, WriteLeavesBareDecimalTextWithoutNewline) {
  ASSERT_EQ(UtilsWriteFile(path_.c_str(), 2), 0);
  EXPECT_EQ(Get(path_), "2");
  Put(path_, "1234567890");
  ASSERT_EQ(UtilsWriteFile(path_.c_str(), -2), 0);
  EXPECT_EQ(Get(path_), "-2");
  ASSERT_EQ(UtilsWriteFile(path_.c_str(), 123456), 0);
  EXPECT_EQ(Get(path_), "123456");
  ASSERT_EQ(UtilsWriteFile(path_.c_str(), INT_MIN), 0);
  EXPECT_EQ(Get(path_), "-2147483648");
  EXPECT_EQ(EntriesInDir(), 1) << "a temporary file was left behind";
}

TEST_F(IntFile, WriteReplacesTheFileInsteadOfRewritingIt) {
  Put(path_, "1");
  std::string oldName = dir_ + "/old";
  ASSERT_EQ(link(path_.c_str(), oldName.c_str()), 0);
  ASSERT_EQ(UtilsWriteFile(path_.c_str(), 2), 0);
  EXPECT_EQ(Get(path_), "2");
  EXPECT_EQ(Get(oldName), "1") << "the old file was truncated in place";
}

TEST_F(IntFile, WriteReplacesASymlinkAndNeverItsTarget) {
  std::string victim = dir_ + "/victim";
  Put(victim, "precious");
  ASSERT_EQ(symlink(victim.c_str(), path_.c_str()), 0);
  ASSERT_EQ(UtilsWriteFile(path_.c_str(), 1), 0);
  EXPECT_EQ(Get(victim), "precious");
  struct stat info {};
  ASSERT_EQ(lstat(path_.c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(Get(path_), "1");
}

TEST_F(IntFile, WriteIgnoresAStaleTemporaryFileButNotASymlinkPlantedThere) {
  Put(path_ + ".tmp", "99");  // left by a power cut
  ASSERT_EQ(UtilsWriteFile(path_.c_str(), 1), 0);
  EXPECT_EQ(Get(path_), "1");

  std::string victim = dir_ + "/victim";
  Put(victim, "precious");
  ASSERT_EQ(symlink(victim.c_str(), (path_ + ".tmp").c_str()), 0);
  ASSERT_EQ(UtilsWriteFile(path_.c_str(), 2), 0);
  EXPECT_EQ(Get(victim), "precious");
  EXPECT_EQ(Get(path_), "2");
}

TEST_F(IntFile, FailedWriteReturnsMinusOneAndKeepsTheOldContent) {
  Put(path_, "1");
  // A directory where the temporary file must go cannot be replaced.
  ASSERT_EQ(mkdir((path_ + ".tmp").c_str(), 0700), 0);
  Put(path_ + ".tmp/inside", "x");
  EXPECT_EQ(UtilsWriteFile(path_.c_str(), 2), -1);
  EXPECT_EQ(Get(path_), "1");

  EXPECT_EQ(UtilsWriteFile((dir_ + "/no/such/dir/file").c_str(), 2), -1);
}

}  // namespace
