// Cost of the power chart of a long run: fills R rails with S seconds of
// samples at F frames per second (through the spill file, as a live run
// stores them), then renders NAME.svg with a counting sink and prints the
// records per second, the memory the chart held beyond the monitor, and the
// size of the SVG.
//
//   power_svg_bench [--rails R] [--seconds S] [--rate F]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "jyx/power/power_monitor.h"
#include "jyx/power/power_svg.h"

namespace {

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

long maxRssKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  int rails = 96;
  int seconds = 600;
  int rate = 500;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--rails") == 0) rails = atoi(argv[i + 1]);
    if (strcmp(argv[i], "--seconds") == 0) seconds = atoi(argv[i + 1]);
    if (strcmp(argv[i], "--rate") == 0) rate = atoi(argv[i + 1]);
  }
  if (rails < 1 || rails > CJYXPowerMonitor::kMeasuredRails || seconds < 1 || rate < 1) {
    fprintf(stderr, "usage: power_svg_bench [--rails 1-96] [--seconds S] [--rate F]\n");
    return 2;
  }
  CJYXPowerMonitor monitor;
  for (int i = 0; i < CJYXPowerMonitor::kRailCount; ++i) monitor.rail(i)->setSelected(i < rails);
  const uint64_t frames = uint64_t(seconds) * uint64_t(rate);
  double t0 = now();
  for (uint64_t f = 0; f < frames; ++f) {
    int32_t ms = int32_t(f * 1000 / uint64_t(rate));
    for (int r = 0; r < rails; ++r) {
      int32_t noise = int32_t((f * 2654435761u + uint64_t(r) * 40503u) % 97);
      CJYXPowerRecord rec{5000000 + f * 2000, ms, 1000 + 10 * r + noise, 500 + noise,
                          int32_t((1000 + 10 * r) * (500 + noise) / 1000)};
      monitor.rail(r)->raw.push_back(rec);
    }
  }
  double filled = now();
  long rssBefore = maxRssKiB();
  uint64_t bytes = 0;
  std::string err;
  bool ok = jyx::renderPowerSvg(
      &monitor, jyx::PowerSvgLayout(),
      [&](const std::string& piece) {
        bytes += piece.size();
        return true;
      },
      &err);
  double rendered = now();
  if (!ok) {
    fprintf(stderr, "render failed: %s\n", err.c_str());
    return 1;
  }
  double records = double(frames) * rails;
  printf("%d rails x %d s at %d/s: %.0f records (spill %.1f MiB), filled in %.1f s\n", rails,
         seconds, rate, records, monitor.spill().size() / 1048576.0, filled - t0);
  printf(
      "chart: %.2f s, %.1f M records/s, SVG %.1f KiB, peak RSS %ld KiB before and %ld KiB "
      "after rendering\n",
      rendered - filled, records / (rendered - filled) / 1e6, bytes / 1024.0, rssBefore,
      maxRssKiB());
  return 0;
}
