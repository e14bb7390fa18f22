// Power monitoring of the controller console: sampling through the power
// manager, the table redraw every 2 seconds, the stop after -d seconds and
// saving to the -o path.
#include <algorithm>
#include <memory>

#include "common/api_manager.h"
#include "jyx/device/data_manager.h"
#include "jyx/jyx.h"
#include "jyx/power/power_manager.h"
#include "main/power_report.h"
#include "main/power_table.h"
#include "main/qel_console_jyx.h"

// Seconds between two table redraws (a hair under 2 s so that a redraw due
// on a pump that comes a microsecond early is not put off a whole pass).
static constexpr double kRedrawInterval = 1.99999;
// Seconds to wait for the controller's answer to the stop request before
// saving anyway.
static constexpr double kStopReplyWait = 5.0;

void CQelConsoleJYX::start_monitor() {
  CJYXPowerManager* power = CJYXPowerManager::instance();
  auto startSampling = [this, power] {
    power->getEnableMask(railMask_);
    power->start([this](bool ok) {
      if (!ok) fail();
      // From the acknowledge on there are samples that an interrupted run
      // must still save, also while the stop request is in flight.
      runUnsaved_ = ok;
      g_lastDisplay = CAPIManager::instance()->time();
    });
  };
  if (monitorMaskSet_) {
    // A mask given on the command line replaces every configuration file.
    power->setEnableMask(monitorMask_);
    startSampling();
    return;
  }
  if (!monitorConfig_.empty()) power->setConfigPath(monitorConfig_);
  power->updatePowerConfig(param_.empty() ? nullptr : param_.c_str(), startSampling,
                           [this] { fail(); });
}

double CQelConsoleJYX::monitorDeadline() {
  double next = g_lastDisplay + kRedrawInterval;
  CJYXPowerManager* power = CJYXPowerManager::instance();
  if (duration_ > 0 && power->running()) next = std::min(next, power->startTime() + duration_);
  return next;
}

void CQelConsoleJYX::updateMonitor(double now) {
  if (now - g_lastDisplay > kRedrawInterval) {
    redrawMonitorTable();
    g_lastDisplay = now;
  }
  CJYXPowerManager* power = CJYXPowerManager::instance();
  if (duration_ > 0 && power->running() && now - power->startTime() > duration_) {
    // The samples are final once stop() returns (later reports are
    // ignored), so a controller that never answers the stop request must
    // not hold the save back for the whole request time-out.
    auto saved = std::make_shared<bool>(false);
    auto saveAndFinish = [this, saved] {
      if (*saved) return;
      *saved = true;
      if (!output_.empty() && !saveRun()) {
        fail();
        return;
      }
      finish();
    };
    power->stop(saveAndFinish);
    CAPIManager::instance()->startAsyncCall(saveAndFinish, kStopReplyWait);
  }
}

void CQelConsoleJYX::stopMonitor() {
  // Not only while sampling runs: between the stop request and its reply
  // the manager no longer runs, but the samples are not saved yet.
  if (monitor_ && duration_ > 0 && !output_.empty() && !saveRun()) markFailed();
}

bool CQelConsoleJYX::saveRun() {
  if (!runUnsaved_) return true;
  runUnsaved_ = false;
  CJYXPowerManager* power = CJYXPowerManager::instance();
  bool saved = power->saveData(output_);
  // The chart is drawn also when a file above failed: it is written
  // independently of them, and the run fails either way.
  bool charted = savePowerChart(&power->monitor(), output_);
  return saved && charted;
}

void CQelConsoleJYX::redrawMonitorTable() {
  CJYXPowerManager* power = CJYXPowerManager::instance();
  std::string stale = tableWatch_.check(CJYXDataManager::instance()->isConnected(),
                                        power->running(), power->monitor().frameCount());
  if (!stale.empty()) {
    CAPIManager::instance()->print("%s", stale.c_str());
    return;
  }
  std::string table = powerTableText(power, railMask_);
  CAPIManager::instance()->print("%s", table.c_str());
  power->reportFrameRate();
}
