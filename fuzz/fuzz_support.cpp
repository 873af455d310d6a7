#include "fuzz_support.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fuzz {
namespace {

int captureFd = -1;
std::string lastOutput;

}  // namespace

void Generator::Fill(uint8_t *at, size_t length) {
  // Whole erase blocks go through here: four words a round, from a copy of
  // the state that the bytes written cannot alias.
  Generator local(*this);
  size_t i = 0;
  for (; i + 32 <= length; i += 32) {
    const uint64_t words[4] = {local.Next(), local.Next(), local.Next(), local.Next()};
    memcpy(at + i, words, sizeof words);
  }
  for (; i + 8 <= length; i += 8) {
    uint64_t word = local.Next();
    memcpy(at + i, &word, 8);
  }
  if (i < length) {
    uint64_t word = local.Next();
    memcpy(at + i, &word, length - i);
  }
  *this = local;
}

void BeginCapture() {
  fflush(stdout);
  if (captureFd < 0) {
    captureFd = memfd_create("fuzz-stdout", 0);
    if (captureFd < 0 || dup2(captureFd, STDOUT_FILENO) < 0) {
      perror("capturing standard output");
      abort();
    }
  }
  if (ftruncate(STDOUT_FILENO, 0) != 0) {
    perror("ftruncate");
    abort();
  }
  fseek(stdout, 0, SEEK_SET);
  lastOutput.clear();
}

std::string EndCapture() {
  fflush(stdout);
  off_t length = lseek(STDOUT_FILENO, 0, SEEK_CUR);
  lastOutput.assign(length > 0 ? static_cast<size_t>(length) : 0, '\0');
  if (length > 0 && pread(STDOUT_FILENO, lastOutput.data(), lastOutput.size(), 0) != length) {
    perror("reading captured output");
    abort();
  }
  static const bool verbose = getenv("FUZZ_VERBOSE") != nullptr;
  if (verbose) fprintf(stderr, "%s", lastOutput.c_str());
  return lastOutput;
}

std::string Format(const char *format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

void Broken(const char *format, ...) {
  fflush(stdout);
  fprintf(stderr, "\n==== broken: ");
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
  fprintf(stderr, "\n==== it printed:\n%s\n==== end\n", lastOutput.c_str());
  abort();
}

int LowestFreeDescriptor() {
  int fd = dup(STDERR_FILENO);
  if (fd >= 0) {
    close(fd);
  }
  return fd;
}

}  // namespace fuzz
