// A fresh simulated flash world and a scratch directory for each test of
// bootguard-flash, and a way to run its command lines and see what a shell
// script would see: exit status, standard output, standard error.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "flash_tool.h"
#include "mtdsim.h"

namespace tooltest {

constexpr uint32_t kKiB = 1024;
constexpr uint32_t kMiB = 1024 * kKiB;

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

// The arguments after the program's name.
inline Outcome RunTool(const std::vector<std::string> &arguments) {
  std::vector<std::string> words = {"bootguard-flash"};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char *> argv;
  for (std::string &word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  fflush(stdout);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  int status = RunFlashTool(static_cast<int>(words.size()), argv.data());
  fflush(stdout);
  fflush(stderr);
  std::string out = testing::internal::GetCapturedStdout();
  std::string err = testing::internal::GetCapturedStderr();
  return Outcome{status, out, err};
}

// Bytes depending on seed and position.
inline std::string Pattern(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + seed * 13 + i / 251) & 0xFF);
  return bytes;
}

class ToolTest : public testing::Test {
 protected:
  void SetUp() override {
    mtdsim::Reset();
    char pattern[] = "/tmp/bootguard-flash-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    EXPECT_EQ(mtdsim::Stats().overProgrammed, 0u) << "flash was programmed without being erased";
    mtdsim::Reset();
    std::filesystem::remove_all(dir_);
  }

  // Registers a device and returns its content.
  uint8_t *Device(const char *path, const mtdsim::Geometry &geometry) {
    EXPECT_TRUE(mtdsim::AddDevice(path, geometry));
    return mtdsim::Content(path);
  }
  std::string Path(const std::string &name) const { return dir_ + "/" + name; }
  std::string File(const std::string &name, const std::string &content) const {
    std::ofstream(Path(name), std::ios::binary) << content;
    return Path(name);
  }
  static std::string Contents(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }
  static std::string Bytes(const uint8_t *at, size_t size) { return std::string(reinterpret_cast<const char *>(at), size); }

  std::string dir_;
};

}  // namespace tooltest
