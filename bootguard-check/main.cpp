// bootguard-check: checks, on the running camera, what the camera must give
// bootguard.  It only reads: it never writes the counter, /customer, flash
// or the environment, never runs fw_setenv and never opens /dev/watchdog.

#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "check.h"

namespace {

constexpr int kUsageError = 2;

void PrintUsage(FILE *to) {
  fputs("Usage: bootguard-check [--root DIR]\n"
        "\n"
        "Checks what the camera must give bootguard and prints one line a check,\n"
        "PASS, WARN or FAIL, then the counts.  It only reads.\n"
        "\n"
        "  --root DIR  read every input under DIR instead of / (a copy of a\n"
        "              camera's files, for tests)\n"
        "  --help | --version\n"
        "\n"
        "Exit status: 0 nothing failed; 1 a check failed; 2 usage error.\n",
        to);
}

bool IsDirectory(const char *path) {
  struct stat info {};
  return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

int main(int argc, char **argv) {
  const char *root = "/";
  for (int index = 1; index < argc; ++index) {
    if (strcmp(argv[index], "--help") == 0) {
      PrintUsage(stdout);
      return 0;
    }
    if (strcmp(argv[index], "--version") == 0) {
      printf("bootguard-check %s\n", BOOTGUARD_VERSION);
      return 0;
    }
    if (strcmp(argv[index], "--root") == 0 && index + 1 < argc) {
      root = argv[++index];
      continue;
    }
    fprintf(stderr, "bootguard-check: unknown argument '%s'\n", argv[index]);
    PrintUsage(stderr);
    return kUsageError;
  }
  // Every input's path is put under the root: one that cannot hold them
  // would make every check fail for the wrong reason.
  if (!IsDirectory(root) || strlen(root) > 200) {
    fprintf(stderr, "bootguard-check: --root '%s' is no directory (or its name is too long)\n", root);
    return kUsageError;
  }
  return RunChecks(root);
}
