// DeviceOpen with any "/proc/mtd" text and any name, against a reference
// reading of the list: only "/dev/mtd/N", "/dev/mtdN" or the name itself is
// ever opened, in the order the rules give, and the right one answers.
//
// Input, byte by byte (missing bytes read as 0):
//   0     no "/proc/mtd" (bit 0), the name is a device of its own (bit 1)
//   1, 2  which of "/dev/mtd/0".."/dev/mtd/7" and "/dev/mtd0".."/dev/mtd7" exist
//   3     length of the name (n % 48), then the name's bytes (up to a NUL)
//   then  the text of "/proc/mtd", NUL bytes and all
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "flash_private.h"
#include "fuzz_support.h"
#include "mtdsim.h"

namespace {

constexpr size_t kLinePiece = 4095;  // what one read of a 4096-byte line buffer takes
constexpr size_t kLongestName = 29;  // its quoted form fills a 32-byte buffer
constexpr int kNodes = 8;

// An empty directory of our own is the working directory while a name is
// opened as a path, so that no name can reach a real file.
int privateDirectory = -1;
int workingDirectory = -1;

int OpenPrivateDirectory() {
  char pattern[] = "/tmp/fuzz-partition-list-XXXXXX";
  if (mkdtemp(pattern) == nullptr) fuzz::Broken("mkdtemp failed");
  int fd = open(pattern, O_RDONLY | O_DIRECTORY);
  rmdir(pattern);  // stays usable as a working directory, and leaves nothing behind
  if (fd < 0) fuzz::Broken("cannot open %s", pattern);
  return fd;
}

// The number after "mtd" as a "%d" conversion reads it: white space, a sign,
// digits, saturated to the range of long and then cut to int.  False when
// there is no digit.
bool LeadingNumber(const char *text, int *number) {
  while (isspace(static_cast<unsigned char>(*text))) ++text;
  const bool negative = *text == '-';
  if (*text == '-' || *text == '+') ++text;
  if (!isdigit(static_cast<unsigned char>(*text))) return false;
  unsigned long magnitude = 0;
  const unsigned long limit = negative ? 0ul - static_cast<unsigned long>(LONG_MIN) : LONG_MAX;
  for (; isdigit(static_cast<unsigned char>(*text)); ++text) {
    const unsigned digit = static_cast<unsigned>(*text - '0');
    magnitude = magnitude > (limit - digit) / 10 ? limit : magnitude * 10 + digit;
  }
  const unsigned long value = negative ? 0ul - magnitude : magnitude;
  *number = static_cast<int>(static_cast<unsigned int>(value));
  return true;
}

// The partition number of the first piece of the list that names the
// partition, or false.
bool ListedNumber(const std::string &list, const std::string &quoted, int *number) {
  for (size_t at = 0; at < list.size();) {
    size_t end = list.find('\n', at);
    end = end == std::string::npos ? list.size() : end + 1;
    const size_t length = std::min(end - at, kLinePiece);
    // What follows a NUL byte in a piece is out of sight of string searches.
    const std::string piece = list.substr(at, length).c_str();
    at += length;
    if (piece.compare(0, 3, "mtd") == 0 && LeadingNumber(piece.c_str() + 3, number) &&
        piece.find(quoted) != std::string::npos) {
      return true;
    }
  }
  return false;
}

struct Reference {
  std::string opened;  // every path opened, joined by '\n' as the simulator logs them
  bool answers = false;
};

Reference ReadList(const std::string &name, bool listed, const std::string &list, bool (*exists)(const std::string &)) {
  Reference r;
  auto open = [&](const std::string &path) {
    r.opened += r.opened.empty() ? path : "\n" + path;
    r.answers = exists(path);
    return r.answers;
  };
  if (name.size() <= kLongestName) {
    open("/proc/mtd");
    r.answers = false;
    int number = 0;
    if (listed && ListedNumber(list, "\"" + name + "\"", &number)) {
      if (!open("/dev/mtd/" + std::to_string(number))) open("/dev/mtd" + std::to_string(number));
      return r;
    }
  }
  open(name);
  return r;
}

// The simulated nodes of this input, each one ended by a NUL: a name may
// hold a newline ("/dev/mtd1\n/dev/mtd2"), never a NUL.
std::string registered;

bool Exists(const std::string &path) {
  if (path == "." || path == "..") return true;  // in the empty working directory
  return registered.find('\0' + path + '\0') != std::string::npos;
}

void Register(const std::string &path) {
  if (mtdsim::AddDevice(path.c_str(), mtdsim::Nor(4096, 4096))) registered += path + '\0';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (privateDirectory < 0) {
    privateDirectory = OpenPrivateDirectory();
    workingDirectory = open(".", O_RDONLY | O_DIRECTORY);
  }
  fuzz::InputReader in(data, size);
  const uint8_t flags = in.Byte();
  const uint8_t slashNodes = in.Byte();
  const uint8_t plainNodes = in.Byte();
  std::string name;
  for (int length = in.Byte() % 48; length > 0; --length) name += static_cast<char>(in.Byte());
  name = name.c_str();
  // Outside the simulated "/dev/mtd" nodes a name stays in the empty
  // working directory.
  if (name.compare(0, 8, "/dev/mtd") != 0) {
    for (char &c : name) c = c == '/' ? '_' : c;
  }
  const bool listed = (flags & 1) == 0;
  const std::string list = in.Rest();

  mtdsim::Reset();
  registered.assign(1, '\0');
  for (int n = 0; n < kNodes; ++n) {
    if (slashNodes >> n & 1) Register("/dev/mtd/" + std::to_string(n));
    if (plainNodes >> n & 1) Register("/dev/mtd" + std::to_string(n));
  }
  if ((flags & 2) != 0 && name.compare(0, 8, "/dev/mtd") == 0) Register(name);
  if (listed) mtdsim::SetProcMtdBytes(list.data(), list.size());
  const Reference want = ReadList(name, listed, list, Exists);

  if (fchdir(privateDirectory) != 0) fuzz::Broken("cannot enter the private directory");
  fuzz::BeginCapture();
  const int fd = DeviceOpen(name.c_str(), O_RDONLY);
  const std::string output = fuzz::EndCapture();
  if (fchdir(workingDirectory) != 0) fuzz::Broken("cannot leave the private directory");
  if (fd >= 0) close(fd);

  const std::string opened = mtdsim::OpenLog();
  if (opened != want.opened) {
    fuzz::Broken("DeviceOpen(\"%s\") opened\n%s\nwhere the list gives\n%s", name.c_str(), opened.c_str(),
                 want.opened.c_str());
  }
  if ((fd >= 0) != want.answers) {
    fuzz::Broken("DeviceOpen(\"%s\") returned %d, but the last path opened %s", name.c_str(), fd,
                 want.answers ? "exists" : "does not exist");
  }
  if (!output.empty()) fuzz::Broken("DeviceOpen printed \"%s\"", output.c_str());
  mtdsim::Reset();
  return 0;
}
