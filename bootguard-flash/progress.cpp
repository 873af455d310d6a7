// Progress of a long flash operation, from the module's callback to
// standard error: a bar redrawn in place on a terminal, or a line per
// whole-percent change for logs.

#include <cstring>
#include <ctime>

#include "flash_tool.h"
#include "zqdevice.h"

namespace {

constexpr int kFullPercent = 100;
constexpr int kBarCells = 16;
constexpr uint64_t kUnitStep = 1024;
// Below this the rate would be noise.
constexpr double kShortestRatedSeconds = 0.05;
constexpr size_t kLineSize = 128;

// The sink of the operation in progress; see ProgressRoute.
ProgressSink *routedSink = nullptr;

void OnModuleProgress(int zero, int value) {
  (void)zero;  // always 0
  if (routedSink != nullptr) {
    ShowProgress(routedSink, value);
  }
}

double MonotonicSeconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

uint64_t DoneBytes(uint64_t total, int percent) { return total * static_cast<uint64_t>(percent) / kFullPercent; }

// A byte count as a double, converted in two 32-bit halves by the FPU: a
// conversion of all 64 bits at once would link the C runtime's software
// floating point, over 1 KiB of code on armhf.
double ByteCount(uint64_t bytes) {
  constexpr double kHighUnit = 4294967296.0;
  return static_cast<double>(static_cast<uint32_t>(bytes >> 32)) * kHighUnit +
         static_cast<double>(static_cast<uint32_t>(bytes));
}

// "512 B" below a KiB, else "1.5 KiB", "16.0 MiB", ...: bytes may be a
// fraction (a rate).
void FormatBytes(char *out, size_t size, double bytes) {
  const auto step = static_cast<double>(kUnitStep);
  if (bytes < step) {
    snprintf(out, size, "%u B", static_cast<unsigned>(bytes));
    return;
  }
  static const char *const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  double value = bytes / step;
  size_t unit = 0;
  while (value >= step && unit + 1 < sizeof kUnits / sizeof kUnits[0]) {
    value /= step;
    ++unit;
  }
  snprintf(out, size, "%.1f %s", value, kUnits[unit]);
}

void FormatRate(char *out, size_t size, uint64_t done, double seconds) {
  if (seconds < kShortestRatedSeconds) {
    snprintf(out, size, "--");
    return;
  }
  char rate[32];
  FormatBytes(rate, sizeof rate, ByteCount(done) / seconds);
  snprintf(out, size, "%s/s", rate);
}

void Draw(ProgressSink *sink, int percent) {
  char line[kLineSize];
  uint64_t done = DoneBytes(sink->total, percent);
  if (sink->style == ProgressStyle::kBar) {
    FormatProgressBar(line, sizeof line, percent, done, sink->total, MonotonicSeconds() - sink->started);
    fprintf(sink->stream, "\r%s", line);
    sink->barOnScreen = true;
  } else {
    FormatProgressLine(line, sizeof line, percent, done, sink->total);
    fprintf(sink->stream, "%s\n", line);
  }
  fflush(sink->stream);
}

}  // namespace

ProgressStyle ChooseProgressStyle(ProgressMode mode, bool terminal) {
  switch (mode) {
    case ProgressMode::kLines:
      return ProgressStyle::kLines;
    case ProgressMode::kNone:
      return ProgressStyle::kSilent;
    case ProgressMode::kAuto:
      break;
  }
  return terminal ? ProgressStyle::kBar : ProgressStyle::kSilent;
}

ProgressSink MakeProgressSink(ProgressStyle style, FILE *stream, uint64_t total, int scale) {
  return ProgressSink{style, stream, total, scale, -1, MonotonicSeconds(), false};
}

void ShowProgress(ProgressSink *sink, int value) {
  if (sink->style == ProgressStyle::kSilent || sink->scale <= 0) {
    return;
  }
  int percent = static_cast<int>(static_cast<int64_t>(value) * kFullPercent / sink->scale);
  if (percent > kFullPercent) {
    percent = kFullPercent;
  }
  if (percent <= sink->shown) {
    return;
  }
  if (sink->shown < 0) {
    // The module's lines are on standard output; on a terminal they must
    // be out before the bar takes the line.
    fflush(stdout);
  }
  sink->shown = percent;
  Draw(sink, percent);
}

void FinishProgress(ProgressSink *sink, bool succeeded) {
  if (succeeded) {
    ShowProgress(sink, sink->scale);
  }
  if (sink->barOnScreen) {
    fputc('\n', sink->stream);
    sink->barOnScreen = false;
  }
}

ProgressRoute::ProgressRoute(ProgressSink *sink) {
  routedSink = sink;
  ZQDeviceSetCallback(OnModuleProgress);
}

ProgressRoute::~ProgressRoute() {
  ZQDeviceSetCallback(nullptr);
  routedSink = nullptr;
}

void FormatSize(char *out, size_t size, uint64_t bytes) { FormatBytes(out, size, ByteCount(bytes)); }

void FormatProgressBar(char *out, size_t size, int percent, uint64_t done, uint64_t total, double seconds) {
  char bar[kBarCells + 1];
  int filled = percent * kBarCells / kFullPercent;
  for (int cell = 0; cell < kBarCells; ++cell) {
    bar[cell] = cell < filled ? '#' : ' ';
  }
  bar[kBarCells] = '\0';
  char doneText[32];
  char totalText[32];
  char rateText[40];
  FormatSize(doneText, sizeof doneText, done);
  FormatSize(totalText, sizeof totalText, total);
  FormatRate(rateText, sizeof rateText, done, seconds);
  snprintf(out, size, "bootguard-flash: [%s] %3d%%  %10s / %10s  %12s", bar, percent, doneText, totalText, rateText);
}

void FormatProgressLine(char *out, size_t size, int percent, uint64_t done, uint64_t total) {
  char doneText[32];
  char totalText[32];
  FormatSize(doneText, sizeof doneText, done);
  FormatSize(totalText, sizeof totalText, total);
  snprintf(out, size, "bootguard-flash: %d%% %s of %s", percent, doneText, totalText);
}
