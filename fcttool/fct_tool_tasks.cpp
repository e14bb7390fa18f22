// The "fct_tool:" task table: how a front end drives the FCT runner.
#include <cstdint>
#include <functional>
#include <string>

#include "common/api_manager.h"
#include "common/number_text.h"
#include "common/serial_port.h"
#include "fcttool/fct_tool_manager.h"
#include "jyx/jyx.h"

#define PRINT(...) CAPIManager::instance()->print(__VA_ARGS__)

// No handler answers its caller: the front end sees the effects through the
// presentation hooks. Nobody will finish these tasks, so they go back to the
// pool as soon as their body has run instead of being lost with every call.
void CFCTToolManager::addTask(const char* action, std::function<void(const char*)> body) {
  addHandler(routeName_ + action, [body](CTask* task) {
    body(task->data() != nullptr ? task->data()->text : "");
    CAPIManager::instance()->releaseTask(task);
    return true;
  });
}

void CFCTToolManager::addTaskHandlers() {
  registerSetupTasks();
  registerRunTasks();
  registerCommandTasks();
}

void CFCTToolManager::registerSetupTasks() {
  addTask(":load", [this](const char*) {
    if (checkBusy()) return;
    controller_->pickFile(true, [this](const std::string& path) {
      if (path.empty()) return;
      configFile_ = path;
      loadConfig();
    });
  });
  addTask(":refresh", [this](const char*) { loadConfig(); });
  addTask(":select_uart", [this](const char* args) {
    std::string value;
    if (!getArgument(args, "value", &value)) return;
    port_ = value;
    channel_->setPath(port_);
    controller_->publishValue("fct_tool:select_uart", "value", port_);
  });
  addTask(":uart_baud", [this](const char* args) {
    std::string value;
    if (!getArgument(args, "value", &value)) return;
    uint64_t rate = parseNumberText(value.c_str());
    baudRate_ = rate < 1 ? 1500000 : static_cast<uint32_t>(rate);
    channel_->setBaudRate(static_cast<int>(baudRate_));
    controller_->publishValue("fct_tool:uart_baud", "value", value);
  });
  addTask(":open", [this](const char*) {
    if (checkBusy()) return;
    CJYX* jyx = controller_;
    busy_ = true;
    if (isUartOpen()) {
      PRINT("stop.\n");
      closeUart();
    } else if (port_ == "none") {
      busy_ = false;
      jyx->showDialog(nullptr, 1, "Error", "no UART can open.");
      return;
    } else {
      PRINT("start.\n");
      openUart();
    }
    bool open = isUartOpen();
    jyx->publishValue("FCTTOOL_UART_TITLE", "content", open ? "关闭" : "打开");
    if (open) {
      jyx->writeSetting("fct_uart_port", port_);
      jyx->saveSettings();
    }
    busy_ = false;
  });
}

void CFCTToolManager::registerRunTasks() {
  addTask(":start", [this](const char*) { startFullRun(nullptr); });
  addTask(":stop", [this](const char*) {
    running_ = false;
    caseIndex_ = static_cast<int32_t>(cases_.size());
  });
  addTask(":scan_code", [this](const char* args) {
    std::string value;
    if (!busy_ && getArgument(args, "value", &value)) serialNumber_ = value;
  });
  addTask(":gmac", [this](const char* args) {
    std::string value;
    if (!busy_ && getArgument(args, "value", &value)) macAddress_ = value;
  });
  addTask(":enable_case", [this](const char* args) {
    if (checkBusy()) return;
    busy_ = true;
    bool value = false;
    char tag[256] = {0};
    getArgument(args, "value", &value, tag);
    int32_t index = findCase(tag);
    if (index != kNoCase) cases_[static_cast<size_t>(index)].enable = value;
    busy_ = false;
  });
  addTask(":test_case", [this](const char* args) {
    bool value = false;
    char tag[256] = {0};
    getArgument(args, "value", &value, tag);
    startSingleCase(tag, nullptr);
  });
}

void CFCTToolManager::registerCommandTasks() {
  addTask(":command_content", [this](const char* args) {
    if (checkBusy()) return;
    std::string value;
    if (getArgument(args, "value", &value)) command_ = value;
  });
  addTask(":command", [this](const char*) {
    std::string text = command_;
    execute(text, [text](const char* result) { PRINT("%s %s\n", text.c_str(), result); });
  });
}
