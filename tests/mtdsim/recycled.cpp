// The pool behind recycled.h: a few large blocks, lent out and taken back.
#include "recycled.h"

#include <sanitizer/asan_interface.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

namespace mtdsim {
namespace {

// Below this the allocator's own size classes already reuse memory.
constexpr size_t kRecycledFrom = 64 * 1024;
// More than a case holds at once; beyond that the smallest are released.
constexpr size_t kBlocksKept = 16;

struct Block {
  void* at;
  size_t size;  // of the whole block, at least what was asked for
};

struct Pool {
  std::mutex mutex;
  std::vector<Block> waiting;  // for reuse, poisoned whole
  // Lent blocks are addressable exactly as far as they were asked for.
  std::vector<Block> lent;
};

Pool& ThePool() {
  // Never destroyed: a buffer may be released while static objects are
  // being torn down at exit.
  static Pool* pool = new Pool;
  return *pool;
}

void* Allocated(size_t bytes) {
  void* at = malloc(bytes);
  if (at == nullptr) {
    fprintf(stderr, "mtdsim: out of memory for %zu bytes\n", bytes);
    abort();
  }
  return at;
}

// Powers of two, so that a block fits many later requests.
size_t BlockSizeFor(size_t bytes) {
  size_t size = kRecycledFrom;
  while (size < bytes) size *= 2;
  return size;
}

// The smallest waiting block that holds `bytes`, or waiting.end().
std::vector<Block>::iterator BestFit(std::vector<Block>& waiting, size_t bytes) {
  auto best = waiting.end();
  for (auto it = waiting.begin(); it != waiting.end(); ++it) {
    if (it->size >= bytes && (best == waiting.end() || it->size < best->size)) best = it;
  }
  return best;
}

void ReleaseSmallestWaiting(std::vector<Block>& waiting) {
  auto smallest = waiting.begin();
  for (auto it = waiting.begin(); it != waiting.end(); ++it) {
    if (it->size < smallest->size) smallest = it;
  }
  ASAN_UNPOISON_MEMORY_REGION(smallest->at, smallest->size);
  free(smallest->at);
  waiting.erase(smallest);
}

// Storage for `bytes` bytes, large requests from the recycled blocks.
void* TakeStorage(size_t bytes) {
  if (bytes < kRecycledFrom) return Allocated(bytes);
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> guard(pool.mutex);
  Block block{};
  auto fit = BestFit(pool.waiting, bytes);
  if (fit != pool.waiting.end()) {
    block = *fit;
    pool.waiting.erase(fit);
  } else {
    block.size = BlockSizeFor(bytes);
    block.at = Allocated(block.size);
    ASAN_POISON_MEMORY_REGION(block.at, block.size);
  }
  // Exactly the request becomes addressable, to the byte.
  ASAN_UNPOISON_MEMORY_REGION(block.at, bytes);
  pool.lent.push_back(block);
  return block.at;
}

// Gives back what TakeStorage returned for the same `bytes`.
void ReturnStorage(void* at, size_t bytes) {
  if (bytes < kRecycledFrom) {
    free(at);
    return;
  }
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> guard(pool.mutex);
  auto it = pool.lent.begin();
  while (it != pool.lent.end() && it->at != at) ++it;
  if (it == pool.lent.end()) {
    fprintf(stderr, "mtdsim: storage at %p given back but never lent\n", at);
    abort();
  }
  // The rest of the block is still poisoned from when it was made.
  ASAN_POISON_MEMORY_REGION(it->at, bytes);
  pool.waiting.push_back(*it);
  pool.lent.erase(it);
  if (pool.waiting.size() > kBlocksKept) ReleaseSmallestWaiting(pool.waiting);
}

}  // namespace

Bytes& Bytes::operator=(const Bytes& other) {
  if (this != &other) assign(other.data_, other.size_);
  return *this;
}

void Bytes::assign(size_t size, uint8_t fill) {
  Release();
  if (size > 0) {
    data_ = static_cast<uint8_t*>(TakeStorage(size));
    size_ = size;
    memset(data_, fill, size_);
  }
}

void Bytes::assign(const uint8_t* bytes, size_t size) {
  Release();
  if (size > 0) {
    data_ = static_cast<uint8_t*>(TakeStorage(size));
    size_ = size;
    memcpy(data_, bytes, size_);
  }
}

void Bytes::Release() {
  if (data_ != nullptr) ReturnStorage(data_, size_);
  data_ = nullptr;
  size_ = 0;
}

void Bytes::Swap(Bytes& other) noexcept {
  std::swap(data_, other.data_);
  std::swap(size_, other.size_);
}

}  // namespace mtdsim
