#include "main/power_report.h"

#include <sys/stat.h>

#include "common/api_manager.h"
#include "common/file_util.h"
#include "jyx/power/power_manager.h"
#include "jyx/power/power_monitor.h"
#include "jyx/power/power_svg.h"
#include "main/power_table.h"

bool savePowerChart(CJYXPowerMonitor* monitor, const std::string& output) {
  CAPIManager* api = CAPIManager::instance();
  bool anySamples = false;
  for (int i = 0; i < CJYXPowerMonitor::kRailCount; ++i) {
    const CJYXPowerRail* rail = monitor->rail(i);
    if (rail->selected() && rail->sampleCount() > 0) anySamples = true;
  }
  if (!anySamples) {
    api->print("power chart: no samples, %s.svg not written\n", output.c_str());
    return true;
  }
  std::string err;
  if (!jyx::writePowerSvg(monitor, output + ".svg", &err)) {
    api->print("power chart: %s.svg: %s\n", output.c_str(), err.c_str());
    api->print("power chart: FAIL\n");
    return false;
  }
  return true;
}

namespace {

// The CSV files give each sample's local time, but the data file holds only
// controller clocks. The file is written when sampling stops, so its
// modification time less the run's length is taken as the start, and a line
// says so.
void placeRunInTime(CJYXPowerMonitor* monitor, const std::string& path) {
  uint64_t base = monitor->baseClock(), last = base;
  for (int i = 0; i < CJYXPowerMonitor::kRailCount; ++i) {
    const CJYXPowerRail* rail = monitor->rail(i);
    if (!rail->raw.empty() && rail->raw.back().clock > last) last = rail->raw.back().clock;
  }
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return;  // loadData has just read it
  uint64_t end = uint64_t(st.st_mtim.tv_sec) * 1000000 + uint64_t(st.st_mtim.tv_nsec) / 1000;
  uint64_t span = last - base;
  uint64_t start = end > span ? end - span : 0;
  monitor->setHostStartMicros(start);
  CAPIManager::instance()->print(
      "powerReport: the data file holds no wall-clock time; the time column starts at %s "
      "(the file's modification time less the run's %.3f s)\n",
      CJYXPowerMonitor::timeText(start).c_str(), double(span) / 1e6);
}

}  // namespace

bool writePowerCsvFiles(CJYXPowerMonitor* monitor, const std::string& path) {
  bool allWritten = true;
  for (bool averaged : {false, true}) {
    monitor->saveCsvFiles(path, averaged, [&allWritten](const std::string& reason) {
      CAPIManager::instance()->print("powerReport: %s\n", reason.c_str());
      allWritten = false;
    });
  }
  return allWritten;
}

bool runPowerReport(CJYXPowerManager* manager, const std::string& path) {
  CAPIManager* api = CAPIManager::instance();
  CJYXPowerMonitor& monitor = manager->monitor();
  if (!monitor.loadData(path)) {
    api->print("powerReport: FAIL\n");
    return false;
  }
  // The data file keeps no names; rail 96 is always the sum.
  monitor.rail(CJYXPowerMonitor::kTotalRail)->setName("TOTAL");
  placeRunInTime(&monitor, path);
  // Every rail that holds samples, by index: the data file has no order of
  // its own.
  const uint32_t everyRail[3] = {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu};
  std::string table = powerTableText(manager, everyRail);
  // The live table clears the screen before each redraw; a report is read
  // in the scroll-back or a file, so it keeps what came before.
  if (table.compare(0, 2,
                    "\x1b"
                    "c") == 0)
    table.erase(0, 2);
  api->print("%s", table.c_str());
  bool csv = writePowerCsvFiles(&monitor, path);
  bool chart = savePowerChart(&monitor, path);
  if (!(csv && chart)) {
    api->print("powerReport: FAIL\n");
    return false;
  }
  api->print("powerReport: OK\n");
  return true;
}
