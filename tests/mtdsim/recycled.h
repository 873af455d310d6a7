// Byte buffers the size of a partition whose storage is recycled from one
// test case to the next.
//
// The simulator holds one such buffer per device, and a fuzz target builds
// several per input (the partition before and after, the image).  Fresh
// ones cost more than the case itself: a sanitizer's allocator maps every
// block above 128 KiB anew and unmaps it on release, so the kernel faults
// in and zeroes every page again.  A recycled buffer is filled whole when
// it is made, like a fresh one, so nothing of an earlier case can show
// through it.  Under AddressSanitizer the storage beyond the buffer's size,
// and all of it while it waits for reuse, is poisoned: a read past the end
// or after release is reported as on a fresh allocation.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mtdsim {

// A byte buffer whose size is set when it is made or assigned; large ones
// take their storage from the recycled blocks.  Aborts when memory is
// exhausted.
class Bytes {
 public:
  Bytes() = default;
  explicit Bytes(size_t size, uint8_t fill = 0) { assign(size, fill); }
  Bytes(const Bytes& other) { *this = other; }
  Bytes(Bytes&& other) noexcept { Swap(other); }
  Bytes& operator=(const Bytes& other);
  Bytes& operator=(Bytes&& other) noexcept {
    Swap(other);
    return *this;
  }
  ~Bytes() { Release(); }

  // `size` bytes, every one of them `fill`.
  void assign(size_t size, uint8_t fill);
  // The `size` bytes at `bytes`, which lie outside this buffer.
  void assign(const uint8_t* bytes, size_t size);
  uint8_t* data() { return data_; }
  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  uint8_t& operator[](size_t at) { return data_[at]; }
  const uint8_t& operator[](size_t at) const { return data_[at]; }

 private:
  void Release();
  void Swap(Bytes& other) noexcept;

  uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace mtdsim
