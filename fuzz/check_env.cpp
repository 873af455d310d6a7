// bootguard-check's reading of a stored environment: any bytes as a single
// or redundant copy, its CRC against a bit-at-a-time CRC-32, its variables
// against a model that splits the entries with std::string, and the boot
// script's "run" walk bounded on any variables, loops included.
//
// Input: byte 0 bit 0 redundant, bit 1 the factory file's '\n' separator
// instead of the stored '\0'; then the copy.
#include <cstdint>
#include <cstring>
#include <string>

#include "check.h"
#include "fuzz_support.h"

namespace {

uint32_t BitwiseCrc32(const uint8_t *data, size_t length) {
  uint32_t crc = 0xFFFFFFFF;
  for (size_t index = 0; index < length; ++index) {
    crc ^= data[index];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
  }
  return ~crc;
}

// The value of name: the first entry "name=..." before the end (a stored
// environment ends at an empty entry).
bool ModelVariable(const std::string &entries, char separator, const std::string &name, std::string *value) {
  size_t start = 0;
  while (start < entries.size()) {
    size_t end = entries.find(separator, start);
    std::string entry = entries.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (separator == '\0' && entry.empty()) return false;
    if (entry.compare(0, name.size() + 1, name + "=") == 0) {
      *value = entry.substr(name.size() + 1);
      return true;
    }
    if (end == std::string::npos) return false;
    start = end + 1;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::InputReader input(data, size);
  uint8_t options = input.Byte();
  const bool redundant = (options & 1) != 0;
  const char separator = (options & 2) != 0 ? '\n' : '\0';
  std::string copy = input.Rest();
  const auto *bytes = reinterpret_cast<const unsigned char *>(copy.data());

  size_t header = EnvHeaderSize(redundant);
  bool valid = EnvCopyValid(bytes, copy.size(), redundant);
  uint32_t stored = copy.size() >= 4 ? static_cast<uint32_t>(bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24) : 0;
  bool expected = copy.size() > header && stored == BitwiseCrc32(bytes + header, copy.size() - header);
  if (valid != expected) fuzz::Broken("CRC valid %d, the bitwise CRC says %d", valid, expected);

  std::string entries = copy.size() > header ? copy.substr(header) : std::string();
  EnvVariables variables{{entries.data(), entries.size()}, separator};
  for (const char *name : {"bootcmd", "bootlimit", "a"}) {
    Span value{};
    std::string want;
    bool found = EnvVariable(variables, name, &value);
    if (found != ModelVariable(entries, separator, name, &want))
      fuzz::Broken("%s found %d, the model disagrees", name, found);
    if (found && std::string(value.text, value.length) != want) fuzz::Broken("%s: values differ", name);
    if (found && (value.text < entries.data() || value.text + value.length > entries.data() + entries.size()))
      fuzz::Broken("%s: the value lies outside the environment", name);
  }
  // The walk ends on any script, loops ("a=run a") and fan-outs included,
  // and finds what the script itself holds.
  Span bootcmd{};
  if (EnvVariable(variables, "bootcmd", &bootcmd)) {
    bool reaches = ScriptReaches(variables, bootcmd, "ota_upgrade_status", 8);
    if (SpanContains(bootcmd, "ota_upgrade_status") && !reaches) fuzz::Broken("bootcmd holds the name but is not seen to");
  }
  return 0;
}
