// The "jyx.data:" task table (everything except the SPI tasks) and the UI
// values the data manager publishes to the controller object.
#include <cstdlib>
#include <functional>
#include <string>

#include "common/api_manager.h"
#include "jyx/device/data_manager.h"

using std::placeholders::_1;

namespace {

// A task's "value" argument, given as a text (atoi) or as a number.
bool readValue(CTask* task, int* out) {
  const char* text = task->data() ? task->data()->text : "";
  std::string value;
  if (CTaskManager::getArgument(text, "value", &value)) {
    *out = std::atoi(value.c_str());
    return true;
  }
  return CTaskManager::getArgument(text, "value", out);
}

}  // namespace

void CJYXDataManager::addTask(const char* action, std::function<bool(CTask*)> handler) {
  addHandler(name_ + ":" + action, std::move(handler));
}

void CJYXDataManager::registerTasks() {
  registerSPITasks();
  auto add = [this](const char* action, bool (CJYXDataManager::*method)(CTask*)) {
    addTask(action, std::bind(method, this, _1));
  };
  add("beat_heart", &CJYXDataManager::taskBeatHeart);
  add("get_postcode", &CJYXDataManager::taskGetPostcode);
  add("select_uart", &CJYXDataManager::taskSelectUart);
  add("uart_on", &CJYXDataManager::taskUartOn);
  add("uart_off", &CJYXDataManager::taskUartOff);
  add("change_set_gpio_num", &CJYXDataManager::taskChangeSetGpioNum);
  add("change_set_gpio_level", &CJYXDataManager::taskChangeSetGpioLevel);
  add("change_get_gpio_num", &CJYXDataManager::taskChangeGetGpioNum);
  add("set_gpio", &CJYXDataManager::taskSetGpio);
  add("get_gpio", &CJYXDataManager::taskGetGpio);
  add("power_ctrl", &CJYXDataManager::taskPowerCtrl);
  add("uart_ctrl", &CJYXDataManager::taskUartCtrl);
  struct Sequence {
    const char* action;
    bool (CJYXDataManager::*operation)(PackageCallback);
    const char* label;
  };
  static const Sequence kSequences[] = {
      {"power_on", &CJYXDataManager::powerOnTargetDevice, "powerOn"},
      {"power_off", &CJYXDataManager::powerOffTargetDevice, "powerOff"},
      {"power_reset", &CJYXDataManager::powerResetTargetDevice, "powerReset"},
      {"power_wakeup", &CJYXDataManager::powerWakeupTargetDevice, "powerWakeup"},
      {"enter_fastboot", &CJYXDataManager::enterFastbootMode, "enter fastboot mode"},
      {"exit_fastboot", &CJYXDataManager::exitFastbootMode, "exit fastboot mode"},
  };
  for (const Sequence& s : kSequences) {
    addTask(s.action,
            [this, s](CTask* task) { return taskPowerSequence(task, s.operation, s.label); });
  }
  add("enable_string_cmd", &CJYXDataManager::taskEnableStringCmd);
  add("string_cmd_content", &CJYXDataManager::taskStringCmdContent);
  add("string_cmd_send", &CJYXDataManager::taskStringCmdSend);
  add("device_boot", &CJYXDataManager::taskDeviceBoot);
  struct Text {
    const char* action;
    const char* text;
  };
  static const Text kTexts[] = {
      {"device_esc", "\x1b"}, {"device_up", "\x1b[A"},     {"device_down", "\x1b[B"},
      {"device_enter", "\n"}, {"device_ip", "ifconfig\n"},
  };
  for (const Text& t : kTexts) {
    std::string text = t.text;
    addTask(t.action, [this, text](CTask* task) { return taskSendText(task, text); });
  }
}

// ---------------------------------------------------------------------------
// UI values (presentation hooks of the controller object)

void CJYXDataManager::publish(const char* event, const char* key, const std::string& value) {
  services_->publishValue(event, key, value);
}

void CJYXDataManager::publish(const char* event, const char* key, int value) {
  publish(event, key, std::to_string(value));
}

void CJYXDataManager::notice(const std::string& text) { services_->showNotice(text); }

void CJYXDataManager::refreshUi() {
  publish("jyx.data:select_uart", "value", logUartNum_);
  publish("jyx.data:change_set_gpio_num", "value", setGpioNum_);
  publish("jyx.data:change_set_gpio_level", "value", setGpioLevel_);
  publish("jyx.data:change_get_gpio_num", "value", getGpioNum_);
  publish("GPIO_GET_LEVEL", "content", getGpioLevel_);
  publish("POST_CODE", "content", postCodes_);
  publish("jyx.data:string_cmd_content", "value", stringCmd_);
}

// ---------------------------------------------------------------------------
// Tasks

bool CJYXDataManager::taskBeatHeart(CTask* task) {
  bool sent = sendHeartBeat([this, task](CPackage*) { finishTask(task); });
  if (!sent) finishTask(task);
  return true;
}

bool CJYXDataManager::taskGetPostcode(CTask* task) {
  postCode([this, task](CPackage* reply) {
    if (reply) publish("POST_CODE", "content", postCodes_);
    finishTask(task);
  });
  return true;
}

bool CJYXDataManager::taskSelectUart(CTask* task) {
  int value = 0;
  readValue(task, &value);
  setLogUartNum(value);
  services_->writeSetting("log_uart_num", std::to_string(logUartNum_));
  refreshUi();
  if (isConnected()) switchLogUart(logUartNum_, PackageCallback());
  finishTask(task);
  return true;
}

bool CJYXDataManager::taskUartOn(CTask* task) {
  auto fail = [this, task] {
    CAPIManager::instance()->print("uartOn FAIL\n");
    finishTask(task);
  };
  switchLogUart(logUartNum_, [this, task, fail](CPackage*) {
    bool sent = enableUart(0, [this, task, fail](CPackage* off) {
      if (!off) return fail();
      bool sentOn = enableUart(1, [this, task, fail](CPackage* on) {
        if (!on) return fail();
        CAPIManager::instance()->print("uartOn OK\n");
        finishTask(task);
      });
      if (!sentOn) fail();
    });
    if (!sent) fail();
  });
  return true;
}

bool CJYXDataManager::taskUartOff(CTask* task) {
  bool sent = enableUart(0, [this, task](CPackage* reply) {
    CAPIManager::instance()->print(reply ? "uartOff OK\n" : "uartOff FAIL\n");
    finishTask(task);
  });
  if (!sent) {
    CAPIManager::instance()->print("uartOff FAIL\n");
    finishTask(task);
  }
  return true;
}

bool CJYXDataManager::taskChangeSetGpioNum(CTask* task) {
  int value = 0;
  readValue(task, &value);
  setGpioNum_ = value;
  if (value < 0) {
    services_->showDialog(nullptr, 1, "Error", "change set gpio num error.\n");
  } else {
    refreshUi();
  }
  finishTask(task);
  return true;
}

bool CJYXDataManager::taskChangeSetGpioLevel(CTask* task) {
  int value = 0;
  readValue(task, &value);
  setGpioLevel_ = value;
  refreshUi();
  finishTask(task);
  return true;
}

bool CJYXDataManager::taskChangeGetGpioNum(CTask* task) {
  int value = 0;
  readValue(task, &value);
  getGpioNum_ = value;
  if (value < 0) {
    services_->showDialog(nullptr, 1, "Error", "change get gpio num error.\n");
  } else {
    refreshUi();
  }
  finishTask(task);
  return true;
}

bool CJYXDataManager::taskSetGpio(CTask* task) {
  bool sent = gpio(1, setGpioNum_, setGpioLevel_, [this, task](CPackage* reply) {
    if (reply) {
      auto found = gpioLevels_.find(setGpioNum_);
      int level = found == gpioLevels_.end() ? 0 : found->second;
      char text[96];
      snprintf(text, sizeof(text), "{\"gpioNum\":%d, \"level\":%d}", setGpioNum_, level);
      setResultText(task, text);
      CAPIManager::instance()->print("setGpio: OK (num:%d, level:%d)\n", setGpioNum_,
                                     setGpioLevel_);
      snprintf(text, sizeof(text), "setGpio: OK (num:%d, level:%d)", setGpioNum_, setGpioLevel_);
      notice(text);
      refreshUi();
    }
    finishTask(task);
  });
  if (!sent) finishTask(task);
  return true;
}

bool CJYXDataManager::taskGetGpio(CTask* task) {
  bool sent = gpio(0, getGpioNum_, 0, [this, task](CPackage* reply) {
    if (reply) {
      getGpioLevel_ = reply->payloadU8(jyx::kGpioLevelOffset);
      refreshUi();
      CAPIManager::instance()->print("getGpio: result(num:%d, level:%d)\n", getGpioNum_,
                                     getGpioLevel_);
      char text[96];
      snprintf(text, sizeof(text), "getGpio: result(num:%d, level:%d)", getGpioNum_, getGpioLevel_);
      notice(text);
    }
    finishTask(task);
  });
  if (!sent) finishTask(task);
  return true;
}

bool CJYXDataManager::taskPowerCtrl(CTask* task) {
  int enable = 0;
  getArgument(task->data() ? task->data()->text : "", "enable", &enable);
  bool sent = enablePower(enable != 0, [this, task](CPackage* reply) {
    if (reply) {
      char text[32];
      snprintf(text, sizeof(text), "{\"enable\":%d}", powerEnabled_ ? 1 : 0);
      setResultText(task, text);
    }
    finishTask(task);
  });
  if (!sent) finishTask(task);
  return true;
}

bool CJYXDataManager::taskUartCtrl(CTask* task) {
  int enable = 0;
  getArgument(task->data() ? task->data()->text : "", "enable", &enable);
  bool sent = enableUart(enable != 0, [this, task](CPackage* reply) {
    if (reply) {
      char text[32];
      snprintf(text, sizeof(text), "{\"enable\":%d}", (int)uartForwarding_);
      setResultText(task, text);
    }
    finishTask(task);
  });
  if (!sent) finishTask(task);
  return true;
}

bool CJYXDataManager::taskPowerSequence(CTask* task,
                                        bool (CJYXDataManager::*operation)(PackageCallback),
                                        const char* label) {
  std::string name = label;
  (this->*operation)([this, task, name](CPackage* reply) {
    if (reply) {
      CAPIManager::instance()->print("%s: OK\n", name.c_str());
      notice(name + ": OK");
    } else {
      CAPIManager::instance()->print("%s: FAIL\n", name.c_str());
    }
    finishTask(task);
  });
  return true;
}

bool CJYXDataManager::taskEnableStringCmd(CTask* task) {
  enableStringCmd(1, [this](CPackage*) {
    CAPIManager::instance()->print("stringCmdEnable: OK\n");
    notice("stringCmdEnable: OK");
  });
  finishTask(task);
  return true;
}

bool CJYXDataManager::taskStringCmdContent(CTask* task) {
  std::string value;
  getArgument(task->data() ? task->data()->text : "", "value", &value);
  stringCmd_ = value;
  publish("jyx.data:string_cmd_content", "value", stringCmd_);
  finishTask(task);
  return true;
}

bool CJYXDataManager::taskStringCmdSend(CTask* task) {
  std::string text = CJYXDataManager::expandNewlines(stringCmd_);
  sendStringCmd(text, [this, task, text](CPackage* reply) {
    if (reply) {
      CAPIManager::instance()->print("sendStringCmd: (%s)\n", text.c_str());
      notice("sendStringCmd: OK");
    } else {
      CAPIManager::instance()->print("sendStringCmd: FAIL (%s)\n", text.c_str());
    }
    finishTask(task);
  });
  return true;
}

bool CJYXDataManager::taskDeviceBoot(CTask* task) {
  sendStringCmd("boot\n", [this, task](CPackage* reply) {
    if (!reply) {
      CAPIManager::instance()->print("deviceBOOT: FAIL\n");
      finishTask(task);
      return;
    }
    CAPIManager::instance()->print("deviceBOOT: OK\n");
    notice("deviceBOOT: OK");
    finishTask(task);
    // The boot output comes on the UEFI UART; follow it there.
    wait(0.2, [this] {
      setLogUartNum(0);
      refreshUi();
      switchLogUart(0, [](CPackage* r) {
        CAPIManager::instance()->print(r ? "switchUart to %d OK\n" : "switchUart to %d FAIL\n", 0);
      });
    });
  });
  return true;
}

bool CJYXDataManager::taskSendText(CTask* task, const std::string& text) {
  sendStringCmd(text, [this, task](CPackage*) { finishTask(task); });
  return true;
}
