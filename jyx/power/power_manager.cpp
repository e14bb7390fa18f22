#include "jyx/power/power_manager.h"

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "common/api_manager.h"
#include "common/config_loader.h"
#include "common/number_text.h"
#include "jyx/device/data_manager.h"
#include "jyx/protocol/package.h"

using std::placeholders::_1;

namespace {

const char kName[] = "jyx.power";

// Parses YAML/JSON text; false (with a message naming `what` and `source`)
// when it is not a complete document.
bool parseConfigText(const std::string& text, const char* what, const std::string& source,
                     rapidjson::Document* doc) {
  if (jyx::yamlToJson(text.data(), text.size(), doc)) return true;
  CAPIManager::instance()->print("%s (%s) is not valid YAML or JSON\n", what, source.c_str());
  return false;
}

uint64_t wallMicros() {
  return static_cast<uint64_t>(std::llround(CAPIManager::wallClock() * 1e6));
}

}  // namespace

CJYXPowerManager::CJYXPowerManager(CJYXServices* services, CJYXDataManager* data, bool routed)
    : services_(services), data_(data), routed_(routed) {
  setName(kName);
  std::string p = std::string(kName) + ":";
  addHandler(p + "run", std::bind(&CJYXPowerManager::onRun, this, _1));
  addHandler(p + "config_file", std::bind(&CJYXPowerManager::configFile, this, _1));
  addHandler(p + "load_config", std::bind(&CJYXPowerManager::onLoadConfig, this, _1));
  addHandler(p + "average_interval", std::bind(&CJYXPowerManager::onAverageInterval, this, _1));
  addHandler(p + "voltage_range",
             [this](CTask* t) { return onRange(t, &voltageRange_, "voltage"); });
  addHandler(p + "current_range",
             [this](CTask* t) { return onRange(t, &currentRange_, "current"); });
  addHandler(p + "power_range", [this](CTask* t) { return onRange(t, &powerRange_, "power"); });
  addHandler(p + "auto_ranges", std::bind(&CJYXPowerManager::onAutoRanges, this, _1));
  addHandler(p + "set_ranges", std::bind(&CJYXPowerManager::onSetRanges, this, _1));
  addHandler(p + "rail", std::bind(&CJYXPowerManager::onRail, this, _1));
  addHandler(p + "show_total", std::bind(&CJYXPowerManager::onShowTotal, this, _1));
  addHandler(p + "setting", std::bind(&CJYXPowerManager::onSetting, this, _1));
  addHandler(p + "save", std::bind(&CJYXPowerManager::onSave, this, _1));
  addHandler(p + "load", std::bind(&CJYXPowerManager::onLoad, this, _1));
  addHandler(p + "load_data", std::bind(&CJYXPowerManager::done, this, _1));
  addHandler(p + "save_data", std::bind(&CJYXPowerManager::done, this, _1));
  addHandler(p + "1s", [this](CTask* t) { return onScale(t, 1000); });
  addHandler(p + "100ms", [this](CTask* t) { return onScale(t, 100); });
  addHandler(p + "10ms", [this](CTask* t) { return onScale(t, 10); });
  addHandler(p + "prev_time", [this](CTask* t) { return onMoveWindow(t, -1); });
  addHandler(p + "next_time", [this](CTask* t) { return onMoveWindow(t, 1); });
  addHandler(p + "chart_power", [this](CTask* t) { return onChartType(t, CHART_POWER); });
  addHandler(p + "chart_voltage", [this](CTask* t) { return onChartType(t, CHART_VOLTAGE); });
  addHandler(p + "chart_current", [this](CTask* t) { return onChartType(t, CHART_CURRENT); });
  addHandler(p + "size_changed", std::bind(&CJYXPowerManager::onSizeChanged, this, _1));
  if (routed_) CAPIManager::instance()->registerTaskManager(name_, this);
}

CJYXPowerManager::~CJYXPowerManager() {
  if (routed_) CAPIManager::instance()->unregisterTaskManager(name_, this);
}

void CJYXPowerManager::start() {
  data_->setPowerReportHandler([this](CPackage* package) { onPowerData(package); });
  data_->setPowerBlockProvider([this](uint32_t mask[3], uint8_t icAddrs[24]) {
    uint8_t maskBytes[12];
    monitor_.buildRequestBlocks(maskBytes, icAddrs);
    monitor_.getEnableMask(mask);
  });
}

void CJYXPowerManager::stop() { stop(std::function<void()>()); }

void CJYXPowerManager::setConfigPath(const std::string& path) {
  configPath_ = path;
  services_->writeSetting("power_config", path);
}

std::string CJYXPowerManager::effectiveConfigPath() {
  if (!configPath_.empty()) return configPath_;
  CJYXServices* jyx = services_;
  const std::string& sep = jyx->pathSeparator().empty() ? std::string("/") : jyx->pathSeparator();
  return jyx->appPath() + sep + "jyx" + sep + "config.yaml";
}

void CJYXPowerManager::updatePowerConfig(const char* name, std::function<void()> done,
                                         std::function<void()> failed) {
  std::string path = effectiveConfigPath();
  std::string selector = name != nullptr ? name : "";
  bool hasName = name != nullptr;
  auto unusable = [path, failed] {
    CAPIManager::instance()->print("power config (%s) is empty or cannot be read\n", path.c_str());
    if (failed) failed();
  };
  // An empty local file is read without any answer; it must still end in
  // `failed`, or a console waiting for the configuration would wait forever.
  struct stat info;
  if (path.compare(0, 4, "http") != 0 && stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
      info.st_size == 0) {
    unusable();
    return;
  }
  services_->getFileContent(
      path, [this, path, selector, hasName, done, unusable](const std::string& text) {
        if (text.empty()) {
          unusable();
          return;
        }
        rapidjson::Document doc;
        if (parseConfigText(text, "power config", path, &doc)) {
          monitor_.applyConfig(doc);
        } else {
          monitor_.configs().clear();
        }
        // The rails are read from the path the text came from, also when
        // configPath was empty and the default location was used.
        std::string rails = monitor_.selectRailsFile(hasName ? selector.c_str() : nullptr, path);
        if (!rails.empty()) requestRails(rails);
        if (done) done();
      });
}

void CJYXPowerManager::requestRails(const std::string& path) {
  services_->getFileContent(path, [this, path](const std::string& text) {
    if (text.empty()) {
      CAPIManager::instance()->print("rails file (%s) is empty or cannot be read\n", path.c_str());
      return;
    }
    loadRails(text, path);
  });
}

void CJYXPowerManager::loadRails(const std::string& text, const std::string& source) {
  if (text.empty()) return;
  rapidjson::Document doc;
  if (!parseConfigText(text, "rails file", source, &doc)) return;
  if (!doc.IsObject() || !doc.HasMember("rails")) {
    CAPIManager::instance()->print("rails file (%s) has no \"rails\" list\n", source.c_str());
    return;
  }
  monitor_.loadRails(doc);
  redrawChart();
}

void CJYXPowerManager::start(std::function<void(bool)> done) {
  CAPIManager* api = CAPIManager::instance();
  auto finish = [done](bool ok) {
    if (done) done(ok);
  };
  if (monitor_.running()) {
    finish(false);
    return;
  }
  if (!data_->isConnected()) {
    api->print("socket is invalid\n");
    finish(false);
    return;
  }
  monitor_.resetRun();
  storeChartSettings();
  bool sent = data_->gpio(1, CJYXDataManager::GPIO_PWRGRP, 0, [this, finish](CPackage* reply) {
    CAPIManager* api = CAPIManager::instance();
    if (reply == nullptr) {
      // Names the line it set, like the other "<line> to <level> fail." texts.
      api->print("PWRGRP to 0 fail.\n");
      finish(false);
      return;
    }
    uint32_t mask[3];
    uint8_t maskBytes[12], addrs[24];
    monitor_.getEnableMask(mask);
    monitor_.buildRequestBlocks(maskBytes, addrs);
    bool requested = data_->enablePower(1, mask, addrs, [this, finish](CPackage* ack) {
      CAPIManager* api = CAPIManager::instance();
      // A refused start (ACK_FAIL) is no start: nothing would be sampled.
      if (ack == nullptr || ack->dataType() == ACK_FAIL) {
        api->print("enablePower fail\n");
        finish(false);
        return;
      }
      std::string line = monitor_.applyIcIds(ack->payload(), ack->payloadLength(), ack->length());
      api->print("%s\n", line.c_str());
      monitor_.setStartTime(api->time());
      monitor_.setRunning(true);
      finish(true);
    });
    if (!requested) finish(false);
  });
  if (!sent) finish(false);
}

void CJYXPowerManager::stop(std::function<void()> done) {
  auto finish = [done] {
    if (done) done();
  };
  if (!monitor_.running()) {
    finish();
    return;
  }
  reportFrameRate();
  monitor_.setRunning(false);
  uint32_t mask[3];
  uint8_t maskBytes[12], addrs[24];
  monitor_.getEnableMask(mask);
  monitor_.buildRequestBlocks(maskBytes, addrs);
  bool sent = data_->enablePower(0, mask, addrs, [finish](CPackage* reply) {
    if (reply == nullptr) CAPIManager::instance()->print("enablePower fail\n");
    finish();
  });
  if (!sent) finish();
}

void CJYXPowerManager::resumeSampling() {
  if (!monitor_.running() || !data_->isConnected()) return;
  auto failed = [] { CAPIManager::instance()->print("enablePower fail\n"); };
  bool sent = data_->gpio(1, CJYXDataManager::GPIO_PWRGRP, 0, [this, failed](CPackage* reply) {
    if (reply == nullptr) return failed();
    uint32_t mask[3];
    uint8_t maskBytes[12], addrs[24];
    monitor_.getEnableMask(mask);
    monitor_.buildRequestBlocks(maskBytes, addrs);
    bool requested = data_->enablePower(1, mask, addrs, [failed](CPackage* ack) {
      if (ack == nullptr || ack->dataType() == ACK_FAIL) failed();
    });
    if (!requested) failed();
  });
  if (!sent) failed();
}

void CJYXPowerManager::onPowerData(CPackage* package) {
  if (package == nullptr || !monitor_.running()) return;
  monitor_.onPowerData(package->payload(), package->payloadLength(),
                       CAPIManager::instance()->time(), wallMicros());
}

void CJYXPowerManager::reportFrameRate() {
  std::string line = monitor_.frameRateText();
  if (!line.empty()) CAPIManager::instance()->print("%s", line.c_str());
}

bool CJYXPowerManager::done(CTask* task) {
  finishTask(task);
  return true;
}

void CJYXPowerManager::redrawChart() {
  ++redrawCount_;
  services_->publishValue("jyx.power:chart", "value", std::to_string(redrawCount_));
}

void CJYXPowerManager::storeChartSettings() {
  CJYXServices* jyx = services_;
  jyx->writeSetting("power_chart_type", int(chartType_));
  jyx->writeSetting("power_chart_scale", int(chartScale_));
  jyx->writeSetting("voltage_range", int(voltageRange_));
  jyx->writeSetting("current_range", int(currentRange_));
  jyx->writeSetting("power_range", int(powerRange_));
  jyx->writeSetting("average_interval", int(monitor_.averageInterval()));
  jyx->saveSettings();
}

bool CJYXPowerManager::onRun(CTask* task) {
  CAPIManager* api = CAPIManager::instance();
  if (monitor_.running()) {
    stop(std::function<void()>());
    api->print("CJYXPowerManager::stop!\n");
  } else if (data_->isConnected()) {
    monitor_.resetRun();
    api->print("CJYXPowerManager::start, rail count:%d\n", int(monitor_.enabledRails().size()) - 1);
    start([this](bool) { redrawChart(); });
  } else {
    api->print("socket is invalid\n");
  }
  return done(task);
}

bool CJYXPowerManager::configFile(CTask* task) {
  std::string title;
  if (CTaskManager::getArgument(task->data()->text, "value", &title) &&
      monitor_.selectConfigByTitle(title)) {
    std::string path = monitor_.selectRailsFile(nullptr, effectiveConfigPath());
    if (!path.empty()) requestRails(path);
  }
  return done(task);
}

bool CJYXPowerManager::refusedWhileRunning(CTask* task, const char* tip) {
  if (!monitor_.running()) return false;
  services_->showDialog(nullptr, 1, "Note", tip);
  CAPIManager::instance()->print("%s\n", tip);
  done(task);
  return true;
}

bool CJYXPowerManager::onLoadConfig(CTask* task) {
  if (refusedWhileRunning(task, "now is busy, stop first and try again later.")) return true;
  services_->pickFile(true, [this, task](const std::string& path) {
    if (!path.empty()) {
      setConfigPath(path);
      updatePowerConfig(nullptr, [this] { redrawChart(); });
    }
    finishTask(task);
  });
  return true;
}

bool CJYXPowerManager::onAverageInterval(CTask* task) {
  std::string value;
  if (CTaskManager::getArgument(task->data()->text, "value", &value)) {
    uint64_t ms = parseNumberText(value.c_str());
    if (ms < 1) ms = 1;
    if (ms > UINT32_MAX) ms = UINT32_MAX;
    monitor_.setAverageInterval(uint32_t(ms));
    services_->writeSetting("average_interval", int(ms));
  }
  services_->publishValue("jyx.power:average_interval", "value",
                          std::to_string(monitor_.averageInterval()));
  return done(task);
}

bool CJYXPowerManager::onRange(CTask* task, uint32_t* range, const char* key) {
  std::string value;
  if (CTaskManager::getArgument(task->data()->text, "value", &value)) {
    double scaled = atof(value.c_str()) * 1000.0;
    if (!(scaled > 0)) scaled = 0;  // also NaN
    if (scaled > double(UINT32_MAX)) scaled = double(UINT32_MAX);
    *range = uint32_t(scaled);
  }
  return done(task);
}

bool CJYXPowerManager::onAutoRanges(CTask* task) {
  CJYXPowerRanges ranges = monitor_.autoRanges();
  voltageRange_ = ranges.voltage;
  currentRange_ = ranges.current;
  powerRange_ = ranges.power;
  CJYXServices* jyx = services_;
  char text[32];
  snprintf(text, sizeof(text), "%.3f", voltageRange_ / 1000.0);
  jyx->publishValue("jyx.power:voltage_range", "value", text);
  snprintf(text, sizeof(text), "%.3f", currentRange_ / 1000.0);
  jyx->publishValue("jyx.power:current_range", "value", text);
  snprintf(text, sizeof(text), "%.3f", powerRange_ / 1000.0);
  jyx->publishValue("jyx.power:power_range", "value", text);
  return onSetRanges(task);
}

bool CJYXPowerManager::onSetRanges(CTask* task) {
  redrawChart();
  return done(task);
}

bool CJYXPowerManager::onRail(CTask* task) {
  const char* json = task->data()->text;
  int index = -1;
  bool selected = true;
  if (CTaskManager::getArgument(json, "index", &index) && index >= 0 &&
      index < CJYXPowerMonitor::kRailCount) {
    CTaskManager::getArgument(json, "value", &selected);
    monitor_.rail(index)->setSelected(selected);
    CAPIManager* api = CAPIManager::instance();
    api->startAsyncCall([this] { redrawChart(); }, 0.1);
    api->startAsyncCall([this] { redrawChart(); }, 0.2);
  }
  return done(task);
}

bool CJYXPowerManager::onShowTotal(CTask* task) {
  bool show = showTotal_;
  if (CTaskManager::getArgument(task->data()->text, "value", &show)) {
    showTotal_ = show;
    for (int i = 0; i < CJYXPowerMonitor::kMeasuredRails; ++i) {
      if (monitor_.rail(i)->listed()) monitor_.rail(i)->setSelected(show);
    }
    redrawChart();
  }
  return done(task);
}

bool CJYXPowerManager::onSetting(CTask* task) {
  bool visible = settingVisible_;
  if (CTaskManager::getArgument(task->data()->text, "value", &visible)) settingVisible_ = visible;
  services_->publishValue("jyx.power:setting", "visible", settingVisible_ ? "1" : "0");
  return done(task);
}

bool CJYXPowerManager::onSave(CTask* task) {
  services_->pickFile(false, [this, task](const std::string& path) {
    if (!path.empty()) saveData(path);
    finishTask(task);
  });
  return true;
}

bool CJYXPowerManager::onLoad(CTask* task) {
  if (refusedWhileRunning(task, "now is busy, stop first and try it again.")) return true;
  services_->pickFile(true, [this, task](const std::string& path) {
    if (!path.empty() && loadData(path)) redrawChart();
    finishTask(task);
  });
  return true;
}

bool CJYXPowerManager::onScale(CTask* task, uint32_t scale) {
  chartScale_ = scale;
  redrawChart();
  return done(task);
}

bool CJYXPowerManager::onMoveWindow(CTask* task, int direction) {
  chartStart_ += int64_t(direction) * chartWindow();
  if (chartStart_ < 0) chartStart_ = 0;
  redrawChart();
  return done(task);
}

bool CJYXPowerManager::onChartType(CTask* task, uint32_t type) {
  chartType_ = type;
  redrawChart();
  return done(task);
}

bool CJYXPowerManager::onSizeChanged(CTask* task) {
  const char* json = task->data()->text;
  int value;
  if (CTaskManager::getArgument(json, "width", &value)) chartWidth_ = value;
  if (CTaskManager::getArgument(json, "height", &value)) chartHeight_ = value;
  redrawChart();
  return done(task);
}
