// CJYXPowerManager: the power monitor as a feature manager ("jyx.power").
// It owns the rail model (CJYXPowerMonitor), reads the power configuration
// and rails files through the controller object, starts and stops the
// controller's sampling through the device-control manager, receives the
// power reports, and serves the "jyx.power:" tasks of a graphical front end
// (the chart state they change is kept; drawing belongs to the front end).
//
// Threads: main thread only (tasks, replies and reports all arrive inside
// the API manager's pump). No locks.
#ifndef JYX_JYX_POWER_POWER_MANAGER_H_
#define JYX_JYX_POWER_POWER_MANAGER_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/task_manager.h"
#include "jyx/power/power_monitor.h"
#include "jyx/services.h"

class CJYXDataManager;
class CPackage;

class CJYXPowerManager : public CTaskManager {
 public:
  using CPowerConfigInfo = CJYXPowerConfigInfo;

  // Chart quantities ("jyx.power:chart_*").
  enum ChartType : uint32_t { CHART_VOLTAGE = 1, CHART_CURRENT = 2, CHART_POWER = 4 };

  // The process-wide instance, on the process-wide data manager; created on
  // first use and never destroyed.
  static CJYXPowerManager* instance();

  // `data` is not owned and must outlive the manager. With `routed` the
  // manager is entered in the API manager's table as "jyx.power"; test
  // instances pass false.
  // `services` and `data` (null in tests that send nothing) must outlive
  // the manager.
  CJYXPowerManager(CJYXServices* services, CJYXDataManager* data, bool routed);
  ~CJYXPowerManager() override;

  // Task-manager slots: start registers the report handler and the request
  // blocks with the data manager; stop ends sampling without a callback.
  void start() override;
  void stop() override;

  virtual const std::string& configPath() const { return configPath_; }
  virtual void setConfigPath(const std::string& path);
  virtual uint32_t averageInterval() const { return monitor_.averageInterval(); }
  virtual void setAverageInterval(uint32_t ms) { monitor_.setAverageInterval(ms); }
  virtual bool running() const { return monitor_.running(); }
  virtual void setRunning(bool running) { monitor_.setRunning(running); }
  virtual uint32_t voltageRange() const { return voltageRange_; }
  virtual void setVoltageRange(uint32_t range) { voltageRange_ = range; }
  virtual uint32_t currentRange() const { return currentRange_; }
  virtual void setCurrentRange(uint32_t range) { currentRange_ = range; }
  virtual uint32_t powerRange() const { return powerRange_; }
  virtual void setPowerRange(uint32_t range) { powerRange_ = range; }

  // The configuration file actually read: configPath, or
  // <appPath>/jyx/config.yaml when it is empty.
  std::string effectiveConfigPath();

  // Reads and applies the power configuration file, then requests the
  // selected rails file (`name`, may be null, picks the entry whose path is
  // its file name) and runs `done`. When the configuration text is empty or
  // cannot be read, a message is printed, `done` does not run and `failed`
  // (may be empty) runs instead.
  void updatePowerConfig(const char* name, std::function<void()> done,
                         std::function<void()> failed = nullptr);
  // Applies the text of a rails file (YAML or JSON); an empty text changes
  // nothing. `source` names the file in messages.
  void loadRails(const std::string& text, const std::string& source = "rails");
  void setEnableMask(const uint32_t mask[3]) { monitor_.setEnableMask(mask); }
  void getEnableMask(uint32_t mask[3]) const { monitor_.getEnableMask(mask); }

  // Starts sampling: PWRGRP low, then the power-control request. done(true)
  // once the controller acknowledged, done(false) on any failure.
  void start(std::function<void(bool)> done);
  // Ends sampling; `done` runs after the controller's reply, or at once
  // when not running (or when the request cannot be sent).
  void stop(std::function<void()> done);
  // After the controller link was reopened while sampling runs: asks the
  // controller to sample again with the same rails, keeping the run (the
  // controller's timestamps go on, so the series continue after a gap). A
  // refusal prints "enablePower fail". Does nothing when not running.
  void resumeSampling();
  double startTime() const { return monitor_.startTime(); }

  // A power report handed over by the data manager (lent for the call).
  void onPowerData(CPackage* package);
  // The same for a bare payload; `now` in seconds, `wallMicros` in µs.
  void onPowerData(const uint8_t* payload, size_t length, double now, uint64_t wallMicros) {
    monitor_.onPowerData(payload, length, now, wallMicros);
  }

  bool saveData(const std::string& path) { return monitor_.saveData(path); }
  bool loadData(const std::string& path) { return monitor_.loadData(path); }
  void reportFrameRate();

  const std::vector<int>& enabledRails() const { return monitor_.enabledRails(); }
  // Rail by index; outside 0-96 yields rail 0.
  CJYXPowerRail* rail(int index) { return monitor_.rail(index); }
  CJYXPowerMonitor& monitor() { return monitor_; }

  std::vector<CPowerConfigInfo>& configs() { return monitor_.configs(); }
  CPowerConfigInfo& currentConfig() { return monitor_.currentConfig(); }
  const std::string& currentTitle() const { return monitor_.currentTitle(); }

  // Chart state kept for a graphical front end.
  uint32_t chartType() const { return chartType_; }
  uint32_t chartScale() const { return chartScale_; }
  uint32_t chartWindow() const { return chartScale_ * 10; }
  int64_t chartStart() const { return chartStart_; }
  bool showTotal() const { return showTotal_; }
  bool settingVisible() const { return settingVisible_; }
  int chartWidth() const { return chartWidth_; }
  int chartHeight() const { return chartHeight_; }
  int redrawCount() const { return redrawCount_; }

  // Task "jyx.power:config_file".
  bool configFile(CTask* task);

 private:
  bool done(CTask* task);
  // While sampling runs: shows and prints the tip, finishes the task and
  // returns true.
  bool refusedWhileRunning(CTask* task, const char* tip);
  void requestRails(const std::string& path);
  void redrawChart();
  void storeChartSettings();
  bool onRun(CTask* task);
  bool onLoadConfig(CTask* task);
  bool onAverageInterval(CTask* task);
  bool onRange(CTask* task, uint32_t* range, const char* key);
  bool onAutoRanges(CTask* task);
  bool onSetRanges(CTask* task);
  bool onRail(CTask* task);
  bool onShowTotal(CTask* task);
  bool onSetting(CTask* task);
  bool onSave(CTask* task);
  bool onLoad(CTask* task);
  bool onScale(CTask* task, uint32_t scale);
  bool onMoveWindow(CTask* task, int direction);
  bool onChartType(CTask* task, uint32_t type);
  bool onSizeChanged(CTask* task);

  CJYXServices* services_;
  CJYXDataManager* data_;
  bool routed_;
  CJYXPowerMonitor monitor_;
  std::string configPath_;
  uint32_t voltageRange_ = 4000;
  uint32_t currentRange_ = 4000;
  uint32_t powerRange_ = 4000;
  uint32_t chartType_ = CHART_POWER;
  uint32_t chartScale_ = 1000;  // ms per division; the window is 10 divisions
  int64_t chartStart_ = 0;      // ms since the first frame
  bool showTotal_ = true;
  bool settingVisible_ = false;
  int chartWidth_ = 0;
  int chartHeight_ = 0;
  int redrawCount_ = 0;
};

#endif  // JYX_JYX_POWER_POWER_MANAGER_H_
