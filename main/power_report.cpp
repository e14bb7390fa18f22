#include "main/power_report.h"

#include "common/api_manager.h"
#include "common/file_util.h"
#include "jyx/power_manager.h"
#include "jyx/power_monitor.h"
#include "jyx/power_svg.h"
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

// The names saveData gives the CSV files: raw, then averaged; voltage,
// current, power.
const char* const kCsvSuffixes[2][3] = {{".raw_voltage.csv", ".raw_current.csv", ".raw_power.csv"},
                                        {".voltage.csv", ".current.csv", ".power.csv"}};

}  // namespace

bool writePowerCsvFiles(CJYXPowerMonitor* monitor, const std::string& path) {
  CAPIManager* api = CAPIManager::instance();
  bool allWritten = true;
  for (int pass = 0; pass < 2; ++pass) {
    jyx::CAtomicFile files[3];
    std::string reasons[3];
    bool usable[3];
    for (int q = 0; q < 3; ++q) usable[q] = files[q].open(path + kCsvSuffixes[pass][q], &reasons[q]);
    std::string readErr;
    bool streamed = monitor->writeCsv(
        pass == 1,
        [&](int q, const std::string& text) {
          if (usable[q]) usable[q] = files[q].write(text, &reasons[q]);
          return usable[0] || usable[1] || usable[2];
        },
        &readErr);
    for (int q = 0; q < 3; ++q) {
      if (usable[q] && !streamed) {
        // A file cut short by a failed read would look complete.
        files[q].abort();
        usable[q] = false;
        reasons[q] = path + kCsvSuffixes[pass][q] + " not written: " + readErr;
      }
      if (usable[q]) usable[q] = files[q].commit(&reasons[q]);
      if (!usable[q]) {
        api->print("powerReport: %s\n", reasons[q].c_str());
        allWritten = false;
      }
    }
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
  // Every rail that holds samples, by index: the data file has no order of
  // its own.
  const uint32_t everyRail[3] = {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu};
  std::string table = powerTableText(manager, everyRail);
  // The live table clears the screen before each redraw; a report is read
  // in the scroll-back or a file, so it keeps what came before.
  if (table.compare(0, 2, "\x1b" "c") == 0) table.erase(0, 2);
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
