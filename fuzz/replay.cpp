// Replays saved fuzz inputs through a target's LLVMFuzzerTestOneInput
// without libFuzzer, so that every input that ever failed, and the seed
// corpus, is checked by the ordinary (gcc) builds.
//
// Usage: fuzz_replay_TARGET DIRECTORY_OR_FILE...  Fails when an input
// breaks a rule (the target aborts) or when no input was found.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

bool ReadFile(const std::string &path, std::vector<uint8_t> *bytes) {
  FILE *file = fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  bytes->clear();
  uint8_t buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, file)) > 0;) bytes->insert(bytes->end(), buffer, buffer + n);
  fclose(file);
  return true;
}

// The files of a directory, sorted, or the path itself when it is a file.
std::vector<std::string> Inputs(const std::string &path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return {};
  if (!S_ISDIR(info.st_mode)) return {path};
  std::vector<std::string> files;
  if (DIR *listing = opendir(path.c_str())) {
    while (dirent *entry = readdir(listing)) {
      if (entry->d_name[0] != '.') files.push_back(path + "/" + entry->d_name);
    }
    closedir(listing);
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

int main(int argc, char **argv) {
  int replayed = 0;
  std::vector<uint8_t> bytes;
  for (int i = 1; i < argc; ++i) {
    for (const std::string &input : Inputs(argv[i])) {
      if (!ReadFile(input, &bytes)) {
        fprintf(stderr, "cannot read %s\n", input.c_str());
        return 1;
      }
      fprintf(stderr, "%s\n", input.c_str());
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
      ++replayed;
    }
  }
  fprintf(stderr, "%d inputs replayed\n", replayed);
  return replayed > 0 ? 0 : 1;
}
