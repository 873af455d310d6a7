// The boot-failure counter file: UtilsReadInt on any content against a
// reference of its rules, then UtilsWriteFile and UtilsReadInt round-trip
// any int.  Works on a real file in a private temporary directory.
//
// Input, byte by byte (missing bytes read as 0):
//   0     no file (bit 0)
//   1-4   the fallback
//   5-8   the value to write and read back
//   then  the file's content
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "utils.h"
#include "utils_private.h"

namespace {

constexpr size_t kFirstLineLimit = 63;  // a 64-byte line buffer

std::string directory;
std::string counterPath;

void RemoveDirectory() {
  unlink(counterPath.c_str());
  rmdir(directory.c_str());
}

// A directory on a memory file system where there is one: the writer
// syncs every file it writes.
void MakeDirectory() {
  struct stat info {};
  std::string pattern = stat("/dev/shm", &info) == 0 && S_ISDIR(info.st_mode) ? "/dev/shm" : "/tmp";
  pattern += "/fuzz-counter-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) fuzz::Broken("mkdtemp failed");
  directory = pattern;
  counterPath = directory + "/bootfailed";
  atexit(RemoveDirectory);
}

void Put(const std::string &content) {
  FILE *file = fopen(counterPath.c_str(), "wb");
  if (file == nullptr || fwrite(content.data(), 1, content.size(), file) != content.size() || fclose(file) != 0) {
    fuzz::Broken("cannot write %s", counterPath.c_str());
  }
}

std::string Get() {
  std::string content;
  FILE *file = fopen(counterPath.c_str(), "rb");
  if (file == nullptr) return "<absent>";
  for (int c; (c = fgetc(file)) != EOF;) content += static_cast<char>(c);
  fclose(file);
  return content;
}

int EntriesInDirectory() {
  int count = 0;
  DIR *listing = opendir(directory.c_str());
  if (listing == nullptr) fuzz::Broken("cannot list %s", directory.c_str());
  while (dirent *entry = readdir(listing)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(listing);
  return count;
}

// The rules: no file, an empty file or a first byte NUL give the fallback;
// otherwise the first line (at most 63 characters) is read up to a NUL, and
// its leading number taken: white space, an optional sign, digits, clamped
// to the int range; no digits give 0.
int ReferenceReadInt(const std::string *content, int fallback) {
  if (content == nullptr || content->empty() || (*content)[0] == '\0') return fallback;
  size_t end = content->find('\n');
  end = end == std::string::npos ? content->size() : end + 1;
  const std::string line = content->substr(0, std::min(end, kFirstLineLimit)).c_str();
  size_t at = 0;
  while (at < line.size() && isspace(static_cast<unsigned char>(line[at]))) ++at;
  const bool negative = at < line.size() && line[at] == '-';
  if (at < line.size() && (line[at] == '-' || line[at] == '+')) ++at;
  const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
  long long magnitude = 0;
  for (; at < line.size() && isdigit(static_cast<unsigned char>(line[at])); ++at) {
    magnitude = std::min(limit, magnitude * 10 + (line[at] - '0'));
  }
  return static_cast<int>(negative ? -magnitude : magnitude);
}

// Decimal text of an int, written out digit by digit.
std::string DecimalText(int value) {
  long long magnitude = value < 0 ? -static_cast<long long>(value) : value;
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + magnitude % 10));
    magnitude /= 10;
  } while (magnitude > 0);
  return value < 0 ? "-" + digits : digits;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (directory.empty()) MakeDirectory();
  fuzz::InputReader in(data, size);
  const bool missing = (in.Byte() & 1) != 0;
  const int fallback = static_cast<int>(in.Long());
  const int value = static_cast<int>(in.Long());
  const std::string content = in.Rest();

  if (missing) {
    unlink(counterPath.c_str());
  } else {
    Put(content);
  }
  const int read = UtilsReadInt(counterPath.c_str(), fallback);
  const int reference = ReferenceReadInt(missing ? nullptr : &content, fallback);
  if (read != reference) fuzz::Broken("UtilsReadInt read %d where the rules give %d", read, reference);

  if (UtilsWriteFile(counterPath.c_str(), value) != 0) fuzz::Broken("UtilsWriteFile(%d) failed", value);
  const std::string written = Get();
  if (written != DecimalText(value)) fuzz::Broken("UtilsWriteFile(%d) left \"%s\"", value, written.c_str());
  if (EntriesInDirectory() != 1) fuzz::Broken("UtilsWriteFile(%d) left a file behind", value);
  const int back = UtilsReadInt(counterPath.c_str(), fallback ^ 1);
  if (back != value) fuzz::Broken("wrote %d, read back %d", value, back);
  return 0;
}
