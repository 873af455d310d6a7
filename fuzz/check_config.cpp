// bootguard-check's reading of /etc/fw_env.config: any bytes, against a
// model of the format written the other way round (std::string, whole
// lines, the numbers' grammar spelled out).  What one accepts the other
// must, with the same devices, offsets and sizes.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "check.h"
#include "fuzz_support.h"

namespace {

// 0x-hexadecimal or decimal digits only, the value within 64 (or 32) bits.
bool ModelNumber(const std::string &text, uint64_t limit, uint64_t *value) {
  bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  std::string digits = hex ? text.substr(2) : text;
  if (digits.empty() || (!hex && text.size() > 1 && text[0] == '0')) {
    // A leading 0 is octal to strtoull: 0 alone, or octal digits.
    if (hex || text.find_first_not_of("01234567") != std::string::npos) return false;
  }
  const uint64_t base = hex ? 16 : text[0] == '0' && text.size() > 1 ? 8 : 10;
  uint64_t sum = 0;
  for (char c : digits) {
    int digit = c >= '0' && c <= '9' ? c - '0' : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10 : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (digit < 0) return false;
    if (sum > (UINT64_MAX - static_cast<uint64_t>(digit)) / base) return false;  // out of 64 bits
    sum = sum * base + static_cast<uint64_t>(digit);
  }
  *value = sum;
  return sum <= limit;
}

struct ModelCopy {
  std::string device;
  uint64_t offset, size, sector;
};

bool Model(const std::string &text, std::vector<ModelCopy> *copies) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    start = end == std::string::npos ? text.size() : end + 1;
    if (line.size() >= 160) return false;  // longer than the parser takes apart
    line = line.substr(0, line.find('#'));
    std::vector<std::string> fields;
    std::string field;
    for (char c : line + " ") {
      if (c == ' ' || c == '\t' || c == '\r') {
        if (!field.empty()) fields.push_back(field);
        field.clear();
      } else {
        field += c;
      }
    }
    if (fields.empty()) continue;
    if (fields.size() < 3 || fields.size() > 5 || copies->size() == 2) return false;
    ModelCopy copy{fields[0], 0, 0, 0};
    uint64_t sectors = 0;
    if (copy.device[0] != '/' || copy.device.size() >= kDevicePathSize) return false;
    if (!ModelNumber(fields[1], UINT64_MAX, &copy.offset) || !ModelNumber(fields[2], UINT32_MAX, &copy.size) || copy.size == 0) return false;
    copy.sector = copy.size;
    if (fields.size() >= 4 && (!ModelNumber(fields[3], UINT32_MAX, &copy.sector) || copy.sector == 0)) return false;
    if (fields.size() == 5 && (!ModelNumber(fields[4], UINT32_MAX, &sectors) || sectors == 0)) return false;
    copies->push_back(copy);
  }
  return !copies->empty() && (copies->size() == 1 || (*copies)[0].size == (*copies)[1].size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // The file as ReadInput gives it: NUL-terminated, read up to its first NUL.
  std::string text(reinterpret_cast<const char *>(data), size);
  text = text.substr(0, text.find('\0'));
  EnvConfig config{};
  bool parsed = ParseEnvConfig(text.c_str(), &config);
  std::vector<ModelCopy> model;
  bool expected = Model(text, &model);
  if (parsed != expected) fuzz::Broken("parsed %d, the model says %d (%s)", parsed, expected, config.problem);
  if (!parsed) {
    if (config.problem[0] == '\0') fuzz::Broken("rejected without saying why");
    return 0;
  }
  if (config.count != static_cast<int>(model.size())) fuzz::Broken("%d copies, the model has %zu", config.count, model.size());
  for (int index = 0; index < config.count; ++index) {
    const EnvCopy &copy = config.copies[index];
    const ModelCopy &want = model[static_cast<size_t>(index)];
    if (want.device != copy.device || want.offset != copy.offset || want.size != copy.size || want.sector != copy.sectorSize)
      fuzz::Broken("copy %d: %s 0x%llx 0x%x 0x%x, the model: %s 0x%llx 0x%llx 0x%llx", index, copy.device,
                   static_cast<unsigned long long>(copy.offset), copy.size, copy.sectorSize, want.device.c_str(),
                   static_cast<unsigned long long>(want.offset), static_cast<unsigned long long>(want.size),
                   static_cast<unsigned long long>(want.sector));
  }
  return 0;
}
