// Integer-file readers shared inside bootguard; not exported.
#pragma once

// Reads the first line of path (at most len - 1 characters, newline kept)
// into buf, which is cleared first.  Returns -1 if path cannot be opened.
int UtilsReadFile(const char *path, char *buf, int len);

// The integer at the start of path's first line, or fallback when the file
// cannot be opened or is empty.  Text without a leading number reads as 0.
int UtilsReadInt(const char *path, int fallback);
