// What every fuzz target shares: reading an input field by field, a cheap
// capture of what the code under test prints, and stopping the run when a
// rule is broken so that the input is kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

// Takes an input apart.  Past its end every field reads as 0, so every
// input, the empty one included, is a valid case.
class InputReader {
 public:
  InputReader(const uint8_t *data, size_t size) : data_(data), size_(size) {}
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t Word() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
  uint32_t Long() { return static_cast<uint32_t>(Word() | static_cast<uint32_t>(Word()) << 16); }
  // What is left, taken whole.
  std::string Rest() {
    std::string rest(reinterpret_cast<const char *>(data_ + at_), size_ - at_);
    at_ = size_;
    return rest;
  }

 private:
  const uint8_t *data_;
  size_t size_;
  size_t at_ = 0;
};

// A small fast generator for bulk bytes (flash content, images), seeded from
// the input so that every input is one fixed case.
class Generator {
 public:
  explicit Generator(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  void Fill(uint8_t *at, size_t length);

 private:
  uint64_t state_;
};

// Standard output goes to an in-memory file for the whole run: an input's
// lines are read back from it, and nothing floods the fuzzer's terminal.
// With FUZZ_VERBOSE set they are also shown on standard error.
void BeginCapture();
std::string EndCapture();

// printf into a string.
std::string Format(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Prints the broken rule and the last captured output on standard error
// and aborts, so that the fuzzer keeps the input as a crash.
[[noreturn]] void Broken(const char *format, ...) __attribute__((format(printf, 1, 2)));

// The lowest free descriptor number: it rises when a call leaves a
// descriptor open.
int LowestFreeDescriptor();

}  // namespace fuzz
