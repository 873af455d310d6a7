// bootguard-flash on the simulator: what a script sees (exit status, the
// tool's lines on standard error, the module's on standard output) and what
// reaches the flash.

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <sstream>
#include <thread>

#include "file_mappings.h"
#include "tool_fixture.h"

namespace tooltest {
namespace {

// Every "/dev/mtd..." or "/proc/mtd" path opened, one per line.
std::string FlashOpens() {
  std::istringstream log(mtdsim::OpenLog());
  std::string line, opens;
  while (std::getline(log, line)) {
    if (line.rfind("/dev/mtd", 0) == 0 || line == "/proc/mtd") opens += line + "\n";
  }
  return opens;
}

std::string Substituted(std::string text, const std::string &dir) {
  for (size_t at; (at = text.find("{d}")) != std::string::npos;) text.replace(at, 3, dir);
  return text;
}

using BadInput = ToolTest;

TEST_F(BadInput, GetsOneLineAndTouchesNoFlash) {
  File("image", Pattern(1000, 1));
  File("empty", "");
  File("big", Pattern(1 * kMiB + 1, 2));
  std::filesystem::create_directory(Path("dir"));
  std::filesystem::create_symlink("loop", Path("loop"));
  const std::string hint = " (see bootguard-flash --help)";

  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::string line;          // on standard error; {d} is the scratch directory
    std::string flashOpens;    // flash paths opened: only the read-only size probe
  };
  const Case cases[] = {
      // The command line itself: usage errors.
      {{}, 2, "no command given" + hint, ""},
      {{"--quiet", "--progress"}, 2, "no command given" + hint, ""},
      {{"--verbose", "write", "rootfs", "{d}/image"}, 2, "unknown option '--verbose'" + hint, ""},
      {{"-h"}, 2, "unknown option '-h'" + hint, ""},
      {{"flash", "rootfs", "{d}/image"}, 2, "unknown command 'flash'" + hint, ""},
      {{"write", "rootfs"}, 2, "write takes [--size BYTES] PARTITION FILE" + hint, ""},
      {{"write", "rootfs", "{d}/image", "--quiet"}, 2, "write takes [--size BYTES] PARTITION FILE" + hint, ""},
      {{"write", "--size", "0", "rootfs", "-"}, 2, "--size must be a positive decimal number, not '0'" + hint, ""},
      {{"write", "--size", "10", "rootfs", "{d}/image"}, 2,
       "--size is for an image on standard input (FILE -)" + hint, ""},
      {{"write", "--size", "1048577", "rootfs", "-"}, 1,
       "'-' (1048577 bytes) does not fit rootfs (/dev/mtd7, 1048576 bytes)", "/dev/mtd7\n"},
      {{"read", "factory"}, 2, "read takes PARTITION FILE [LENGTH [OFFSET]]" + hint, ""},
      {{"read", "factory", "{d}/out", "1", "2", "3"}, 2, "read takes PARTITION FILE [LENGTH [OFFSET]]" + hint, ""},
      {{"erase-env", "now"}, 2, "erase-env takes no arguments" + hint, ""},
      {{"invalidate-env", "uenv"}, 2, "invalidate-env takes no arguments" + hint, ""},
      {{"--help", "write"}, 2, "--help takes no arguments" + hint, ""},
      {{"write", "kernel", "{d}/image"}, 2,
       "unknown partition 'kernel' for write; it takes: fdt u-boot uenv factory uImage rootfs customer", ""},
      {{"write", "root", "{d}/image"}, 2,
       "unknown partition 'root' for write; it takes: fdt u-boot uenv factory uImage rootfs customer", ""},
      {{"read", "rootfs", "{d}/out"}, 2, "unknown partition 'rootfs' for read; it takes: uenv factory", ""},
      {{"read", "factory", "{d}/out", "-1"}, 2, "LENGTH must be a non-negative decimal number, not '-1'" + hint, ""},
      {{"read", "factory", "{d}/out", "0x10"}, 2, "LENGTH must be a non-negative decimal number, not '0x10'" + hint, ""},
      {{"read", "factory", "{d}/out", " 5"}, 2, "LENGTH must be a non-negative decimal number, not ' 5'" + hint, ""},
      {{"read", "factory", "{d}/out", ""}, 2, "LENGTH must be a non-negative decimal number, not ''" + hint, ""},
      {{"read", "factory", "{d}/out", "16", "1e3"}, 2, "OFFSET must be a non-negative decimal number, not '1e3'" + hint, ""},
      // The file: refused before any flash device is opened.
      {{"write", "rootfs", "{d}/missing"}, 1, "cannot open '{d}/missing': No such file or directory", ""},
      {{"write", "rootfs", "{d}/image/x"}, 1, "cannot open '{d}/image/x': Not a directory", ""},
      {{"write", "rootfs", "{d}/loop"}, 1, "cannot open '{d}/loop': Too many levels of symbolic links", ""},
      {{"write", "rootfs", "{d}/dir"}, 1, "'{d}/dir' is a directory", ""},
      {{"write", "rootfs", "/dev/null"}, 1, "'/dev/null' is not a regular file", ""},
      {{"write", "rootfs", "{d}/empty"}, 1, "'{d}/empty' is empty", ""},
      // Sizes: only the read-only probe.
      {{"write", "rootfs", "{d}/big"}, 1, "'{d}/big' (1048577 bytes) does not fit rootfs (/dev/mtd7, 1048576 bytes)",
       "/dev/mtd7\n"},
      {{"write", "rootfs2", "{d}/big"}, 1, "'{d}/big' (1048577 bytes) does not fit rootfs2 (/dev/mtd7, 1048576 bytes)",
       "/dev/mtd7\n"},
      {{"read", "factory", "{d}/out", "1048577"}, 1,
       "reading 1048577 bytes at offset 0 goes past the end of factory (/dev/mtd5, 1048576 bytes)", "/dev/mtd5\n"},
      {{"read", "factory", "{d}/out", "1", "1048576"}, 1,
       "reading 1 bytes at offset 1048576 goes past the end of factory (/dev/mtd5, 1048576 bytes)", "/dev/mtd5\n"},
      {{"read", "factory", "{d}/out", "99999999999999999999999"}, 1,
       "reading 18446744073709551615 bytes at offset 0 goes past the end of factory (/dev/mtd5, 1048576 bytes)",
       "/dev/mtd5\n"},
      // Devices that are missing or are no MTD devices.
      {{"write", "uImage", "{d}/image"}, 1, "cannot open /dev/mtd6 for uImage: No such file or directory",
       "/dev/mtd6\n"},
      {{"write", "fdt", "{d}/image"}, 1, "cannot get the MTD geometry of /dev/mtd1 for fdt: Inappropriate ioctl for device",
       "/dev/mtd1\n"},
      {{"erase-env"}, 1, "cannot open /dev/mtd4 for uenv: No such file or directory", "/dev/mtd4\n"},
      {{"invalidate-env"}, 1, "cannot open /dev/mtd4 for uenv: No such file or directory", "/dev/mtd4\n"},
  };
  for (const Case &c : cases) {
    std::vector<std::string> arguments;
    std::string shown;
    for (const std::string &argument : c.arguments) {
      arguments.push_back(Substituted(argument, dir_));
      shown += " '" + arguments.back() + "'";
    }
    mtdsim::Reset();  // counters and open log
    Device("/dev/mtd7", mtdsim::Nand(1 * kMiB));              // rootfs
    Device("/dev/mtd5", mtdsim::Nand(1 * kMiB));              // factory
    Device("/dev/mtd1", mtdsim::Nor(256 * kKiB, 64 * kKiB));  // fdt, not answering
    mtdsim::FaultsOf("/dev/mtd1")->refuseGetInfo = true;

    Outcome outcome = RunTool(arguments);
    SCOPED_TRACE("bootguard-flash" + shown);
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_EQ(outcome.err, "bootguard-flash: " + Substituted(c.line, dir_) + "\n");
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(FlashOpens(), c.flashOpens);
    const mtdsim::Counters &stats = mtdsim::Stats();
    EXPECT_EQ(stats.writableOpens, 0u);
    EXPECT_EQ(stats.eraseRequests + stats.writeCalls + stats.readCalls + stats.oobReads + stats.unlocks, 0u);
    EXPECT_FALSE(std::filesystem::exists(Path("out"))) << "the output file was created";
  }
}

using FileReading = ToolTest;

// The image is the file as it was measured: one that ends early, grows or
// fails while being read is refused (as through a pipe here, which behaves
// like a file changed under the reader).
TEST_F(FileReading, RefusesAFileThatShrinksGrowsOrFails) {
  struct Case {
    size_t written;
    std::string line;
  };
  const Case cases[] = {
      {10, "bootguard-flash: 'image' shrank while being read: 10 of 20 bytes\n"},
      {21, "bootguard-flash: 'image' grew while being read: more than 20 bytes\n"},
      {20, ""},
  };
  for (const Case &c : cases) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    std::string content = Pattern(c.written, 3);
    ASSERT_EQ(write(ends[1], content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(ends[1]);
    testing::internal::CaptureStderr();
    char *image = ReadWholeFile(ends[0], "image", 20);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.line) << c.written << " bytes written";
    EXPECT_EQ(image != nullptr, c.line.empty());
    if (image != nullptr) {
      EXPECT_EQ(std::string(image, 20), content);
    }
    free(image);
    close(ends[0]);
  }
  int writeOnly = open(File("image", "abc").c_str(), O_WRONLY);
  testing::internal::CaptureStderr();
  EXPECT_EQ(ReadWholeFile(writeOnly, "image", 3), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "bootguard-flash: cannot read 'image': Bad file descriptor\n");
  close(writeOnly);
}

using Operations = ToolTest;

TEST_F(Operations, WriteReadAndTheEnvironmentCommandsDoWhatTheySay) {
  const mtdsim::Geometry nand = mtdsim::Nand(1 * kMiB);
  uint8_t *rootfs = Device("/dev/mtd7", nand);
  uint8_t *factory = Device("/dev/mtd5", nand);
  uint8_t *uenv = Device("/dev/mtd4", mtdsim::Nor(16 * 64 * kKiB, 64 * kKiB));
  memset(rootfs, 0x5A, nand.size);
  std::string factoryData = Pattern(nand.size, 4);
  memcpy(factory, factoryData.data(), nand.size);
  std::string environment = Pattern(4096, 5);
  memcpy(uenv, environment.data(), environment.size());
  memcpy(uenv + 64 * kKiB, environment.data(), environment.size());  // a second copy

  std::string image = Pattern(300 * kKiB + 5, 6);
  std::string imagePath = File("image", image);
  Outcome written = RunTool({"write", "rootfs", imagePath});
  EXPECT_EQ(written.status, 0);
  EXPECT_EQ(written.out, "Writing from to rootfs,offset:0 len:307205\n");
  EXPECT_EQ(written.err, "") << "no progress when standard error is no terminal";
  EXPECT_EQ(Bytes(rootfs, image.size()), image);
  EXPECT_EQ(Bytes(rootfs + image.size(), nand.size - image.size()), std::string(nand.size - image.size(), '\xFF'));

  mtdsim::ClearCounters();
  EXPECT_EQ(RunTool({"--quiet", "write", "rootfs", imagePath}).status, 0);
  EXPECT_EQ(mtdsim::Stats().erases + mtdsim::Stats().programmedBytes, 0u) << "an unchanged image costs reads only";

  Outcome toFile = RunTool({"read", "factory", Path("part"), "1000", "300"});
  EXPECT_EQ(toFile.status, 0);
  EXPECT_EQ(toFile.out + toFile.err, "");
  EXPECT_EQ(Contents(Path("part")), factoryData.substr(300, 1000));

  EXPECT_EQ(RunTool({"read", "factory", Path("whole")}).status, 0);
  EXPECT_EQ(Contents(Path("whole")), factoryData) << "LENGTH defaults to the partition's size";

  Outcome toStdout = RunTool({"read", "factory", "-", "16", "8"});
  EXPECT_EQ(toStdout.status, 0);
  EXPECT_EQ(toStdout.out, factoryData.substr(8, 16));
  EXPECT_EQ(toStdout.err, "");

  mtdsim::ClearCounters();
  EXPECT_EQ(RunTool({"read", "factory", Path("nothing"), "0"}).status, 0);
  EXPECT_EQ(Contents(Path("nothing")), "");
  EXPECT_EQ(mtdsim::Stats().readCalls, 0u);

  Outcome invalidated = RunTool({"invalidate-env"});
  EXPECT_EQ(invalidated.status, 0);
  EXPECT_EQ(invalidated.out, "Writing from to uenv,offset:0 len:256\n");
  EXPECT_EQ(Bytes(uenv, 4), std::string(4, '\0'));
  EXPECT_EQ(Bytes(uenv + 4, 252), environment.substr(4, 252));
  EXPECT_EQ(Bytes(uenv + 256, 64 * kKiB), std::string(64 * kKiB, '\xFF')) << "the second copy is erased too";

  memcpy(uenv, environment.data(), environment.size());
  Outcome erased = RunTool({"erase-env"});
  EXPECT_EQ(erased.status, 0);
  EXPECT_EQ(erased.out + erased.err, "");
  EXPECT_EQ(Bytes(uenv, 16 * 64 * kKiB), std::string(16 * 64 * kKiB, '\xFF'));
}

// The image is the file's own pages where they can be mapped; where the
// file system refuses, the same write is made from a copy.
TEST_F(Operations, WritesAFileThatCannotBeMappedFromACopy) {
  const mtdsim::Geometry nand = mtdsim::Nand(1 * kMiB);
  uint8_t *rootfs = Device("/dev/mtd7", nand);
  for (bool refuse : {false, true}) {
    SCOPED_TRACE(refuse ? "mapping refused" : "mapped");
    std::string image = Pattern(300 * kKiB + 5, refuse ? 9 : 8);
    std::string imagePath = File("image", image);
    filemappings::asked = 0;
    filemappings::refuse = refuse;
    Outcome written = RunTool({"write", "rootfs", imagePath});
    filemappings::refuse = false;
    EXPECT_EQ(written.status, 0);
    EXPECT_EQ(written.out, "Writing from to rootfs,offset:0 len:307205\n");
    EXPECT_EQ(written.err, "");
    EXPECT_EQ(filemappings::asked, 1) << "the file is mapped once, whether or not that succeeds";
    EXPECT_EQ(Bytes(rootfs, image.size()), image);
  }
}

TEST_F(Operations, FailuresOfTheModuleOrOfTheOutputAreNotSuccess) {
  Device("/dev/mtd7", mtdsim::Nand(1 * kMiB));
  uint8_t *factory = Device("/dev/mtd5", mtdsim::Nand(1 * kMiB));
  memset(factory, 0x42, 1 * kMiB);
  std::string imagePath = File("image", Pattern(200 * kKiB, 7));

  mtdsim::FaultsOf("/dev/mtd7")->refuseEraseBlock = 1;
  Outcome write = RunTool({"write", "rootfs", imagePath});
  EXPECT_EQ(write.status, 3) << "block 0 was written before the refused erase";
  EXPECT_EQ(write.out, "Writing from to rootfs,offset:0 len:204800\nErasing mtd failed: /dev/mtd7\n");
  EXPECT_EQ(write.err, "bootguard-flash: writing '" + imagePath + "' to rootfs failed\n");

  // The data goes to FILE only once the read has succeeded.
  mtdsim::FaultsOf("/dev/mtd5")->shortReadCall = 0;
  mtdsim::ClearCounters();
  Outcome read = RunTool({"read", "factory", Path("out"), "4096"});
  EXPECT_EQ(read.status, 1);
  EXPECT_EQ(read.out, "Failed to read\n");
  EXPECT_EQ(read.err, "bootguard-flash: reading factory failed\n");
  EXPECT_FALSE(std::filesystem::exists(Path("out")));

  mtdsim::FaultsOf("/dev/mtd5")->shortReadCall = -1;
  Outcome full = RunTool({"read", "factory", "/dev/full", "4096"});
  EXPECT_EQ(full.status, 1);
  EXPECT_EQ(full.err, "bootguard-flash: cannot write '/dev/full': No space left on device\n");
  Outcome nowhere = RunTool({"read", "factory", Path("no/out"), "4096"});
  EXPECT_EQ(nowhere.status, 1);
  EXPECT_EQ(nowhere.err, "bootguard-flash: cannot create '" + Path("no/out") + "': No such file or directory\n");
}

// The percentages of the --progress lines, checking that each line is one.
std::vector<int> ProgressPercents(const std::string &err) {
  std::vector<int> percents;
  std::istringstream lines(err);
  std::string line;
  while (std::getline(lines, line)) {
    int percent = -1;
    EXPECT_EQ(sscanf(line.c_str(), "bootguard-flash: %d%%", &percent), 1) << line;
    percents.push_back(percent);
  }
  return percents;
}

using Progress = ToolTest;

TEST_F(Progress, LinesRiseWithEachWholePercentAndEndAtOneHundred) {
  Device("/dev/mtd7", mtdsim::Nor(16 * 64 * kKiB, 64 * kKiB));
  Device("/dev/mtd4", mtdsim::Nand(16 * 128 * kKiB));
  std::string imagePath = File("image", Pattern(3 * 64 * kKiB, 8));

  // The writer reports 6, 12, 18, 18, 25 ... 93: one line per change.
  Outcome write = RunTool({"--progress", "write", "rootfs", imagePath});
  EXPECT_EQ(write.status, 0);
  EXPECT_EQ(ProgressPercents(write.err),
            (std::vector<int>{6, 12, 18, 25, 31, 37, 43, 50, 56, 62, 68, 75, 81, 87, 93, 100}));
  EXPECT_EQ(write.err.substr(0, write.err.find('\n')), "bootguard-flash: 6% 61.4 KiB of 1.0 MiB");
  EXPECT_EQ(write.err.substr(write.err.rfind('\n', write.err.size() - 2) + 1),
            "bootguard-flash: 100% 1.0 MiB of 1.0 MiB\n");
  EXPECT_EQ(write.out, "Writing from to rootfs,offset:0 len:196608\n") << "the module's line stays on stdout";

  // The erase reports start * 40 / size: shown as a percentage of the whole.
  Outcome erase = RunTool({"--progress", "erase-env"});
  EXPECT_EQ(erase.status, 0);
  EXPECT_EQ(ProgressPercents(erase.err),
            (std::vector<int>{0, 5, 12, 17, 25, 30, 37, 42, 50, 55, 62, 67, 75, 80, 87, 92, 100}));

  Outcome invalidate = RunTool({"--progress", "invalidate-env"});
  EXPECT_EQ(invalidate.status, 0);
  std::vector<int> percents = ProgressPercents(invalidate.err);
  ASSERT_FALSE(percents.empty());
  EXPECT_EQ(percents.back(), 100);
  for (size_t i = 1; i < percents.size(); ++i) EXPECT_LT(percents[i - 1], percents[i]);

  EXPECT_EQ(RunTool({"--progress", "--quiet", "write", "rootfs", imagePath}).err, "") << "the last option wins";
  EXPECT_EQ(ProgressPercents(RunTool({"--quiet", "--progress", "write", "rootfs", imagePath}).err).back(), 100);

  // A failed write stops where it failed: no 100%.
  mtdsim::FaultsOf("/dev/mtd7")->refuseEraseBlock = 1;
  Outcome failed = RunTool({"--progress", "write", "rootfs", File("other", Pattern(3 * 64 * kKiB, 9))});
  EXPECT_EQ(failed.status, 3);
  EXPECT_EQ(failed.err, "bootguard-flash: 6% 61.4 KiB of 1.0 MiB\nbootguard-flash: writing '" + Path("other") +
                            "' to rootfs failed\n");
}

// Runs the tool with standard input a pipe that a thread fills with bytes
// and then closes, as a downloader does.
Outcome RunToolOnPipe(const std::vector<std::string> &arguments, const std::string &bytes) {
  int ends[2];
  EXPECT_EQ(pipe(ends), 0);
  // A tool that stops reading early closes the pipe on the thread.
  signal(SIGPIPE, SIG_IGN);
  std::thread feeder([&bytes, in = ends[1]] {
    for (size_t done = 0; done < bytes.size();) {
      ssize_t written = write(in, bytes.data() + done, bytes.size() - done);
      if (written <= 0) break;
      done += static_cast<size_t>(written);
    }
    close(in);
  });
  int savedInput = dup(STDIN_FILENO);
  dup2(ends[0], STDIN_FILENO);
  close(ends[0]);
  Outcome outcome = RunTool(arguments);
  dup2(savedInput, STDIN_FILENO);
  close(savedInput);
  feeder.join();
  return outcome;
}

using Streams = ToolTest;

// A stream on NAND with a bad block, written an erase block at a time: cut
// short, then whole, then again from a regular file, then longer than its
// --size.  Only a whole stream erases the rest, a cut one leaves the blocks
// past what arrived as they were, and each run erases only blocks that
// differ from their part of the image.
TEST_F(Streams, CutWholeUnchangedAndLongStreams) {
  const mtdsim::Geometry nand = mtdsim::Nand(1 * kMiB);  // 8 blocks of 128 KiB
  const uint32_t block = nand.erasesize;
  uint8_t *rootfs = Device("/dev/mtd7", nand);
  memset(rootfs, 0x5A, nand.size);
  mtdsim::MarkBad("/dev/mtd7", 2);
  const std::string image = Pattern(4 * block + 1000, 10);  // blocks 0, 1, 3, 4 and 5
  memcpy(rootfs, image.data(), block);                      // block 0 holds its part already
  const std::string size = std::to_string(image.size());
  const std::vector<std::string> write = {"--quiet", "write", "--size", size, "rootfs", "-"};
  const std::string before = Bytes(rootfs, nand.size);

  mtdsim::ClearCounters();
  Outcome cut = RunToolOnPipe(write, image.substr(0, 2 * block + block / 2));
  EXPECT_EQ(cut.status, 3);
  EXPECT_EQ(cut.err, "bootguard-flash: standard input ended after 327680 of " + size +
                         " bytes: rootfs is incomplete and must be written again\n");
  EXPECT_EQ(mtdsim::Stats().erases, 1u) << "block 1 only: block 0 is unchanged, the half block is not written";
  EXPECT_TRUE(Bytes(rootfs, 2 * block) == image.substr(0, 2 * block));
  EXPECT_TRUE(Bytes(rootfs + 2 * block, 6 * block) == before.substr(2 * block)) << "past what arrived: untouched";

  mtdsim::ClearCounters();
  Outcome whole = RunToolOnPipe(write, image);
  EXPECT_EQ(whole.status, 0);
  EXPECT_EQ(whole.err, "");
  EXPECT_EQ(whole.out.rfind("Writing from to rootfs,offset:0 len:" + size + "\n", 0), 0u);
  EXPECT_EQ(mtdsim::Stats().erases, 5u) << "blocks 3, 4, 5 of the image and 6, 7 of the rest";
  EXPECT_TRUE(Bytes(rootfs, 2 * block) == image.substr(0, 2 * block));
  EXPECT_TRUE(Bytes(rootfs + 3 * block, 3 * block) == image.substr(2 * block) + std::string(block - 1000, '\xFF'));
  EXPECT_TRUE(Bytes(rootfs + 6 * block, 2 * block) == std::string(2 * block, '\xFF'));

  // Standard input a regular file: its size is the image's.
  mtdsim::ClearCounters();
  const std::string after = Bytes(rootfs, nand.size);
  int file = open(File("image", image).c_str(), O_RDONLY);
  int savedInput = dup(STDIN_FILENO);
  dup2(file, STDIN_FILENO);
  close(file);
  Outcome again = RunTool({"write", "rootfs", "-"});
  dup2(savedInput, STDIN_FILENO);
  close(savedInput);
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(mtdsim::Stats().eraseRequests + mtdsim::Stats().writeCalls, 0u) << "the same image: reads only";
  EXPECT_TRUE(Bytes(rootfs, nand.size) == after);

  // A stream longer than --size fails before its last block is written.
  mtdsim::ClearCounters();
  const std::string other = Pattern(2 * block, 11);
  Outcome longer = RunToolOnPipe({"write", "--size", std::to_string(other.size()), "rootfs", "-"}, other + "x");
  EXPECT_EQ(longer.status, 3);
  EXPECT_EQ(longer.err, "bootguard-flash: standard input holds more than 262144 bytes: rootfs is "
                        "incomplete and must be written again\n");
  EXPECT_TRUE(Bytes(rootfs, block) == other.substr(0, block));
  EXPECT_TRUE(Bytes(rootfs + block, nand.size - block) == after.substr(block)) << "the last block is not written";

  // Cut before anything differed: flash unchanged, exit 1.
  mtdsim::ClearCounters();
  Outcome unchanged = RunToolOnPipe({"write", "--size", "262144", "rootfs", "-"}, other.substr(0, 1000));
  EXPECT_EQ(unchanged.status, 1);
  EXPECT_EQ(unchanged.err, "bootguard-flash: standard input ended after 1000 of 262144 bytes: rootfs was not changed\n");
  EXPECT_EQ(mtdsim::Stats().eraseRequests + mtdsim::Stats().writeCalls, 0u);

  // A pipe gives no size: a usage error, before any flash is opened.
  mtdsim::ClearCounters();
  Outcome sizeless = RunToolOnPipe({"write", "rootfs", "-"}, image);
  EXPECT_EQ(sizeless.status, 2);
  EXPECT_EQ(sizeless.err, "bootguard-flash: standard input is no regular file: write needs --size BYTES (see "
                          "bootguard-flash --help)\n");
  EXPECT_EQ(mtdsim::Stats().opens, 0u);
}

using CommandLine = ToolTest;

TEST_F(CommandLine, HelpAndVersionGoToStandardOutput) {
  Outcome help = RunTool({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  EXPECT_NE(help.out.find("write takes: fdt u-boot uenv factory uImage rootfs customer\n"), std::string::npos);
  EXPECT_NE(help.out.find("read takes:  uenv factory\n"), std::string::npos);
  EXPECT_NE(help.out.find("Exit status: 0 success; 1 the operation failed"), std::string::npos);
  std::istringstream lines(help.out);
  for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;

  Outcome version = RunTool({"--quiet", "--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "bootguard-flash " PROJECT_VERSION "\n");
}

}  // namespace
}  // namespace tooltest
