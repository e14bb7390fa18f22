// Loading the factory functional test's configuration: the configuration
// file (title, MAC requirement, UART settings, the list of case files) and
// the case files it lists, read from beside it.
#include <rapidjson/document.h>

#include <string>
#include <utility>

#include "common/api_manager.h"
#include "common/file_util.h"
#include "common/json_text.h"
#include "fcttool/fct_record.h"
#include "fcttool/fct_tool_manager.h"
#include "jyx/jyx.h"

namespace {

#define PRINT(...) CAPIManager::instance()->print(__VA_ARGS__)

// A configuration or case file is a few KiB; the cap only keeps a wrong
// path (a disk image, say) from being read into memory.
constexpr size_t kMaxConfigBytes = 16u << 20;
// Cases of one configuration. A run handles a case that fails at once (no
// commands, say) by recursion, so the count bounds the stack depth too.
constexpr size_t kMaxCases = 1000;

// The member as a string, or `fallback` when it is absent or not a string.
std::string memberString(const rapidjson::Value& object, const char* key,
                         const std::string& fallback = std::string()) {
  auto it = object.FindMember(key);
  if (it == object.MemberEnd() || !it->value.IsString()) return fallback;
  return std::string(it->value.GetString(), it->value.GetStringLength());
}

bool memberBool(const rapidjson::Value& object, const char* key, bool fallback) {
  auto it = object.FindMember(key);
  if (it == object.MemberEnd() || !it->value.IsBool()) return fallback;
  return it->value.GetBool();
}

int32_t memberInt(const rapidjson::Value& object, const char* key, int32_t fallback) {
  auto it = object.FindMember(key);
  if (it == object.MemberEnd() || !it->value.IsInt()) return fallback;
  return it->value.GetInt();
}

CFCTCommand readCommand(const rapidjson::Value& object) {
  CFCTCommand c;
  c.cmd = memberString(object, "cmd");
  c.okKey = memberString(object, "ok_key");
  c.failKey = memberString(object, "fail_key");
  c.infoKey = memberString(object, "info_key");
  c.timeout = memberInt(object, "timeout", c.timeout);
  c.manualConfirm = memberString(object, "manual_confirm");
  c.manualTitle = memberString(object, "manual_title");
  c.manualOk = memberString(object, "manual_ok");
  c.manualFail = memberString(object, "manual_fail");
  auto scale = object.FindMember("manual_scale");
  if (scale != object.MemberEnd() && scale->value.IsNumber()) {
    c.manualScale = static_cast<float>(scale->value.GetDouble());
  }
  c.message = memberString(object, "message");
  c.delay = memberInt(object, "delay", c.delay);
  return c;
}

// A case of a case file; its commands are the objects of the entry's
// "commands". The shade tells whether the file sits at an even or an odd
// position of the configuration's file list.
CFCTCase readCase(const rapidjson::Value& entry, const std::string& group, bool fileEnabled,
                  bool evenFile) {
  CFCTCase c;
  c.group = group;
  c.name = memberString(entry, "name");
  c.color = evenFile ? "0x3FFFE0B2" : "0x3FBA68C8";
  c.enable = fileEnabled && memberBool(entry, "enable", false);
  auto commands = entry.FindMember("commands");
  if (commands != entry.MemberEnd() && commands->value.IsArray()) {
    for (const rapidjson::Value& command : commands->value.GetArray()) {
      if (command.IsObject()) c.commands.push_back(readCommand(command));
    }
  }
  return c;
}

// Reads a configuration or case file: a regular file, at most
// kMaxConfigBytes, byte-order mark dropped. A failure prints its reason and
// "open file (<path>) FAIL." and gives "".
std::string readConfigText(const std::string& path) {
  std::string text, err;
  if (!jyx::readRegularFile(path, kMaxConfigBytes, &text, &err)) {
    PRINT("%s\n", err.c_str());
    PRINT("open file (%s) FAIL.\n", path.c_str());
    return std::string();
  }
  return fct::stripBom(std::move(text));
}

}  // namespace

bool CFCTToolManager::loadConfig() {
  cases_.clear();
  refreshPorts();
  if (configFile_.empty()) return false;
  PRINT("loadConfig:%s\n", configFile_.c_str());
  findConfigDir();
  rapidjson::Document config;
  bool loaded = readConfigDocument(&config);
  if (loaded) {
    readConfigSettings(config);
    loadCaseFiles(config);
  }
  caseIndex_ = static_cast<int32_t>(cases_.size());
  for (CFCTCase& c : cases_) {
    c.status = fct::kNotTested;
    c.info.clear();
  }
  return loaded;
}

// The case files and the record are found beside the configuration, so the
// directory keeps its trailing separator. A path whose only separator is its
// first character leaves the directory as it was.
void CFCTToolManager::findConfigDir() {
  CJYX* jyx = controller_;
  std::string separator = jyx->pathSeparator().empty() ? "/" : jyx->pathSeparator();
  size_t slash = configFile_.rfind(separator);
  if (slash == std::string::npos) {
    configDir_.clear();
  } else if (slash > 0) {
    configDir_ = configFile_.substr(0, slash + separator.size());
  }
}

// A file that cannot be read is forgotten (configFile_ cleared); one that
// can becomes the setting "fct_config" even when it turns out not to be a
// JSON object. True when *config holds an object.
bool CFCTToolManager::readConfigDocument(rapidjson::Document* config) {
  std::string text = readConfigText(configFile_);
  if (text.empty()) {
    configFile_.clear();
    return false;
  }
  CJYX* jyx = controller_;
  if (jyx->readSetting("fct_config", "") != configFile_) {
    jyx->writeSetting("fct_config", configFile_);
    jyx->saveSettings();
  }
  jyx::JsonError parseError{"another value", 0};
  if (!jyx::parseJson(text, config, &parseError) || !config->IsObject()) {
    PRINT("%s: not a JSON object (%s at offset %zu)\n", configFile_.c_str(),
          parseError.reason.c_str(), parseError.offset);
    return false;
  }
  return true;
}

// Members that are absent or of another type leave port and baud rate as
// they were; the title and the MAC requirement always take the file's word.
void CFCTToolManager::readConfigSettings(const rapidjson::Value& config) {
  title_ = memberString(config, "name");
  macRequired_ = memberBool(config, "mac_address", false);
  auto uart = config.FindMember("uart");
  if (uart == config.MemberEnd() || !uart->value.IsObject()) return;
  auto portMember = uart->value.FindMember("port");
  if (portMember != uart->value.MemberEnd() && portMember->value.IsString()) {
    port_ = portMember->value.GetString();
  }
  auto baud = uart->value.FindMember("baudrate");
  if (baud != uart->value.MemberEnd() && baud->value.IsUint()) {
    baudRate_ = baud->value.GetUint();
  }
}

void CFCTToolManager::loadCaseFiles(const rapidjson::Value& config) {
  auto files = config.FindMember("files");
  if (files == config.MemberEnd() || !files->value.IsArray()) return;
  const rapidjson::Value& list = files->value;
  for (rapidjson::SizeType i = 0; i < list.Size(); ++i) {
    if (list[i].IsObject()) loadCaseFile(list[i], i % 2 == 0);
  }
}

// A case file that cannot be read or has no "cases" array adds nothing.
// Once kMaxCases cases are loaded, each later file is still read but adds
// nothing more.
void CFCTToolManager::loadCaseFile(const rapidjson::Value& file, bool evenFile) {
  std::string group = memberString(file, "name");
  bool fileEnabled = memberBool(file, "enable", false);
  std::string path = configDir_ + memberString(file, "config");
  std::string caseText = readConfigText(path);
  if (caseText.empty()) return;
  rapidjson::Document caseDoc;
  bool parsed = jyx::parseJson(caseText, &caseDoc);
  auto caseList = caseDoc.IsObject() ? caseDoc.FindMember("cases") : caseDoc.MemberEnd();
  if (!parsed || !caseDoc.IsObject() || caseList == caseDoc.MemberEnd() ||
      !caseList->value.IsArray()) {
    PRINT("%s: no \"cases\" array, no cases taken\n", path.c_str());
    return;
  }
  for (const rapidjson::Value& entry : caseList->value.GetArray()) {
    if (!entry.IsObject()) continue;
    if (cases_.size() >= kMaxCases) {
      PRINT("%s: more than %zu cases, the rest are left out\n", path.c_str(), kMaxCases);
      break;
    }
    cases_.push_back(readCase(entry, group, fileEnabled, evenFile));
  }
}
