// The checks' inputs: files read whole under the root, and the parsers of
// fw_env.config, /proc/mtd, mountinfo and the stored environment.  Every
// input may be missing, cut short, binary or hostile: each parser bounds
// what it reads by the text's length and says what it could not take.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "check.h"

namespace {

// Longest line of fw_env.config or /proc/mtd taken apart; longer ones are
// reported, not cut.
constexpr size_t kLineSize = 160;
constexpr int kMaxConfigFields = 5;
constexpr uint32_t kCrcPolynomial = 0xEDB88320;  // CRC-32 as U-Boot stores it

// The next line of text from *cursor into line; false at the end.  A line
// that does not fit is returned cut, with *tooLong set.
bool NextLine(const char **cursor, char *line, size_t size, bool *tooLong) {
  const char *start = *cursor;
  if (*start == '\0') {
    return false;
  }
  const char *end = strchr(start, '\n');
  size_t length = end != nullptr ? static_cast<size_t>(end - start) : strlen(start);
  *cursor = end != nullptr ? end + 1 : start + length;
  *tooLong = length >= size;
  if (*tooLong) {
    length = size - 1;
  }
  memcpy(line, start, length);
  line[length] = '\0';
  return true;
}

// A whole unsigned number, hexadecimal with 0x, else decimal.
bool ParseNumber(const char *text, uint64_t *value) {
  if (*text < '0' || *text > '9') {
    return false;
  }
  char *end = nullptr;
  errno = 0;
  unsigned long long parsed = strtoull(text, &end, 0);
  if (errno != 0 || *end != '\0') {
    return false;
  }
  *value = parsed;
  return true;
}

bool ParseSize(const char *text, uint32_t *value) {
  uint64_t parsed = 0;
  if (!ParseNumber(text, &parsed) || parsed == 0 || parsed > UINT32_MAX) {
    return false;
  }
  *value = static_cast<uint32_t>(parsed);
  return true;
}

bool ConfigProblem(EnvConfig *config, int line, const char *problem) {
  config->badLine = line;
  snprintf(config->problem, sizeof config->problem, "%s", problem);
  return false;
}

// One line's fields, split at blanks in place; the count, or one more than
// the limit when there are more.
int SplitFields(char *line, char **fields, int limit) {
  int count = 0;
  char *save = nullptr;
  for (char *field = strtok_r(line, " \t\r", &save); field != nullptr; field = strtok_r(nullptr, " \t\r", &save)) {
    if (count == limit) {
      return limit + 1;
    }
    fields[count++] = field;
  }
  return count;
}

bool ParseConfigLine(char **fields, int count, EnvCopy *copy) {
  if (strlen(fields[0]) >= sizeof copy->device || fields[0][0] != '/') {
    return false;
  }
  snprintf(copy->device, sizeof copy->device, "%s", fields[0]);
  if (!ParseNumber(fields[1], &copy->offset) || !ParseSize(fields[2], &copy->size)) {
    return false;
  }
  // As fw_setenv: no sector size means one of the environment's size, no
  // count as many sectors as the environment covers.
  copy->sectorSize = copy->size;
  if (count >= 4 && !ParseSize(fields[3], &copy->sectorSize)) {
    return false;
  }
  return count < 5 || ParseSize(fields[4], &copy->sectors);
}

// A mountinfo line's field at index (from 0), or false.
bool Field(const char *line, int index, Span *field) {
  const char *cursor = line;
  for (int at = 0;; ++at) {
    while (*cursor == ' ') {
      ++cursor;
    }
    if (*cursor == '\0' || *cursor == '\n') {
      return false;
    }
    const char *end = cursor;
    while (*end != ' ' && *end != '\0' && *end != '\n') {
      ++end;
    }
    if (at == index) {
      *field = Span{cursor, static_cast<size_t>(end - cursor)};
      return true;
    }
    cursor = end;
  }
}

// The mount point's length when it covers path (itself or a parent), else 0.
size_t Covers(Span point, const char *path) {
  if (point.length == 1 && point.text[0] == '/') {
    return 1;
  }
  size_t pathLength = strlen(path);
  if (point.length > pathLength || memcmp(point.text, path, point.length) != 0) {
    return 0;
  }
  return path[point.length] == '\0' || path[point.length] == '/' ? point.length : 0;
}

bool HasOption(Span options, const char *option) {
  size_t length = strlen(option);
  const char *cursor = options.text;
  const char *end = options.text + options.length;
  while (cursor < end) {
    const char *comma = static_cast<const char *>(memchr(cursor, ',', static_cast<size_t>(end - cursor)));
    const char *optionEnd = comma != nullptr ? comma : end;
    if (static_cast<size_t>(optionEnd - cursor) == length && memcmp(cursor, option, length) == 0) {
      return true;
    }
    cursor = optionEnd + 1;
  }
  return false;
}

void CopySpan(Span span, char *out, size_t size) {
  size_t length = span.length < size ? span.length : size - 1;
  memcpy(out, span.text, length);
  out[length] = '\0';
}

// The mount line's file-system type: the field after the lone "-".
bool FsTypeField(const char *line, Span *type) {
  Span field{};
  for (int index = 6; Field(line, index, &field); ++index) {
    if (field.length == 1 && field.text[0] == '-') {
      return Field(line, index + 1, type);
    }
  }
  return false;
}

bool IsNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

}  // namespace

bool RootedPath(const char *root, const char *path, char *out, size_t size) {
  // The camera's own root adds nothing; another is put before the path.
  int length = strcmp(root, "/") == 0 ? snprintf(out, size, "%s", path) : snprintf(out, size, "%s%s", root, path);
  return length > 0 && static_cast<size_t>(length) < size;
}

InputState ReadInput(const char *root, const char *path, char *buf, size_t size, size_t *length) {
  *length = 0;
  buf[0] = '\0';
  char rooted[512];
  if (!RootedPath(root, path, rooted, sizeof rooted)) {
    return kInputUnreadable;
  }
  // Non-blocking: a FIFO planted in a file's place must not hang the check.
  int fd = open(rooted, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    return errno == ENOENT || errno == ENOTDIR ? kInputMissing : kInputUnreadable;
  }
  InputState state = kInputRead;
  while (*length < size - 1) {
    ssize_t got = read(fd, buf + *length, size - 1 - *length);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      state = kInputUnreadable;
      break;
    }
    if (got == 0) {
      break;
    }
    *length += static_cast<size_t>(got);
  }
  char more = 0;
  if (state == kInputRead && *length == size - 1 && read(fd, &more, 1) > 0) {
    state = kInputTooLarge;
  }
  close(fd);
  buf[*length] = '\0';
  return state;
}

const char *InputProblem(InputState state) {
  switch (state) {
    case kInputRead:
      return "read";
    case kInputMissing:
      return "missing";
    case kInputTooLarge:
      return "too large to be what it should";
    case kInputUnreadable:
      break;
  }
  return "unreadable";
}

bool SpanContains(Span haystack, const char *needle) {
  return memmem(haystack.text, haystack.length, needle, strlen(needle)) != nullptr;
}

bool IsMultiple(uint32_t value, uint32_t unit) {
  // Long division a bit at a time: ARMv7-A has no divide instruction, and
  // the library's division routine alone would cost this program a page.
  uint64_t remainder = value;
  for (int shift = 31; shift >= 0; --shift) {
    uint64_t step = static_cast<uint64_t>(unit) << shift;
    if (remainder >= step) {
      remainder -= step;
    }
  }
  return remainder == 0;
}

bool ParseEnvConfig(const char *text, EnvConfig *config) {
  *config = EnvConfig{};
  char line[kLineSize];
  bool tooLong = false;
  for (int number = 1; NextLine(&text, line, sizeof line, &tooLong); ++number) {
    if (tooLong) {
      return ConfigProblem(config, number, "line too long");
    }
    char *comment = strchr(line, '#');
    if (comment != nullptr) {
      *comment = '\0';
    }
    char *fields[kMaxConfigFields];
    int count = SplitFields(line, fields, kMaxConfigFields);
    if (count == 0) {
      continue;
    }
    if (count < 3 || count > kMaxConfigFields) {
      return ConfigProblem(config, number, "not DEVICE OFFSET SIZE [SECTOR-SIZE [SECTORS]]");
    }
    if (config->count == kMaxEnvCopies) {
      return ConfigProblem(config, number, "a third environment copy");
    }
    if (!ParseConfigLine(fields, count, &config->copies[config->count])) {
      return ConfigProblem(config, number, "a device that is no path, or a number that is not one");
    }
    ++config->count;
  }
  if (config->count == 0) {
    return ConfigProblem(config, 0, "no environment line");
  }
  if (config->count == 2 && config->copies[0].size != config->copies[1].size) {
    return ConfigProblem(config, 2, "the two copies differ in size");
  }
  return true;
}

bool ParseMtdList(const char *text, MtdList *list) {
  *list = MtdList{};
  char line[kLineSize];
  bool tooLong = false;
  for (int number = 1; NextLine(&text, line, sizeof line, &tooLong); ++number) {
    if (number == 1 && strncmp(line, "dev:", 4) == 0) {
      continue;
    }
    MtdPartition partition{};
    char *end = nullptr;
    bool ok = !tooLong && strncmp(line, "mtd", 3) == 0 && line[3] >= '0' && line[3] <= '9';
    if (ok) {
      long index = strtol(line + 3, &end, 10);
      ok = *end == ':' && index < 1000;
      partition.number = static_cast<int>(index);
    }
    if (ok) {
      unsigned long size = strtoul(end + 1, &end, 16);
      unsigned long eraseSize = strtoul(end, &end, 16);
      ok = size <= UINT32_MAX && eraseSize <= UINT32_MAX;
      partition.size = static_cast<uint32_t>(size);
      partition.eraseSize = static_cast<uint32_t>(eraseSize);
    }
    const char *open = ok ? strchr(end, '"') : nullptr;
    const char *close = open != nullptr ? strrchr(open + 1, '"') : nullptr;
    ok = close != nullptr && static_cast<size_t>(close - open - 1) < sizeof partition.name && list->count < kMaxMtdPartitions;
    if (!ok) {
      list->badLine = number;
      return false;
    }
    CopySpan(Span{open + 1, static_cast<size_t>(close - open - 1)}, partition.name, sizeof partition.name);
    list->partitions[list->count++] = partition;
  }
  return true;
}

const MtdPartition *MtdByNumber(const MtdList &list, int number) {
  for (int index = 0; index < list.count; ++index) {
    if (list.partitions[index].number == number) {
      return &list.partitions[index];
    }
  }
  return nullptr;
}

const MtdPartition *MtdByName(const MtdList &list, const char *name) {
  for (int index = 0; index < list.count; ++index) {
    if (strcmp(list.partitions[index].name, name) == 0) {
      return &list.partitions[index];
    }
  }
  return nullptr;
}

int MtdNodeNumber(const char *device) {
  const char *digits = nullptr;
  if (strncmp(device, "/dev/mtd/", 9) == 0) {
    digits = device + 9;
  } else if (strncmp(device, "/dev/mtd", 8) == 0) {
    digits = device + 8;
  }
  if (digits == nullptr || *digits < '0' || *digits > '9') {
    return -1;
  }
  char *end = nullptr;
  long number = strtol(digits, &end, 10);
  return *end == '\0' && number < 1000 ? static_cast<int>(number) : -1;
}

bool FindMount(const char *mountinfo, const char *path, MountEntry *entry) {
  *entry = MountEntry{};
  size_t best = 0;
  for (const char *line = mountinfo; *line != '\0';) {
    const char *next = strchr(line, '\n');
    Span point{};
    Span options{};
    Span type{};
    // Later lines are later mounts, which hide earlier ones at the same point.
    if (Field(line, 4, &point) && Field(line, 5, &options) && FsTypeField(line, &type)) {
      size_t covered = Covers(point, path);
      if (covered != 0 && covered >= best) {
        best = covered;
        entry->exact = point.length == strlen(path);
        entry->readOnly = HasOption(options, "ro");
        CopySpan(type, entry->fsType, sizeof entry->fsType);
        CopySpan(point, entry->point, sizeof entry->point);
      }
    }
    if (next == nullptr) {
      break;
    }
    line = next + 1;
  }
  return best != 0;
}

uint32_t EnvCrc32(const unsigned char *data, size_t length) {
  // A byte at a time through a table: a 256 KiB environment costs about a
  // million instructions, a bit at a time eight times that.
  static uint32_t table[256];
  if (table[1] == 0) {
    for (uint32_t byte = 0; byte < 256; ++byte) {
      uint32_t value = byte;
      for (int bit = 0; bit < 8; ++bit) {
        value = (value & 1) != 0 ? (value >> 1) ^ kCrcPolynomial : value >> 1;
      }
      table[byte] = value;
    }
  }
  uint32_t crc = 0xFFFFFFFF;
  for (size_t index = 0; index < length; ++index) {
    crc = table[(crc ^ data[index]) & 0xFF] ^ (crc >> 8);
  }
  return crc ^ 0xFFFFFFFF;
}

size_t EnvHeaderSize(bool redundant) { return redundant ? 5 : 4; }

bool EnvCopyValid(const unsigned char *copy, size_t size, bool redundant) {
  size_t header = EnvHeaderSize(redundant);
  if (size <= header) {
    return false;
  }
  uint32_t stored = static_cast<uint32_t>(copy[0]) | static_cast<uint32_t>(copy[1]) << 8 |
                    static_cast<uint32_t>(copy[2]) << 16 | static_cast<uint32_t>(copy[3]) << 24;
  return stored == EnvCrc32(copy + header, size - header);
}

int NewerEnvCopy(unsigned char firstFlag, unsigned char secondFlag) {
  // The tools raise the flag by one with each save (wrapping at 255); the
  // old boolean scheme's active 1 over obsolete 0 reads the same.
  return static_cast<unsigned char>(firstFlag + 1) == secondFlag ? 1 : 0;
}

bool EnvVariable(const EnvVariables &variables, const char *name, Span *value) {
  size_t nameLength = strlen(name);
  const char *cursor = variables.entries.text;
  const char *end = cursor + variables.entries.length;
  while (cursor < end) {
    const char *entryEnd = static_cast<const char *>(memchr(cursor, variables.separator, static_cast<size_t>(end - cursor)));
    if (entryEnd == nullptr) {
      entryEnd = end;
    }
    size_t length = static_cast<size_t>(entryEnd - cursor);
    if (variables.separator == '\0' && length == 0) {
      break;  // a stored environment ends at its first empty entry
    }
    if (length > nameLength && memcmp(cursor, name, nameLength) == 0 && cursor[nameLength] == '=') {
      *value = Span{cursor + nameLength + 1, length - nameLength - 1};
      return true;
    }
    cursor = entryEnd + 1;
  }
  return false;
}

namespace {

// The walk behind ScriptReaches; visits bounds the variables looked at in
// all, so that a hostile environment ("a=run a a a a ...") costs no more
// than a few hundred look-ups however it fans out.
// NOLINTNEXTLINE(misc-no-recursion): at most depth levels deep (8 from bootcmd), each level a frame of 100 bytes
bool Reaches(const EnvVariables &variables, Span script, const char *needle, int depth, int *visits) {
  if (SpanContains(script, needle)) {
    return true;
  }
  if (depth == 0 || *visits <= 0) {
    return false;
  }
  const char *end = script.text + script.length;
  for (const char *cursor = script.text; cursor + 4 <= end; ++cursor) {
    bool atWord = cursor == script.text || !IsNameCharacter(cursor[-1]);
    if (!atWord || memcmp(cursor, "run", 3) != 0 || (cursor[3] != ' ' && cursor[3] != '\t')) {
      continue;
    }
    // "run A B C": each name up to the end of the command.
    const char *name = cursor + 4;
    while (name < end && *name != ';' && *name != '\n') {
      while (name < end && (*name == ' ' || *name == '\t')) {
        ++name;
      }
      const char *nameEnd = name;
      while (nameEnd < end && IsNameCharacter(*nameEnd)) {
        ++nameEnd;
      }
      char variable[64];
      Span value{};
      if (nameEnd == name || static_cast<size_t>(nameEnd - name) >= sizeof variable) {
        break;
      }
      CopySpan(Span{name, static_cast<size_t>(nameEnd - name)}, variable, sizeof variable);
      --*visits;
      if (EnvVariable(variables, variable, &value) && Reaches(variables, value, needle, depth - 1, visits)) {
        return true;
      }
      name = nameEnd;
    }
  }
  return false;
}

}  // namespace

bool ScriptReaches(const EnvVariables &variables, Span script, const char *needle, int depth) {
  constexpr int kMaxVisits = 256;
  int visits = kMaxVisits;
  return Reaches(variables, script, needle, depth, &visits);
}
