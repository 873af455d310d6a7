// The terminal's progress bar: the line it draws, and that a terminal on
// standard error gets it redrawn in place and ended by a newline.

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "tool_fixture.h"

namespace tooltest {
namespace {

std::string Bar(int percent, uint64_t done, uint64_t total, double seconds) {
  char line[128];
  FormatProgressBar(line, sizeof line, percent, done, total, seconds);
  return line;
}

std::string Size(uint64_t bytes) {
  char text[32];
  FormatSize(text, sizeof text, bytes);
  return text;
}

TEST(ProgressFormat, SizesInHumanUnits) {
  EXPECT_EQ(Size(0), "0 B");
  EXPECT_EQ(Size(1023), "1023 B");
  EXPECT_EQ(Size(1024), "1.0 KiB");
  EXPECT_EQ(Size(1536), "1.5 KiB");
  EXPECT_EQ(Size(16 * kMiB), "16.0 MiB");
  EXPECT_EQ(Size(uint64_t{4} * 1024 * kMiB - 1), "4.0 GiB");
}

TEST(ProgressFormat, BarPercentBytesAndRateInOneFixedWidthLine) {
  EXPECT_EQ(Bar(50, 8 * kMiB, 16 * kMiB, 4.0),
            "bootguard-flash: [########        ]  50%     8.0 MiB /   16.0 MiB     2.0 MiB/s");
  EXPECT_EQ(Bar(0, 0, 512, 0.0), "bootguard-flash: [                ]   0%         0 B /      512 B            --");
  EXPECT_EQ(Bar(100, 16 * kMiB, 16 * kMiB, 0.5),
            "bootguard-flash: [################] 100%    16.0 MiB /   16.0 MiB    32.0 MiB/s");
  EXPECT_EQ(Bar(6, 64 * kKiB, 1 * kMiB, 0.01).substr(67), "          --") << "no rate before it means anything";
  // Every redraw covers the one before and fits an 80-column terminal.
  for (const std::string &line : {Bar(1, 1023, 4095, 1e-3), Bar(99, 1023 * kMiB + 1, 1023 * kMiB + 2, 1.0),
                                   Bar(100, uint64_t{4095} * kMiB, uint64_t{4095} * kMiB, 1e-3)}) {
    EXPECT_EQ(line.size(), 79u) << line;
  }
}

using TerminalBar = ToolTest;

TEST_F(TerminalBar, IsRedrawnInPlaceOnATerminalAndEndedByANewline) {
  Device("/dev/mtd7", mtdsim::Nor(4 * 64 * kKiB, 64 * kKiB));
  std::string image = File("image", Pattern(64 * kKiB, 1));
  int terminal = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  ASSERT_EQ(grantpt(terminal), 0);
  ASSERT_EQ(unlockpt(terminal), 0);
  int side = open(ptsname(terminal), O_RDWR | O_NOCTTY);
  ASSERT_GE(side, 0);
  termios raw{};
  ASSERT_EQ(tcgetattr(side, &raw), 0);
  cfmakeraw(&raw);  // the bytes as written, no newline translation
  ASSERT_EQ(tcsetattr(side, TCSANOW, &raw), 0);

  fflush(stderr);
  int savedStderr = dup(STDERR_FILENO);
  dup2(side, STDERR_FILENO);
  testing::internal::CaptureStdout();
  std::vector<std::string> words = {"bootguard-flash", "write", "rootfs", image};
  char *argv[] = {words[0].data(), words[1].data(), words[2].data(), words[3].data(), nullptr};
  int status = RunFlashTool(4, argv);
  std::string out = testing::internal::GetCapturedStdout();
  dup2(savedStderr, STDERR_FILENO);
  close(savedStderr);
  close(side);

  std::string drawn;
  char chunk[4096];
  for (ssize_t got; (got = read(terminal, chunk, sizeof chunk)) > 0;) drawn.append(chunk, static_cast<size_t>(got));
  close(terminal);

  EXPECT_EQ(status, 0);
  EXPECT_EQ(out, "Writing from to rootfs,offset:0 len:65536\n");
  // One chunk (25%), then the erase-rest pass over three blocks, then 100%.
  ASSERT_FALSE(drawn.empty());
  EXPECT_EQ(drawn.back(), '\n');
  EXPECT_EQ(drawn.find('\n'), drawn.size() - 1) << "a single line, ended once";
  std::vector<int> percents;
  for (size_t at = 0; (at = drawn.find('\r', at)) != std::string::npos; ++at) {
    std::string line = drawn.substr(at + 1, drawn.find_first_of("\r\n", at + 1) - at - 1);
    EXPECT_EQ(line.size(), 79u) << line;
    int percent = -1;
    EXPECT_EQ(sscanf(line.c_str() + 36, "%d%%", &percent), 1) << line;
    percents.push_back(percent);
  }
  EXPECT_EQ(drawn.front(), '\r');
  EXPECT_EQ(percents, (std::vector<int>{25, 50, 75, 100}));
}

}  // namespace
}  // namespace tooltest
