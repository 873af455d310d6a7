// bootguard-check: what the camera must give bootguard, checked on the
// camera.  Every input is read under a root directory (/ on the camera, a
// directory of fed files in the tests); nothing is ever written.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- inputs (inputs.cpp) ----------------------------------------------------

enum InputState { kInputRead, kInputMissing, kInputUnreadable, kInputTooLarge };

// path under root into out; false when it does not fit.
bool RootedPath(const char *root, const char *path, char *out, size_t size);
// The whole file at path under root into buf, NUL-terminated; length is
// what was read.  A file that does not fit reads as kInputTooLarge.
InputState ReadInput(const char *root, const char *path, char *buf, size_t size, size_t *length);
// What a state means, for a line naming the file: "missing", ...
const char *InputProblem(InputState state);

// A run of bytes inside a larger text, not NUL-terminated.
struct Span {
  const char *text;
  size_t length;
};
bool SpanContains(Span haystack, const char *needle);

// ---- /etc/fw_env.config ---------------------------------------------------

constexpr int kMaxEnvCopies = 2;
constexpr size_t kDevicePathSize = 64;
struct EnvCopy {
  char device[kDevicePathSize];
  uint64_t offset;
  uint32_t size;        // the environment's size, header included
  uint32_t sectorSize;  // as fw_setenv erases: the sector (erase block) size
  uint32_t sectors;     // 0: as many as the environment covers
};
struct EnvConfig {
  EnvCopy copies[kMaxEnvCopies];
  int count;                // 1: single, 2: redundant
  int badLine;              // the line the problem is on, 0 for the whole file
  char problem[96];
};
// Parses the config as fw_setenv does: per line DEVICE OFFSET SIZE
// [SECTOR-SIZE [SECTORS]], '#' comments.  False with problem/badLine set.
bool ParseEnvConfig(const char *text, EnvConfig *config);

// True when value is a whole number of units (unit > 0).
bool IsMultiple(uint32_t value, uint32_t unit);

// ---- /proc/mtd ------------------------------------------------------------

constexpr int kMaxMtdPartitions = 64;
constexpr size_t kMtdNameSize = 32;
struct MtdPartition {
  int number;  // N of mtdN
  uint32_t size;
  uint32_t eraseSize;
  char name[kMtdNameSize];
};
struct MtdList {
  MtdPartition partitions[kMaxMtdPartitions];
  int count;
  int badLine;  // the first line that is no partition line, or 0
};
// Parses the kernel's list ("mtdN: SIZE ERASESIZE \"NAME\"" after a header).
// False when a line is not such a line (badLine) or there are too many.
bool ParseMtdList(const char *text, MtdList *list);
const MtdPartition *MtdByNumber(const MtdList &list, int number);
const MtdPartition *MtdByName(const MtdList &list, const char *name);
// N of "/dev/mtdN" or "/dev/mtd/N", else -1.
int MtdNodeNumber(const char *device);

// ---- /proc/self/mountinfo -----------------------------------------------------

struct MountEntry {
  bool exact;        // path is the mount point itself
  bool readOnly;     // the mount's own options hold "ro"
  char fsType[32];   // the kernel's name of the file system ("jffs2", "tmpfs")
  char point[96];    // the mount point (as the kernel escapes it)
};
// The mount that holds path: the last line whose mount point is path or
// its longest parent.  False when no line covers it (or none parses).
bool FindMount(const char *mountinfo, const char *path, MountEntry *entry);

// ---- the stored environment -----------------------------------------------------

uint32_t EnvCrc32(const unsigned char *data, size_t length);
// Header bytes before the variables: the CRC, and the flag of a redundant copy.
size_t EnvHeaderSize(bool redundant);
// True when the copy's stored CRC (little-endian) matches its variables.
bool EnvCopyValid(const unsigned char *copy, size_t size, bool redundant);
// Of two valid redundant copies the newer by their flag bytes: 0 or 1.
int NewerEnvCopy(unsigned char firstFlag, unsigned char secondFlag);

// Variables as NAME=VALUE entries ended by separator: '\0' in a stored
// environment, '\n' in /etc/u-boot-initial-env.
struct EnvVariables {
  Span entries;
  char separator;
};
// The value of name, or false when there is no such entry.
bool EnvVariable(const EnvVariables &variables, const char *name, Span *value);
// True when script contains needle, or a variable it runs ("run A B") does,
// followed at most depth levels deep and through 256 variables in all.
bool ScriptReaches(const EnvVariables &variables, Span script, const char *needle, int depth);

// ---- the checks (checks.cpp) ------------------------------------------------------

enum Verdict { kPass, kWarn, kFail };
constexpr size_t kFindingSize = 320;
struct Finding {
  Verdict verdict;
  char text[kFindingSize];
};
// The stored environment as the config places it: every copy read whole
// from its device under the root, and which copy is in force.
struct StoredEnv {
  EnvConfig config;
  unsigned char *copies[kMaxEnvCopies];
  int inForce;  // the valid copy U-Boot reads, or -1
};
// What the checks look at: the root, and the stored environment, read
// once by the first check that needs it (three do, and on a camera its
// CRC over 256 KiB is most of a run's CPU).
struct Camera {
  const char *root;
  bool envLoaded;
  bool envRead;        // whole, as the config places it; else envProblem says why
  Finding envProblem;
  StoredEnv env;
};
Camera CameraAt(const char *root);
void ReleaseCamera(Camera *camera);
using CheckFunction = void (*)(Camera *camera, Finding *finding);
struct Check {
  char name[16];
  CheckFunction run;
};
// The checks in the order they are printed, and their number.
const Check *Checks(size_t *count);
// Runs every check under root, printing one line each and the summary.
// Returns the exit status: 0 nothing failed, 1 something failed.
int RunChecks(const char *root);
