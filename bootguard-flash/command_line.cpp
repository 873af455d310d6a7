// The command line: options, the command, its arguments, and --help.

#include <cstdint>
#include <cstring>

#include "flash_private.h"
#include "flash_tool.h"

namespace {

constexpr const char *kHint = "(see bootguard-flash --help)";
constexpr size_t kNamesSize = 128;

struct CommandForm {
  const char *word;
  Command command;
  int minArguments;
  int maxArguments;
  const char *arguments;  // for the usage error
};
constexpr CommandForm kCommands[] = {
    {"write", Command::kWrite, 2, 2, "[--size BYTES] PARTITION FILE"},
    {"read", Command::kRead, 2, 4, "PARTITION FILE [LENGTH [OFFSET]]"},
    {"erase-env", Command::kEraseEnv, 0, 0, "no arguments"},
    {"invalidate-env", Command::kInvalidateEnv, 0, 0, "no arguments"},
    {"--help", Command::kHelp, 0, 0, "no arguments"},
    {"--version", Command::kVersion, 0, 0, "no arguments"},
};

const CommandForm *FindCommand(const char *word) {
  for (const CommandForm &form : kCommands) {
    if (strcmp(word, form.word) == 0) {
      return &form;
    }
  }
  return nullptr;
}

// Options come before the command; the last of --progress and --quiet wins.
bool ParseOption(const char *word, ToolRequest *request) {
  if (strcmp(word, "--progress") == 0) {
    request->progress = ProgressMode::kLines;
  } else if (strcmp(word, "--quiet") == 0) {
    request->progress = ProgressMode::kNone;
  } else {
    Complain("unknown option '%s' %s", word, kHint);
    return false;
  }
  return true;
}

// Decimal digits only: no sign, no spaces, no hexadecimal.  A number too
// big for 64 bits saturates; it is past any partition's end all the same.
bool ParseCount(const char *text, uint64_t *value) {
  if (*text == '\0') {
    return false;
  }
  uint64_t number = 0;
  for (const char *digit = text; *digit != '\0'; ++digit) {
    if (*digit < '0' || *digit > '9') {
      return false;
    }
    unsigned next = static_cast<unsigned>(*digit - '0');
    number = number > (UINT64_MAX - next) / 10 ? UINT64_MAX : number * 10 + next;
  }
  *value = number;
  return true;
}

bool ParseReadNumbers(int count, char **arguments, ToolRequest *request) {
  if (count >= 3) {
    request->lengthGiven = true;
    if (!ParseCount(arguments[2], &request->length)) {
      Complain("LENGTH must be a non-negative decimal number, not '%s' %s", arguments[2], kHint);
      return false;
    }
  }
  if (count == 4 && !ParseCount(arguments[3], &request->offset)) {
    Complain("OFFSET must be a non-negative decimal number, not '%s' %s", arguments[3], kHint);
    return false;
  }
  return true;
}

// write's --size BYTES, before its arguments: the bytes an image on
// standard input must have.  Takes the option's two words off the arguments.
bool ParseWriteSize(int *count, char ***arguments, ToolRequest *request) {
  if (*count < 2 || strcmp((*arguments)[0], "--size") != 0) {
    return true;
  }
  const char *text = (*arguments)[1];
  if (!ParseCount(text, &request->length) || request->length == 0) {
    Complain("--size must be a positive decimal number, not '%s' %s", text, kHint);
    return false;
  }
  request->lengthGiven = true;
  *count -= 2;
  *arguments += 2;
  return true;
}

// The module's own table decides, by its own prefix rule.
bool ResolvePartition(const CommandForm &form, ToolRequest *request) {
  bool forReading = form.command == Command::kRead;
  request->node = PartitionNode(request->partition, forReading ? kForReading : kForWriting);
  if (request->node == nullptr) {
    char names[kNamesSize];
    PartitionNames(forReading, names, sizeof names);
    Complain("unknown partition '%s' for %s; it takes: %s", request->partition, form.word, names);
    return false;
  }
  return true;
}

bool ParseArguments(const CommandForm &form, int count, char **arguments, ToolRequest *request) {
  if (form.command == Command::kWrite && !ParseWriteSize(&count, &arguments, request)) {
    return false;
  }
  if (count < form.minArguments || count > form.maxArguments) {
    Complain("%s takes %s %s", form.word, form.arguments, kHint);
    return false;
  }
  if (form.command != Command::kWrite && form.command != Command::kRead) {
    return true;
  }
  request->partition = arguments[0];
  request->file = arguments[1];
  if (form.command == Command::kRead && !ParseReadNumbers(count, arguments, request)) {
    return false;
  }
  if (form.command == Command::kWrite && request->lengthGiven && strcmp(request->file, "-") != 0) {
    Complain("--size is for an image on standard input (FILE -) %s", kHint);
    return false;
  }
  return ResolvePartition(form, request);
}

}  // namespace

bool ParseCommandLine(int argc, char **argv, ToolRequest *request) {
  int next = 1;
  for (; next < argc && argv[next][0] == '-' && FindCommand(argv[next]) == nullptr; ++next) {
    if (!ParseOption(argv[next], request)) {
      return false;
    }
  }
  if (next == argc) {
    Complain("no command given %s", kHint);
    return false;
  }
  const CommandForm *form = FindCommand(argv[next]);
  if (form == nullptr) {
    Complain("unknown command '%s' %s", argv[next], kHint);
    return false;
  }
  request->command = form->command;
  return ParseArguments(*form, argc - next - 1, argv + next + 1, request);
}

void PartitionNames(bool forReading, char *out, size_t size) {
  size_t used = 0;
  out[0] = '\0';
  const char *name = nullptr;
  for (size_t index = 0; (name = PartitionName(index, forReading ? kForReading : kForWriting)) != nullptr; ++index) {
    int length = snprintf(out + used, size - used, "%s%s", index == 0 ? "" : " ", name);
    if (length < 0 || static_cast<size_t>(length) >= size - used) {
      return;  // cut short: the buffer holds as many names as fit
    }
    used += static_cast<size_t>(length);
  }
}

void PrintHelp(FILE *out) {
  char writeNames[kNamesSize];
  char readNames[kNamesSize];
  PartitionNames(false, writeNames, sizeof writeNames);
  PartitionNames(true, readNames, sizeof readNames);
  fprintf(out,
          "Usage: bootguard-flash [--progress | --quiet] COMMAND [ARGUMENT...]\n"
          "\n"
          "  write PARTITION FILE     FILE as the partition's image\n"
          "  write [--size BYTES] PARTITION -\n"
          "                           the image from standard input, BYTES long\n"
          "                           (default: standard input's size, if a file)\n"
          "  read PARTITION FILE [LENGTH [OFFSET]]\n"
          "                           LENGTH bytes (default: all) from OFFSET\n"
          "                           (default 0) into FILE; - is standard output\n"
          "  erase-env                erase the whole \"uenv\" partition\n"
          "  invalidate-env           zero the stored environment's CRC field\n"
          "  --help | --version\n"
          "Options, before the command: --progress, a line per whole-percent change\n"
          "on standard error; --quiet, no progress even on a terminal.\n"
          "\n"
          "write takes: %s\n"
          "read takes:  %s\n"
          "A name matches when it starts with one of these: rootfs2 is rootfs.\n"
          "\n"
          "A write skips bad blocks and blocks that already hold the image, reads\n"
          "back what it writes and erases the rest of the partition.  FILE is read\n"
          "whole first (in /tmp it is used where it lies); standard input is written\n"
          "as it arrives, a block at a time, and a stream cut short or longer than\n"
          "BYTES leaves the rest as it was and fails.  The same stream again\n"
          "completes the write:\n"
          "    set -o pipefail\n"
          "    wget -O- \"$url\" | bootguard-flash write --size $n rootfs -\n"
          "    tar -xOf update.tar rootfs.img | bootguard-flash write --size $n rootfs -\n"
          "\n"
          "Exit status: 0 success; 1 the operation failed (a write: flash unchanged);\n"
          "2 usage error; 3 a write failed after changing flash: write it again.\n",
          writeNames, readNames);
}
