// mmap and mmap64 in front of the C library's (see file_mappings.h).
// Anonymous mappings, which allocators make, always pass through.

#undef _FILE_OFFSET_BITS
#include "file_mappings.h"

#include <dlfcn.h>
#include <sys/mman.h>
#include <sys/types.h>

#include <cerrno>

namespace filemappings {

bool refuse = false;
int asked = 0;

namespace {

using MapFunction = void *(*)(void *, size_t, int, int, int, off_t);
using Map64Function = void *(*)(void *, size_t, int, int, int, off64_t);

template <typename Function>
Function Next(const char *name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// True when the call goes on to the C library.
bool LetThrough(int flags, int fd) {
  if ((flags & MAP_ANONYMOUS) != 0 || fd < 0) {
    return true;
  }
  ++asked;
  if (refuse) {
    errno = ENODEV;
    return false;
  }
  return true;
}

}  // namespace
}  // namespace filemappings

extern "C" {

__attribute__((visibility("default"))) void *mmap(void *address, size_t length, int protection, int flags, int fd,
                                                  off_t offset) {
  static const auto next = filemappings::Next<filemappings::MapFunction>("mmap");
  return filemappings::LetThrough(flags, fd) ? next(address, length, protection, flags, fd, offset) : MAP_FAILED;
}

__attribute__((visibility("default"))) void *mmap64(void *address, size_t length, int protection, int flags, int fd,
                                                    off64_t offset) {
  static const auto next = filemappings::Next<filemappings::Map64Function>("mmap64");
  return filemappings::LetThrough(flags, fd) ? next(address, length, protection, flags, fd, offset) : MAP_FAILED;
}

}  // extern "C"
