// Shell command runner and integer-file writer, exported by bootguard.
#pragma once

#include "export.h"

// Runs command with "/bin/sh -c" in a child process and waits for it.
// Returns 1 for a null command (nothing runs), -1 when the child cannot be
// created or waited for, otherwise the child's raw wait status (exit code e
// gives e * 256).
BOOTGUARD_EXPORT int ZQSystem(const char *command);

// Replaces the content of path with the decimal text of value (no newline),
// atomically and durably.  Returns 0, or -1 with the old content intact.
BOOTGUARD_EXPORT int UtilsWriteFile(const char *path, int value);
