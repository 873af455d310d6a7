// The checks: one function each, reading its inputs under the root and
// saying what it found in one line.  A check whose input is missing or
// garbled says so, naming the file; one that depends on another's input
// which failed warns that it could not check rather than failing twice.

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "check.h"
#include "flash_private.h"

namespace {

constexpr const char *kMountInfo = "/proc/self/mountinfo";
constexpr const char *kPartitionList = "/proc/mtd";
constexpr const char *kEnvConfig = "/etc/fw_env.config";
constexpr const char *kInitialEnv = "/etc/u-boot-initial-env";
constexpr const char *kInitScript = "/etc/init.d/S99bootguard";
constexpr const char *kUnitLink = "/etc/systemd/system/multi-user.target.wants/bootguard.service";
constexpr long kMtdWriteable = 0x400;     // MTD_WRITEABLE in the sysfs flags
constexpr long kSettleSeconds = 30;
constexpr long kMinBootLimit = 4;          // bootguard's three failed boots, and one more
constexpr int kScriptDepth = 8;            // "run" levels followed from bootcmd
constexpr size_t kMountInfoSize = 32768;
constexpr size_t kListSize = 16384;
constexpr size_t kSmallFileSize = 4096;
constexpr size_t kMaxEnvSize = 1 << 20;
constexpr size_t kMaxInitialEnvSize = 1 << 16;

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style on purpose, its formats checked by the compiler's format attribute
__attribute__((format(printf, 3, 4))) void Say(Finding *finding, Verdict verdict, const char *format, ...) {
  finding->verdict = verdict;
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(finding->text, sizeof finding->text, format, arguments);
  va_end(arguments);
}

// A heap buffer released on every way out.
class Buffer {
 public:
  explicit Buffer(size_t size) : data_(static_cast<char *>(malloc(size))) {}
  Buffer(const Buffer &) = delete;
  Buffer &operator=(const Buffer &) = delete;
  ~Buffer() { free(data_); }
  char *get() const { return data_; }

 private:
  char *data_;
};

bool Exists(const char *root, const char *path) {
  char rooted[512];
  struct stat info {};
  return RootedPath(root, path, rooted, sizeof rooted) && lstat(rooted, &info) == 0;
}

bool IsExecutableFile(const char *root, const char *path) {
  char rooted[512];
  struct stat info {};
  return RootedPath(root, path, rooted, sizeof rooted) && stat(rooted, &info) == 0 && S_ISREG(info.st_mode) &&
         (info.st_mode & 0111) != 0;
}

// A number in a small text file (sysfs, /proc/sys): false when the file
// cannot be read or holds no number.
bool ReadNumber(const char *root, const char *path, int base, long *value) {
  char text[64];
  size_t length = 0;
  if (ReadInput(root, path, text, sizeof text, &length) != kInputRead) {
    return false;
  }
  char *end = nullptr;
  errno = 0;
  *value = strtol(text, &end, base);
  return errno == 0 && end != text && (*end == '\0' || *end == '\n');
}

bool Volatile(const char *fsType) {
  return strcmp(fsType, "tmpfs") == 0 || strcmp(fsType, "ramfs") == 0 || strcmp(fsType, "rootfs") == 0;
}

// The mount that holds path, from mountinfo, or a FAIL naming the file.
bool MountOf(const char *root, const char *path, MountEntry *entry, Finding *finding) {
  Buffer text(kMountInfoSize);
  size_t length = 0;
  if (text.get() == nullptr) {
    Say(finding, kFail, "no memory to read %s", kMountInfo);
    return false;
  }
  InputState state = ReadInput(root, kMountInfo, text.get(), kMountInfoSize, &length);
  if (state != kInputRead) {
    Say(finding, kFail, "%s is %s: cannot tell what holds %s", kMountInfo, InputProblem(state), path);
    return false;
  }
  if (!FindMount(text.get(), path, entry)) {
    Say(finding, kFail, "%s lists no mount holding %s", kMountInfo, path);
    return false;
  }
  return true;
}

bool LoadConfig(const char *root, EnvConfig *config, InputState *state) {
  char text[kSmallFileSize];
  size_t length = 0;
  *state = ReadInput(root, kEnvConfig, text, sizeof text, &length);
  return *state == kInputRead && ParseEnvConfig(text, config);
}

bool LoadMtdList(const char *root, MtdList *list, InputState *state) {
  Buffer text(kListSize);
  size_t length = 0;
  if (text.get() == nullptr) {
    *state = kInputUnreadable;
    return false;
  }
  *state = ReadInput(root, kPartitionList, text.get(), kListSize, &length);
  return *state == kInputRead && ParseMtdList(text.get(), list);
}

bool InitialEnvPresent(const char *root) {
  char first[2];
  size_t length = 0;
  InputState state = ReadInput(root, kInitialEnv, first, sizeof first, &length);
  return (state == kInputRead || state == kInputTooLarge) && length > 0;
}

void ReleaseStoredEnv(StoredEnv *env) {
  for (unsigned char *&copy : env->copies) {
    free(copy);
    copy = nullptr;
  }
}

bool ReadCopy(const char *root, const EnvCopy &copy, unsigned char *into, Finding *finding) {
  char rooted[512];
  if (!RootedPath(root, copy.device, rooted, sizeof rooted)) {
    Say(finding, kFail, "%s: path too long under the root", copy.device);
    return false;
  }
  int fd = open(rooted, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    Say(finding, kFail, "cannot open %s, named in %s: %s", copy.device, kEnvConfig, strerror(errno));
    return false;
  }
  size_t done = 0;
  while (done < copy.size) {
    ssize_t got = pread(fd, into + done, copy.size - done, static_cast<off_t>(copy.offset + done));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      break;
    }
    done += static_cast<size_t>(got);
  }
  close(fd);
  if (done < copy.size) {
    Say(finding, kFail, "%s holds only %zu of the environment's 0x%x bytes at 0x%llx: fix the offset or size in %s",
        copy.device, done, copy.size, static_cast<unsigned long long>(copy.offset), kEnvConfig);
    return false;
  }
  return true;
}

// False with the finding said when the environment cannot be read.
bool LoadStoredEnv(const char *root, StoredEnv *env, Finding *finding) {
  *env = StoredEnv{};
  env->inForce = -1;
  InputState state = kInputRead;
  if (!LoadConfig(root, &env->config, &state)) {
    Say(finding, kWarn, "not checked: %s is %s", kEnvConfig, state == kInputRead ? "not understood" : InputProblem(state));
    return false;
  }
  const bool redundant = env->config.count == 2;
  for (int index = 0; index < env->config.count; ++index) {
    const EnvCopy &copy = env->config.copies[index];
    if (copy.size > kMaxEnvSize || copy.offset > INT32_MAX - copy.size) {
      Say(finding, kFail, "%s gives %s a size 0x%x at 0x%llx this check does not read: fix it", kEnvConfig,
          copy.device, copy.size, static_cast<unsigned long long>(copy.offset));
      return false;
    }
    env->copies[index] = static_cast<unsigned char *>(malloc(copy.size));
    if (env->copies[index] == nullptr) {
      Say(finding, kFail, "no memory for the environment on %s", copy.device);
      return false;
    }
    if (!ReadCopy(root, copy, env->copies[index], finding)) {
      return false;
    }
    if (EnvCopyValid(env->copies[index], copy.size, redundant)) {
      bool newer = env->inForce < 0 ||
                   NewerEnvCopy(env->copies[env->inForce][4], env->copies[index][4]) == 1;
      env->inForce = newer ? index : env->inForce;
    }
  }
  return true;
}

// The stored environment of the camera, read at the first call.
bool LoadCameraEnv(Camera *camera, Finding *finding) {
  if (!camera->envLoaded) {
    camera->envLoaded = true;
    camera->envRead = LoadStoredEnv(camera->root, &camera->env, &camera->envProblem);
  }
  if (!camera->envRead) {
    *finding = camera->envProblem;
  }
  return camera->envRead;
}

// ---- the checks -------------------------------------------------------------

void CheckCustomer(Camera *camera, Finding *finding) {
  const char *root = camera->root;
  MountEntry mount{};
  if (!MountOf(root, "/customer", &mount, finding)) {
    return;
  }
  if (!mount.exact) {
    Say(finding, kFail, "/customer is a directory of %s (%s), not a mount point of its own: mount a file system that keeps its files (JFFS2, UBIFS) there",
        mount.point, mount.fsType);
  } else if (Volatile(mount.fsType)) {
    Say(finding, kFail, "/customer is a %s, lost at every restart with the counter: mount a file system that keeps its files (JFFS2, UBIFS) there",
        mount.fsType);
  } else if (mount.readOnly) {
    Say(finding, kFail, "/customer (%s) is mounted read-only: bootguard cannot count; mount it read-write", mount.fsType);
  } else {
    Say(finding, kPass, "a %s mount of its own, read-write", mount.fsType);
  }
}

void CheckCounter(Camera *camera, Finding *finding) {
  const char *root = camera->root;
  // bootguard reads the counter's first line as a number, 0 when it is none.
  char line[64];
  size_t length = 0;
  InputState state = ReadInput(root, "/customer/bootfailed", line, sizeof line, &length);
  if (state == kInputMissing) {
    Say(finding, kPass, "/customer/bootfailed absent: no failed boot counted");
    return;
  }
  char *end = nullptr;
  long value = strtol(line, &end, 10);
  if (state == kInputUnreadable || end == line) {
    Say(finding, kWarn, "/customer/bootfailed is %s: bootguard counts from 0; remove it",
        state == kInputUnreadable ? "unreadable" : "no number");
    return;
  }
  Say(finding, kPass, "/customer/bootfailed holds %ld failed boots in a row", value);
}

void CheckDebug(Camera *camera, Finding *finding) {
  const char *root = camera->root;
  if (Exists(root, "/customer/debug")) {
    Say(finding, kWarn, "/customer/debug exists: bootguard is switched off; remove it before the camera ships");
  } else {
    Say(finding, kPass, "/customer/debug absent: bootguard judges every boot");
  }
}

void CheckTmp(Camera *camera, Finding *finding) {
  const char *root = camera->root;
  MountEntry mount{};
  if (!MountOf(root, "/tmp", &mount, finding)) {
    return;
  }
  if (Volatile(mount.fsType)) {
    Say(finding, kPass, "/tmp is on %s (%s), emptied at each boot", mount.point, mount.fsType);
  } else {
    Say(finding, kFail, "/tmp is on %s (%s), which outlives a restart: a dead application would look running; mount a tmpfs on /tmp",
        mount.point, mount.fsType);
  }
}

void CheckFwSetenv(Camera *camera, Finding *finding) {
  const char *root = camera->root;
  if (IsExecutableFile(root, "/etc/fw_setenv")) {
    Say(finding, kPass, "/etc/fw_setenv is an executable file");
  } else {
    Say(finding, kFail, "/etc/fw_setenv is missing or not executable: the recovery request cannot run; install U-Boot's fw_setenv there");
  }
}

void CheckConfig(Camera *camera, Finding *finding) {
  const char *root = camera->root;
  EnvConfig config{};
  InputState state = kInputRead;
  if (LoadConfig(root, &config, &state)) {
    Say(finding, kPass, "%s on %s", config.count == 2 ? "two copies (redundant)" : "one copy", config.copies[0].device);
  } else if (state != kInputRead) {
    Say(finding, kFail, "%s is %s: fw_setenv cannot find the environment", kEnvConfig, InputProblem(state));
  } else {
    Say(finding, kFail, "%s line %d: %s", kEnvConfig, config.badLine, config.problem);
  }
}

// One copy's device against the kernel's view of it.
bool CheckCopyDevice(const char *root, const EnvCopy &copy, const MtdList &list, Finding *finding) {
  int number = MtdNodeNumber(copy.device);
  const MtdPartition *partition = number < 0 ? nullptr : MtdByNumber(list, number);
  if (partition == nullptr) {
    Say(finding, kFail, "%s names %s, which is no MTD device of %s: name the environment's partition", kEnvConfig,
        copy.device, kPartitionList);
    return false;
  }
  char path[64];
  long flags = 0;
  long eraseSize = 0;
  snprintf(path, sizeof path, "/sys/class/mtd/mtd%d/flags", number);
  if (!ReadNumber(root, path, 16, &flags) || (flags & kMtdWriteable) == 0) {
    Say(finding, kFail, "mtd%d \"%s\" is read-only (%s without MTD_WRITEABLE 0x400): fw_setenv cannot write it; drop read-only from the partition in the device tree",
        number, partition->name, path);
    return false;
  }
  if (copy.offset + copy.size > partition->size) {
    Say(finding, kFail, "%s puts 0x%x bytes at 0x%llx, past the end of mtd%d \"%s\" (0x%x bytes): fix the offset or size",
        kEnvConfig, copy.size, static_cast<unsigned long long>(copy.offset), number, partition->name, partition->size);
    return false;
  }
  snprintf(path, sizeof path, "/sys/class/mtd/mtd%d/erasesize", number);
  if (!ReadNumber(root, path, 10, &eraseSize) || eraseSize <= 0 ||
      !IsMultiple(copy.sectorSize, static_cast<uint32_t>(eraseSize))) {
    Say(finding, kFail, "%s gives sector size 0x%x, not a multiple of mtd%d's erase size (%s): give the erase size",
        kEnvConfig, copy.sectorSize, number, path);
    return false;
  }
  return true;
}

void CheckEnvPartition(Camera *camera, Finding *finding) {
  const char *root = camera->root;
  EnvConfig config{};
  MtdList list{};
  InputState state = kInputRead;
  if (!LoadConfig(root, &config, &state)) {
    Say(finding, kWarn, "not checked: %s does not parse", kEnvConfig);
    return;
  }
  if (!LoadMtdList(root, &list, &state)) {
    Say(finding, kFail, "%s is %s", kPartitionList, state == kInputRead ? "not the kernel's partition list" : InputProblem(state));
    return;
  }
  for (int index = 0; index < config.count; ++index) {
    if (!CheckCopyDevice(root, config.copies[index], list, finding)) {
      return;
    }
  }
  Say(finding, kPass, "%s: writable, 0x%x bytes at 0x%llx inside it, sectors of 0x%x", config.copies[0].device,
      config.copies[0].size, static_cast<unsigned long long>(config.copies[0].offset), config.copies[0].sectorSize);
}

void CheckEnvCrc(Camera *camera, Finding *finding) {
  const char *root = camera->root;
  const StoredEnv &env = camera->env;
  if (LoadCameraEnv(camera, finding)) {
    const char *device = env.config.copies[0].device;
    if (env.inForce >= 0) {
      Say(finding, kPass, "the stored environment on %s has a valid CRC-32%s", env.config.copies[env.inForce].device,
          env.config.count == 2 ? " (the copy in force)" : "");
    } else if (InitialEnvPresent(root)) {
      Say(finding, kWarn, "the stored environment on %s has a bad CRC-32: U-Boot boots its default; fw_setenv rebuilds it from %s",
          device, kInitialEnv);
    } else {
      Say(finding, kFail, "the stored environment on %s has a bad CRC-32 and %s is missing: fw_setenv cannot rebuild it; ship %s",
          device, kInitialEnv, kInitialEnv);
    }
  }
}

void CheckInitialEnv(Camera *camera, Finding *finding) {
  const char *root = camera->root;
  if (InitialEnvPresent(root)) {
    Say(finding, kPass, "%s present", kInitialEnv);
  } else {
    Say(finding, kFail, "%s is missing or empty: a lost environment can never be rewritten; ship the factory environment there",
        kInitialEnv);
  }
}

// The boot loader's variables: the stored environment in force, else the
// factory one; false with the finding said when neither is there.
struct LoaderScript {
  char *initial;
  EnvVariables variables;
  const char *source;
};

bool LoadLoaderScript(Camera *camera, LoaderScript *script, Finding *finding) {
  const char *root = camera->root;
  const StoredEnv &stored = camera->env;
  *script = LoaderScript{};
  Finding ignored{};
  if (LoadCameraEnv(camera, &ignored) && stored.inForce >= 0) {
    const int copy = stored.inForce;
    const size_t header = EnvHeaderSize(stored.config.count == 2);
    script->variables = EnvVariables{
        {reinterpret_cast<const char *>(stored.copies[copy]) + header, stored.config.copies[copy].size - header}, '\0'};
    script->source = "the stored environment";
    return true;
  }
  script->initial = static_cast<char *>(malloc(kMaxInitialEnvSize));
  size_t length = 0;
  if (script->initial == nullptr ||
      ReadInput(root, kInitialEnv, script->initial, kMaxInitialEnvSize, &length) != kInputRead || length == 0) {
    Say(finding, kWarn, "not checked: neither a valid stored environment nor %s to read bootcmd from", kInitialEnv);
    return false;
  }
  script->variables = EnvVariables{{script->initial, length}, '\n'};
  script->source = kInitialEnv;
  return true;
}

void ReleaseLoaderScript(LoaderScript *script) {
  free(script->initial);
  script->initial = nullptr;
}

void CheckRecoveryBranch(Camera *camera, Finding *finding) {
  LoaderScript script{};
  Span bootcmd{};
  if (LoadLoaderScript(camera, &script, finding)) {
    if (!EnvVariable(script.variables, "bootcmd", &bootcmd)) {
      Say(finding, kFail, "%s has no bootcmd: give U-Boot a boot command that tests ota_upgrade_status", script.source);
    } else if (!ScriptReaches(script.variables, bootcmd, "ota_upgrade_status", kScriptDepth)) {
      Say(finding, kFail, "bootcmd in %s never refers to ota_upgrade_status: the recovery request would change nothing; make it take the recovery path when ota_upgrade_status is 1",
          script.source);
    } else {
      Say(finding, kPass, "bootcmd in %s refers to ota_upgrade_status", script.source);
    }
  }
  ReleaseLoaderScript(&script);
}

void CheckAttemptCounter(Camera *camera, Finding *finding) {
  LoaderScript script{};
  Span bootcmd{};
  Span limit{};
  char text[16] = {};
  if (LoadLoaderScript(camera, &script, finding)) {
    bool counts = EnvVariable(script.variables, "bootcmd", &bootcmd) &&
                  ScriptReaches(script.variables, bootcmd, "run bootguard_count", kScriptDepth);
    if (EnvVariable(script.variables, "bootlimit", &limit) && limit.length < sizeof text) {
      memcpy(text, limit.text, limit.length);
    }
    char *end = nullptr;
    long value = strtol(text, &end, 10);
    bool limited = end != text && *end == '\0' && value >= kMinBootLimit;
    if (counts && limited) {
      Say(finding, kPass, "bootcmd runs bootguard_count, bootlimit %ld", value);
    } else {
      Say(finding, kWarn, "%s: boots that end before bootguard's verdict are never counted; add the loader's attempt counter (run bootguard_count in bootcmd, bootlimit above 3)",
          counts ? "bootlimit is not a number above 3" : "bootcmd does not run bootguard_count");
    }
  }
  ReleaseLoaderScript(&script);
}

void CheckPanic(Camera *camera, Finding *finding) {
  const char *root = camera->root;
  long seconds = 0;
  if (!ReadNumber(root, "/proc/sys/kernel/panic", 10, &seconds)) {
    Say(finding, kWarn, "/proc/sys/kernel/panic is missing or holds no number");
  } else if (seconds == 0) {
    Say(finding, kFail, "kernel.panic is 0: a panic hangs the camera for ever and is never counted; set panic= to restart");
  } else {
    Say(finding, kPass, "kernel.panic is %ld: a panic restarts the camera", seconds);
  }
}

void CheckWatchdogs(Camera *camera, Finding *finding) {
  const char *root = camera->root;
  char directory[512];
  if (!RootedPath(root, "/sys/class/watchdog", directory, sizeof directory)) {
    Say(finding, kWarn, "/sys/class/watchdog: path too long under the root");
    return;
  }
  // Only sysfs is read: opening /dev/watchdog would arm it.
  DIR *watchdogs = opendir(directory);
  Say(finding, kPass, "no watchdog in /sys/class/watchdog");
  if (watchdogs == nullptr) {
    if (errno != ENOENT) {
      Say(finding, kWarn, "/sys/class/watchdog cannot be listed: %s", strerror(errno));
    }
    return;
  }
  int count = 0;
  const dirent *entry = nullptr;
  for (;;) {
    // A listing that fails part way is said, never taken for no watchdog.
    errno = 0;
    // cppcheck-suppress readdirCalled ; single-threaded, and glibc deprecates readdir_r
    entry = readdir(watchdogs);
    if (entry == nullptr) {
      break;
    }
    if (entry->d_name[0] == '.') {
      continue;
    }
    char path[320];
    long timeout = 0;
    snprintf(path, sizeof path, "/sys/class/watchdog/%.200s/timeout", entry->d_name);
    ++count;
    if (!ReadNumber(root, path, 10, &timeout)) {
      Say(finding, kWarn, "%s is missing or holds no number", path);
      break;
    }
    if (timeout <= kSettleSeconds) {
      Say(finding, kWarn, "%s is %ld s, not longer than bootguard's 30 s settle: a boot that stops feeding it is never judged",
          path, timeout);
      break;
    }
    Say(finding, kPass, "%d watchdog(s), each timeout longer than the 30 s settle", count);
  }
  if (entry == nullptr && errno != 0) {
    Say(finding, kWarn, "/sys/class/watchdog cannot be listed: %s", strerror(errno));
  }
  closedir(watchdogs);
}

// One row of bootguard's name table against /proc/mtd: false when it is
// wrong (FAIL said); a missing name is noted in missing.
bool CheckTableRow(const MtdList &list, const char *name, char *missing, size_t missingSize, Finding *finding) {
  const char *node = PartitionNode(name, kForWriting);
  int number = node == nullptr ? -1 : MtdNodeNumber(node);
  const MtdPartition *byName = MtdByName(list, name);
  const MtdPartition *atNode = MtdByNumber(list, number);
  if (byName != nullptr && byName->number != number) {
    Say(finding, kFail, "\"%s\" is mtd%d in %s, but bootguard writes %s to %s%s%s%s: put \"%s\" at %s",
        name, byName->number, kPartitionList, name, node, atNode != nullptr ? ", which holds \"" : "",
        atNode != nullptr ? atNode->name : "", atNode != nullptr ? "\"" : "", name, node);
    return false;
  }
  if (byName == nullptr && atNode != nullptr) {
    Say(finding, kFail, "%s holds \"%s\", but bootguard writes \"%s\" there: put \"%s\" at %s", node, atNode->name, name,
        name, node);
    return false;
  }
  if (byName == nullptr) {
    size_t used = strlen(missing);
    snprintf(missing + used, missingSize - used, "%s%s", used == 0 ? "" : " ", name);
  }
  return true;
}

void CheckPartitions(Camera *camera, Finding *finding) {
  const char *root = camera->root;
  MtdList list{};
  InputState state = kInputRead;
  if (!LoadMtdList(root, &list, &state)) {
    if (state == kInputRead) {
      Say(finding, kFail, "%s line %d is no partition line (or too many partitions)", kPartitionList, list.badLine);
    } else {
      Say(finding, kFail, "%s is %s: the camera's partitions cannot be checked", kPartitionList, InputProblem(state));
    }
    return;
  }
  char missing[96] = {};
  size_t count = 0;
  for (const char *name = PartitionName(0, kForWriting); name != nullptr; name = PartitionName(++count, kForWriting)) {
    if (!CheckTableRow(list, name, missing, sizeof missing, finding)) {
      return;
    }
  }
  if (missing[0] != '\0') {
    Say(finding, kWarn, "the camera has no partition named %s (bootguard-flash cannot write it)", missing);
  } else {
    Say(finding, kPass, "all %zu names of bootguard's table at the nodes it points to", count);
  }
}

// The value of the first line "key..." of a start file, or false.
bool StartFileValue(const char *root, const char *path, const char *key, char *value, size_t size) {
  char text[kSmallFileSize];
  size_t length = 0;
  if (ReadInput(root, path, text, sizeof text, &length) == kInputTooLarge) {
    return false;
  }
  for (const char *line = text; line != nullptr && *line != '\0';) {
    const char *next = strchr(line, '\n');
    size_t lineLength = next != nullptr ? static_cast<size_t>(next - line) : strlen(line);
    size_t keyLength = strlen(key);
    if (lineLength > keyLength && lineLength - keyLength < size && strncmp(line, key, keyLength) == 0) {
      memcpy(value, line + keyLength, lineLength - keyLength);
      value[lineLength - keyLength] = '\0';
      return true;
    }
    line = next != nullptr ? next + 1 : nullptr;
  }
  return false;
}

bool UnitFileValue(const char *root, const char *key, char *value, size_t size) {
  static const char *const kUnitDirectories[] = {"/etc/systemd/system", "/usr/lib/systemd/system", "/lib/systemd/system"};
  for (const char *directory : kUnitDirectories) {
    char path[128];
    snprintf(path, sizeof path, "%s/bootguard.service", directory);
    if (StartFileValue(root, path, key, value, size)) {
      return true;
    }
  }
  return false;
}

void CheckStart(Camera *camera, Finding *finding) {
  const char *root = camera->root;
  char program[256] = {};
  const bool systemd = Exists(root, "/run/systemd/system");
  const char *started = nullptr;
  if (systemd) {
    // systemd runs what its units say; it starts /etc/init.d scripts only
    // when they are linked from /etc/rc?.d, so the unit is the one start.
    if (!Exists(root, kUnitLink) || !UnitFileValue(root, "ExecStart=", program, sizeof program)) {
      Say(finding, kFail, "systemd runs the camera, but bootguard.service is not enabled: systemctl enable bootguard.service");
      return;
    }
    started = Exists(root, "/run/systemd/units/invocation:bootguard.service") ? "started in this boot" : "not started in this boot yet";
  } else {
    if (!IsExecutableFile(root, kInitScript) || !StartFileValue(root, kInitScript, "BOOTGUARD=", program, sizeof program)) {
      Say(finding, kFail, "%s is missing or not executable: install bootguard's start file so that init starts it once per boot",
          kInitScript);
      return;
    }
    started = Exists(root, "/tmp/bootguard.started") ? "started in this boot" : "not started in this boot yet";
  }
  if (!IsExecutableFile(root, program)) {
    Say(finding, kFail, "%s names %s, which is not an installed program: install bootguard there",
        systemd ? "bootguard.service" : kInitScript, program);
    return;
  }
  Say(finding, kPass, "%s starts %s once per boot; %s", systemd ? "bootguard.service" : kInitScript, program, started);
}

constexpr Check kChecks[] = {
    {"customer", CheckCustomer},
    {"counter", CheckCounter},
    {"debug", CheckDebug},
    {"tmp", CheckTmp},
    {"fw_setenv", CheckFwSetenv},
    {"fw_env.config", CheckConfig},
    {"env-partition", CheckEnvPartition},
    {"env-crc", CheckEnvCrc},
    {"initial-env", CheckInitialEnv},
    {"bootcmd", CheckRecoveryBranch},
    {"attempt-counter", CheckAttemptCounter},
    {"kernel-panic", CheckPanic},
    {"watchdog", CheckWatchdogs},
    {"partitions", CheckPartitions},
    {"start", CheckStart},
};

}  // namespace

Camera CameraAt(const char *root) {
  Camera camera{};
  camera.root = root;
  camera.env.inForce = -1;
  return camera;
}

void ReleaseCamera(Camera *camera) { ReleaseStoredEnv(&camera->env); }

const Check *Checks(size_t *count) {
  *count = sizeof kChecks / sizeof kChecks[0];
  return kChecks;
}

int RunChecks(const char *root) {
  static const char *const kVerdictNames[] = {"PASS", "WARN", "FAIL"};
  int tally[3] = {};
  Camera camera = CameraAt(root);
  for (const Check &check : kChecks) {
    Finding finding{};
    check.run(&camera, &finding);
    ++tally[finding.verdict];
    printf("%s %s: %s\n", kVerdictNames[finding.verdict], check.name, finding.text);
  }
  ReleaseCamera(&camera);
  printf("%d passed, %d warnings, %d failed\n", tally[kPass], tally[kWarn], tally[kFail]);
  return tally[kFail] == 0 ? 0 : 1;
}
