// The test executable's own mmap: file mappings can be refused, as on a
// file system that cannot map files, and are counted.
#pragma once

namespace filemappings {

// While true, every mapping of a file fails with ENODEV.
extern bool refuse;
// File mappings asked for since the last reset, refused or not.
extern int asked;

}  // namespace filemappings
