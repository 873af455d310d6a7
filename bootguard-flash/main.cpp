// bootguard-flash: see flash_tool.h.

#include "flash_tool.h"

int main(int argc, char **argv) {
  // The flash module's lines reach a pipe or a log as they are printed,
  // even when the process ends at once on a file cut short under a write.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  return RunFlashTool(argc, argv);
}
