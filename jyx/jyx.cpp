#include "jyx/jyx.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <utility>

#include "common/api_manager.h"
#include "common/config_loader.h"
#include "common/file_util.h"
#include "common/json_text.h"
#include "common/number_text.h"
#include "common/string_format.h"
#include "common/thread_pool.h"

namespace {

// Seconds between two checks that the controller link is in the wanted state.
constexpr double kConnectionCheckInterval = 10.0;
// Longest wait in start() for the managers' channel threads to come up.
constexpr int kStartSettleMs = 1000;

// Forces creation during static initialisation, before main runs.
CJYX* const g_staticController = CJYX::instance();

}  // namespace

CJYX* CJYX::instance() {
  // Never destroyed: pool threads and managers may use it until exit.
  static CJYX* controller = new CJYX();
  return controller;
}

CJYX::CJYX() {
  (void)g_staticController;
  setName("jyx");
  config_.SetObject();
  CAPIManager::setControllerFactory([] { CJYX::instance(); });
  CAPIManager::instance()->registerTaskManager("jyx", this);
  using std::placeholders::_1;
  addHandler("jyx:jyx_feature", std::bind(&CJYX::onJyxFeature, this, _1));
  addHandler("jyx:flash_tool", std::bind(&CJYX::onFlashTool, this, _1));
  addHandler("jyx:fct_tool", std::bind(&CJYX::onFctTool, this, _1));
  addHandler("jyx:start", std::bind(&CJYX::onStart, this, _1));
  addHandler("jyx:stop", std::bind(&CJYX::onStop, this, _1));
  addHandler("jyx:change_ip", std::bind(&CJYX::onChangeIp, this, _1));
  addHandler("jyx:connect", std::bind(&CJYX::onConnect, this, _1));
  addHandler("jyx:download_progress", std::bind(&CJYX::onDownloadProgress, this, _1));
  addHandler("jyx:old_jyx", std::bind(&CJYX::onOldJyx, this, _1));
  addHandler("jyx:switch", std::bind(&CJYX::onSwitchList, this, _1));
  addHandler("jyx:switch_mask", std::bind(&CJYX::onSwitchList, this, _1));
  struct Switch {
    const char* task;
    bool* field;
    const char* setting;
  };
  const Switch switches[] = {
      {"jyx:switch_log", &visibleLog_, "visible_log"},
      {"jyx:switch_uart", &visibleUart_, "visible_uart"},
      {"jyx:switch_gpio", &visibleGpio_, "visible_gpio"},
      {"jyx:switch_spi", &visibleSpi_, "visible_spi"},
      {"jyx:switch_spi_read", &visibleSpiRead_, "visible_spi_read"},
      {"jyx:switch_postcode", &visiblePostcode_, "visible_postcode"},
      {"jyx:switch_power", &visiblePower_, "visible_power"},
      {"jyx:switch_string_cmd", &visibleStringCmd_, "visible_string_cmd"},
  };
  for (const Switch& s : switches) {
    bool* field = s.field;
    const char* setting = s.setting;
    addHandler(s.task, [this, field, setting](CTask* task) {
      return onSwitchVisible(task, field, setting);
    });
  }
  addHandler("jyx:clear_device_list", std::bind(&CJYX::onClearDeviceList, this, _1));
}

uint32_t CJYX::pageMode() { return pageMode_; }
void CJYX::setPageMode(uint32_t mode) { pageMode_ = mode; }
const std::string& CJYX::appPath() { return appPath_; }
void CJYX::setAppPath(const std::string& path) { appPath_ = path; }
const std::string& CJYX::pathSeparator() { return pathSeparator_; }
void CJYX::setPathSeparator(const std::string& separator) { pathSeparator_ = separator; }
const std::string& CJYX::version() { return version_; }
void CJYX::setVersion(const std::string& version) { version_ = version; }
bool CJYX::isFinished() { return finished_; }
void CJYX::setFinished(bool finished) { finished_ = finished; }
bool CJYX::ipChanged() { return ipChanged_; }
void CJYX::setIpChanged(bool changed) { ipChanged_ = changed; }
bool CJYX::wantConnected() { return wantConnected_; }
void CJYX::setWantConnected(bool want) { wantConnected_ = want; }
const std::string& CJYX::ip() { return ip_; }
void CJYX::setIp(const std::string& ip) { ip_ = ip; }
const std::string& CJYX::nameText() { return nameText_; }
void CJYX::setNameText(const std::string& text) { nameText_ = text; }
bool CJYX::titleDirty() { return titleDirty_; }
void CJYX::setTitleDirty(bool dirty) { titleDirty_ = dirty; }
bool CJYX::started() { return started_; }
void CJYX::setStarted(bool started) { started_ = started; }
double CJYX::lastCheck() { return lastCheck_; }
void CJYX::setLastCheck(double t) { lastCheck_ = t; }

void CJYX::start() {
  startFeatureManagers();
  visibleLog_ = readSetting("visible_log", false);
  visibleUart_ = readSetting("visible_uart", true);
  visibleGpio_ = readSetting("visible_gpio", true);
  visibleSpi_ = readSetting("visible_spi", true);
  visibleSpiRead_ = readSetting("visible_spi_read", false);
  visiblePostcode_ = readSetting("visible_postcode", false);
  visiblePower_ = readSetting("visible_power", false);
  if (pageMode_ != 2 && pageMode_ != 4) pageMode_ = 1;
  // The front end starts issuing requests once the managers' channel
  // threads are up and waiting; they get at most a second for it.
  CThreadPool::instance()->waitUntilStarted(kStartSettleMs);
}

void CJYX::stop() { stopFeatureManagers(); }

double CJYX::nextDeadline(double now) { return lastCheck_ + kConnectionCheckInterval; }

void CJYX::onUpdate(double now) {
  if (started_ && titleDirty_) titleDirty_ = false;  // the title push is a presentation hook
  if (now - lastCheck_ > kConnectionCheckInterval) {
    bool connected = isDataManagerConnected();
    if (wantConnected_ != connected) {
      connectToggle();
    } else if (connected) {
      keepLogConnected();
    }
    lastCheck_ = now;
  }
}

bool CJYX::readSetting(const char* key, bool defaultValue) {
  auto it = config_.FindMember(key);
  if (it == config_.MemberEnd()) return defaultValue;
  const rapidjson::Value& v = it->value;
  if (v.IsBool()) return v.GetBool();
  if (v.IsNumber()) return v.GetDouble() != 0.0;
  if (v.IsString()) {
    if (strcmp(v.GetString(), "true") == 0) return true;
    if (strcmp(v.GetString(), "false") == 0) return false;
    return parseNumberText(v.GetString()) != 0;
  }
  return defaultValue;
}

int CJYX::readSetting(const char* key, int defaultValue) {
  auto it = config_.FindMember(key);
  if (it == config_.MemberEnd()) return defaultValue;
  const rapidjson::Value& v = it->value;
  if (v.IsInt()) return v.GetInt();
  if (v.IsUint()) return static_cast<int>(v.GetUint());
  if (v.IsBool()) return v.GetBool() ? 1 : 0;
  if (v.IsString()) return static_cast<int>(parseNumberText(v.GetString()));
  return defaultValue;
}

std::string CJYX::readSetting(const char* key, const std::string& defaultValue) {
  auto it = config_.FindMember(key);
  if (it == config_.MemberEnd()) return defaultValue;
  const rapidjson::Value& v = it->value;
  if (v.IsString()) return std::string(v.GetString(), v.GetStringLength());
  return jyx::jsonText(v);
}

std::string CJYX::readSetting(const char* key, const char* defaultValue) {
  return readSetting(key, std::string(defaultValue != nullptr ? defaultValue : ""));
}

std::string CJYX::readFile(const std::string& path) { return jyx::CConfigLoader::readFile(path); }

bool CJYX::writeFile(const std::string& text, const std::string& path) {
  return jyx::CConfigLoader::writeFile(text, path);
}

void CJYX::setFetchTimeouts(double connectSeconds, double totalSeconds) {
  loader_.setFetchTimeouts(connectSeconds, totalSeconds);
}

bool CJYX::fetchUrl(const std::string& url, std::string* text, std::string* err) {
  return loader_.fetchUrl(url, text, err);
}

void CJYX::getFileContent(const std::string& pathOrUrl, TextCallback callback) {
  CAPIManager* api = CAPIManager::instance();
  if (pathOrUrl.compare(0, 4, "http") == 0) {
    std::string text;
    std::string err;
    if (!fetchUrl(pathOrUrl, &text, &err)) {
      api->print("cannot fetch %s: %s\n", pathOrUrl.c_str(), err.c_str());
      text.clear();
    }
    if (callback) {
      callback(text);
    } else {
      api->print("%s", text.c_str());
    }
    return;
  }
  std::string content;
  bool missing = false;
  std::string err;
  if (!jyx::CConfigLoader::loadLocalFile(pathOrUrl, &content, &missing, &err)) {
    if (missing) {
      sendHostEvent("jyx:get_file_content", pathOrUrl, std::move(callback));
      return;
    }
    // A directory, FIFO, device or oversized file: refused with its reason,
    // and the caller still gets its (empty) answer instead of waiting.
    api->print("%s\n", err.c_str());
    if (callback) callback(std::string());
    return;
  }
  if (!content.empty() && callback) callback(content);
}

bool CJYX::yamlToJson(const char* text, size_t length, rapidjson::Document* doc) {
  return jyx::yamlToJson(text, length, doc);
}

bool CJYX::yamlToJson(const char* text, size_t length, rapidjson::Value* value,
                      rapidjson::Document::AllocatorType& allocator) {
  return jyx::yamlToJson(text, length, value, allocator);
}

bool CJYX::yamlFileToJson(const std::string& path, rapidjson::Document* doc) {
  return jyx::CConfigLoader::yamlFileToJson(path, doc);
}

void CJYX::sendHostEvent(const char* name, const std::string& payload, TextCallback callback) {
  CAPIManager::instance()->sendEvent(name, payload.c_str(), [callback](CTask* task) {
    if (callback) callback(task->result()->text);
    return true;
  });
}

void CJYX::download(const std::string& url, const std::string& path, const std::string& event,
                    TextCallback callback) {
  rapidjson::Document args;
  args.SetObject();
  auto& a = args.GetAllocator();
  args.AddMember("url", rapidjson::Value(url.c_str(), a), a);
  args.AddMember("path", rapidjson::Value(path.c_str(), a), a);
  args.AddMember("event", rapidjson::Value(event.c_str(), a), a);
  sendHostEvent("jyx:download", jyx::jsonText(args), std::move(callback));
}

void CJYX::pickFile(bool open, TextCallback callback) {
  sendHostEvent("jyx:pick_file", open ? "open" : "save", std::move(callback));
}

void CJYX::getLog(TextCallback callback) { sendHostEvent("jyx:get_log", "", std::move(callback)); }
void CJYX::clearLog() { sendHostEvent("jyx:clear_log", "", nullptr); }

void CJYX::toClipboard(const std::string& text, TextCallback callback) {
  sendHostEvent("jyx:to_clipboard", text, std::move(callback));
}

void CJYX::fromClipboard(TextCallback callback) {
  sendHostEvent("jyx:from_clipboard", "", std::move(callback));
}

void CJYX::hostYamlToJson(const std::string& text, TextCallback callback) {
  sendHostEvent("jyx:yaml2json", text, std::move(callback));
}

void CJYX::hostJsonToYaml(const std::string& text, TextCallback callback) {
  sendHostEvent("jyx:json2yaml", text, std::move(callback));
}

std::string CJYX::addressListJson() {
  rapidjson::Document list;
  list.SetArray();
  auto& a = list.GetAllocator();
  bool hasIp = false;
  auto it = config_.FindMember("ip_list");
  if (it != config_.MemberEnd() && it->value.IsArray()) {
    for (const auto& entry : it->value.GetArray()) {
      if (!entry.IsString()) continue;
      if (ip_ == entry.GetString()) hasIp = true;
      rapidjson::Value item(rapidjson::kObjectType);
      item.AddMember("value", rapidjson::Value(entry.GetString(), a), a);
      item.AddMember("title", rapidjson::Value(entry.GetString(), a), a);
      list.PushBack(item, a);
    }
  }
  if (!hasIp) {
    rapidjson::Value item(rapidjson::kObjectType);
    item.AddMember("value", rapidjson::Value(ip_.c_str(), a), a);
    item.AddMember("title", rapidjson::Value(ip_.c_str(), a), a);
    list.GetArray().PushBack(item, a);
    // The current address leads the list.
    for (rapidjson::SizeType i = list.Size() - 1; i > 0; --i) list[i].Swap(list[i - 1]);
  }
  return jyx::jsonText(list);
}

void CJYX::publishAddressList() {
  publishValue("jyx:change_ip", "items", addressListJson());
  publishValue("jyx:change_ip", "value", ip_);
}

void CJYX::putIpFirstInList() {
  auto& a = config_.GetAllocator();
  auto it = config_.FindMember("ip_list");
  if (it == config_.MemberEnd() || !it->value.IsArray()) {
    if (it != config_.MemberEnd()) config_.RemoveMember(it);
    config_.AddMember("ip_list", rapidjson::Value(rapidjson::kArrayType), a);
    it = config_.FindMember("ip_list");
  }
  rapidjson::Value& list = it->value;
  for (auto entry = list.Begin(); entry != list.End();) {
    if (entry->IsString() && ip_ == entry->GetString()) {
      entry = list.Erase(entry);
    } else {
      ++entry;
    }
  }
  list.PushBack(rapidjson::Value(ip_.c_str(), a), a);
  for (rapidjson::SizeType i = list.Size() - 1; i > 0; --i) list[i].Swap(list[i - 1]);
  auto ipMember = config_.FindMember("ip");
  if (ipMember != config_.MemberEnd()) {
    ipMember->value.SetString(ip_.c_str(), a);
  } else {
    config_.AddMember("ip", rapidjson::Value(ip_.c_str(), a), a);
  }
}

void CJYX::connectToggle() {
  CAPIManager* api = CAPIManager::instance();
  if (!isDataManagerConnected()) {
    api->print("--connect:%s--\n", ip_.c_str());
    connectManagers();
    if (!isDataManagerConnected()) return;
    // The connect-button title is a presentation hook.
    if (!ipChanged_) wantConnected_ = true;
    ipChanged_ = false;
    putIpFirstInList();
    publishAddressList();
    wantConnected_ = true;
  } else {
    api->print("--disconnect--\n");
    disconnectManagers();
  }
}

bool CJYX::done(CTask* task) {
  finishTask(task);
  return true;
}

bool CJYX::onJyxFeature(CTask* task) {
  pageMode_ = 1;
  return done(task);
}

bool CJYX::onFlashTool(CTask* task) {
  pageMode_ = 2;
  return done(task);
}

bool CJYX::onFctTool(CTask* task) {
  pageMode_ = 4;
  return done(task);
}

bool CJYX::onStart(CTask* task) {
  const char* args = task->data()->text;
  if (strlen(args) > 2) {
    CAPIManager::instance()->print("config:%s\n", args);
    rapidjson::Document parsed;
    if (jyx::parseJson(args, &parsed) && parsed.IsObject()) {
      config_.CopyFrom(parsed, config_.GetAllocator());
    }
    ip_ = readSetting("ip", std::string());
    auto running = config_.FindMember("pathRunning");
    if (running != config_.MemberEnd() && running->value.IsString()) {
      appPath_ = running->value.GetString();
    }
    auto separator = config_.FindMember("pathSeparator");
    if (separator != config_.MemberEnd() && separator->value.IsString()) {
      pathSeparator_ = separator->value.GetString();
    }
    auto page = config_.FindMember("page");
    if (page != config_.MemberEnd() && page->value.IsObject()) {
      auto sub = page->value.FindMember("sub_page");
      if (sub != page->value.MemberEnd() && sub->value.IsUint()) {
        pageMode_ = sub->value.GetUint() & 7;
      }
    }
    if (ip_.empty()) ip_ = "127.0.0.1";
    if (!config_.HasMember("ip_list")) {
      auto& a = config_.GetAllocator();
      rapidjson::Value list(rapidjson::kArrayType);
      list.PushBack(rapidjson::Value(ip_.c_str(), a), a);
      config_.AddMember("ip_list", list, a);
    }
    start();
    publishAddressList();
  } else {
    start();
  }
  setManagersHost();
  started_ = true;
  return done(task);
}

bool CJYX::onStop(CTask* task) {
  stop();
  return done(task);
}

bool CJYX::onChangeIp(CTask* task) {
  std::string value;
  if (getArgument(task->data()->text, "value", &value) && value != ip_) {
    ip_ = value;
    ipChanged_ = true;
  }
  return done(task);
}

bool CJYX::onConnect(CTask* task) {
  connectToggle();
  return done(task);
}

bool CJYX::onDownloadProgress(CTask* task) {
  int percent = 0;
  if (getArgument(task->data()->text, "value", &percent)) {
    setStatus(std::to_string(percent));
  }
  return done(task);
}

bool CJYX::onOldJyx(CTask* task) {
  bool old = false;
  getArgument(task->data()->text, "value", &old);
  int generation = setSerialGeneration(old ? 1 : 2);
  CAPIManager::instance()->print("jyx is %s\n", generation == 2 ? "new jyx" : "old jyx");
  return done(task);
}

bool CJYX::onSwitchList(CTask* task) { return done(task); }

bool CJYX::onSwitchVisible(CTask* task, bool* field, const char* settingKey) {
  bool value = false;
  if (!getArgument(task->data()->text, "value", &value)) return done(task);
  *field = value;
  writeSetting(settingKey, value);
  saveSettings();
  return done(task);
}

bool CJYX::onClearDeviceList(CTask* task) {
  if (ip_.empty()) ip_ = "127.0.0.1";
  auto& a = config_.GetAllocator();
  rapidjson::Value list(rapidjson::kArrayType);
  list.PushBack(rapidjson::Value(ip_.c_str(), a), a);
  auto it = config_.FindMember("ip_list");
  if (it != config_.MemberEnd()) {
    it->value = list;
  } else {
    config_.AddMember("ip_list", list, a);
  }
  publishAddressList();
  return done(task);
}
