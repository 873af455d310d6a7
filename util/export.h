// Marks a function as part of the executable's exported surface: C linkage
// so callers find it by its plain name, default visibility so the linker's
// dynamic list can publish it.  Everything else in the build is hidden.
#pragma once

#ifdef __cplusplus
#define BOOTGUARD_EXPORT extern "C" __attribute__((visibility("default")))
#else
#define BOOTGUARD_EXPORT __attribute__((visibility("default")))
#endif
