// What an image write costs on simulated flash, next to the least a
// verified write needs.  Prints a table; asserts nothing.
//
// The least: every unchanged block of the partition read once (to compare
// the image blocks and to find blocks after the image needing an erase), a
// changed block read up to its first page that differs, and only changed
// blocks erased (blank ones too: a block that reads erased may be one whose
// erase was cut short), programmed and read back.

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "mtdsim.h"
#include "zqdevice.h"

namespace {

constexpr uint32_t kPartitionSize = 16u * 1024 * 1024;
constexpr const char *kNode = "/dev/mtd7";

double Seconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Heap in use and its peak, kept by the allocator functions below.
size_t heapInUse = 0;
size_t heapPeak = 0;

// The module's "Writing from to" line would break up the table.
template <typename Body>
void Quietly(Body body) {
  fflush(stdout);
  int saved = dup(STDOUT_FILENO);
  int null = open("/dev/null", O_WRONLY);
  dup2(null, STDOUT_FILENO);
  body();
  fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(null);
  close(saved);
}

std::vector<char> MakeImage(uint32_t size, unsigned seed) {
  std::vector<char> image(size);
  uint32_t state = seed * 2654435761u + 1;
  for (char &byte : image) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<char>(state >> 24);
  }
  return image;
}

struct Least {
  uint64_t erases, programmed, read;
};

// The least work to turn the flash content into image + erased rest.
Least LeastWork(const uint8_t *flash, const std::vector<char> &image, uint32_t block, uint32_t page) {
  Least least{0, 0, 0};
  for (uint32_t start = 0; start < kPartitionSize; start += block) {
    uint32_t imageBytes = start >= image.size() ? 0 : std::min<uint32_t>(block, static_cast<uint32_t>(image.size()) - start);
    uint32_t first = 0;  // the first byte that differs from what is wanted
    while (first < imageBytes && flash[start + first] == static_cast<uint8_t>(image[start + first])) ++first;
    while (first >= imageBytes && first < block && flash[start + first] == 0xFF) ++first;
    if (first == block) {
      least.read += block;
      continue;
    }
    ++least.erases;
    least.programmed += imageBytes;
    least.read += (first / page + 1) * page + imageBytes;
  }
  return least;
}

void Run(const char *flashName, const char *caseName, const std::vector<char> &image, uint32_t block, uint32_t page) {
  Least least = LeastWork(mtdsim::Content(kNode), image, block, page);
  mtdsim::ClearCounters();
  heapPeak = heapInUse;
  size_t heapBefore = heapInUse;
  double started = Seconds();
  int result = -1;
  Quietly([&] { result = ZQDeviceWrite("rootfs", 0, image.data(), static_cast<int>(image.size())); });
  double elapsed = Seconds() - started;
  const mtdsim::Counters &done = mtdsim::Stats();
  printf("| %-4s | %-18s | %2d | %6llu / %-6llu | %9llu / %-9llu | %9llu / %-9llu | %5llu | %7.1f | %5zu |\n", flashName,
         caseName, result, static_cast<unsigned long long>(done.erases), static_cast<unsigned long long>(least.erases),
         static_cast<unsigned long long>(done.programmedBytes), static_cast<unsigned long long>(least.programmed),
         static_cast<unsigned long long>(done.bytesRead), static_cast<unsigned long long>(least.read),
         static_cast<unsigned long long>(done.syncs), elapsed * 1000, (heapPeak - heapBefore) / 1024);
}

void Bench(const char *flashName, const mtdsim::Geometry &geometry) {
  mtdsim::Reset();
  mtdsim::AddDevice(kNode, geometry);
  std::vector<char> image = MakeImage(kPartitionSize, 1);
  const uint32_t block = geometry.erasesize;
  const uint32_t page = geometry.writesize;
  Run(flashName, "erased partition", image, block, page);
  Run(flashName, "same image", image, block, page);
  image[5 * block + 123] ^= 0x10;
  Run(flashName, "one changed block", image, block, page);
  Run(flashName, "different image", MakeImage(kPartitionSize, 2), block, page);
}

}  // namespace

// Counting allocator: the glibc allocator underneath, with the usable size
// of every block added to or taken from the running total.
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);

static void *Counted(void *block) {
  if (block != nullptr) {
    heapInUse += malloc_usable_size(block);
    if (heapInUse > heapPeak) heapPeak = heapInUse;
  }
  return block;
}
void *malloc(size_t size) { return Counted(__libc_malloc(size)); }
void *calloc(size_t count, size_t size) { return Counted(__libc_calloc(count, size)); }
void free(void *block) {
  if (block != nullptr) heapInUse -= malloc_usable_size(block);
  __libc_free(block);
}
void *realloc(void *block, size_t size) {
  if (block != nullptr) heapInUse -= malloc_usable_size(block);
  return Counted(__libc_realloc(block, size));
}
}

int main() {
  printf("16 MiB image into a 16 MiB partition; done / least; time of the simulated device, not of real flash\n\n");
  printf("| flash | case | result | erases | programmed bytes | bytes read | syncs | ms | peak heap KiB |\n");
  printf("|---|---|---|---|---|---|---|---|---|\n");
  Bench("NAND", mtdsim::Nand(kPartitionSize));
  Bench("NOR", mtdsim::Nor(kPartitionSize, 64 * 1024));
  return 0;
}
