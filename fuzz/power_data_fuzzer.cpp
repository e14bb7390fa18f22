// Feeds arbitrary bytes to the power data file reader as a saved run: every
// offset and count in its header comes from the file, so a file it accepts
// must export completely (the CSV texts and the chart, as --power-report
// writes them) and one it refuses must leave the run empty.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "jyx/power/power_monitor.h"
#include "jyx/power/power_svg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = [] {
    const char* dir = getenv("TMPDIR");
    return std::string(dir != nullptr ? dir : "/tmp") + "/power_data_fuzzer." +
           std::to_string(getpid());
  }();
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr || fwrite(data, 1, size, file) != size || fclose(file) != 0) __builtin_trap();
  CJYXPowerMonitor monitor;
  const bool loaded = monitor.loadData(path);
  unlink(path.c_str());
  if (!loaded) {
    if (monitor.rail(0)->sampleCount() != 0) __builtin_trap();
    return 0;
  }
  for (int quantity = 0; quantity < 3; ++quantity) {
    monitor.csvText(false, quantity);
    monitor.csvText(true, quantity);
  }
  // A small picture keeps the runs fast; the bucket folding is the same.
  jyx::PowerSvgLayout layout;
  layout.plotWidth = 64;
  std::string err;
  jyx::renderPowerSvg(
      &monitor, layout, [](const std::string&) { return true; }, &err);
  return 0;
}
