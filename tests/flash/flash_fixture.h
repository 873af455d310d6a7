// A fresh simulated flash world for each flash test, with helpers to fill
// partitions, capture what the module prints and record progress calls.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "flash_private.h"
#include "mtdsim.h"
#include "zqdevice.h"

namespace flashtest {

constexpr uint32_t kKiB = 1024;
constexpr uint32_t kMiB = 1024 * kKiB;

// Every progress call of the current test: (first argument, value).
inline std::vector<std::pair<int, int>> &ProgressCalls() {
  static std::vector<std::pair<int, int>> calls;
  return calls;
}
inline void RecordProgress(int zero, int value) { ProgressCalls().emplace_back(zero, value); }
inline std::vector<int> ProgressValues() {
  std::vector<int> values;
  for (const auto &call : ProgressCalls()) values.push_back(call.second);
  return values;
}

// Runs body and returns what it printed on standard output.
template <typename Body>
std::string Printed(Body body) {
  fflush(stdout);
  testing::internal::CaptureStdout();
  body();
  fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

// An image of len bytes whose content depends on seed and position, with
// some 0xFF runs inside, as real images have.
inline std::vector<char> Image(size_t len, unsigned seed = 1) {
  std::vector<char> image(len);
  for (size_t i = 0; i < len; ++i) {
    bool erasedRun = (i / 3000) % 5 == 4;
    image[i] = static_cast<char>(erasedRun ? 0xFF : (i * 31 + seed * 7 + i / 4096) & 0xFF);
  }
  return image;
}

class FlashTest : public testing::Test {
 protected:
  void SetUp() override {
    mtdsim::Reset();
    ProgressCalls().clear();
    ZQDeviceSetCallback(RecordProgress);
  }
  void TearDown() override {
    ZQDeviceSetCallback(nullptr);
    EXPECT_EQ(mtdsim::Stats().overProgrammed, 0u) << "flash was programmed without being erased";
    mtdsim::Reset();
  }

  // Registers a device and returns its content.
  uint8_t *Device(const char *path, const mtdsim::Geometry &geometry) {
    EXPECT_TRUE(mtdsim::AddDevice(path, geometry));
    return mtdsim::Content(path);
  }
  static void Fill(uint8_t *at, size_t len, uint8_t value) { memset(at, value, len); }

  // The device holds image at its start and only 0xFF after it.
  static ::testing::AssertionResult HoldsImage(const uint8_t *content, uint32_t size, const std::vector<char> &image) {
    if (memcmp(content, image.data(), image.size()) != 0) {
      return ::testing::AssertionFailure() << "image bytes differ";
    }
    for (size_t i = image.size(); i < size; ++i) {
      if (content[i] != 0xFF) {
        return ::testing::AssertionFailure() << "byte at " << i << " is not erased";
      }
    }
    return ::testing::AssertionSuccess();
  }
};

}  // namespace flashtest
