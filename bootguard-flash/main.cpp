// bootguard-flash: see flash_tool.h.

#include "flash_tool.h"

int main(int argc, char **argv) { return RunFlashTool(argc, argv); }
