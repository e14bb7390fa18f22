// The "flash_tool:" task table: how a front end drives the flash tool.
#include <rapidjson/document.h>

#include <cstring>
#include <string>

#include "common/api_manager.h"
#include "common/json_text.h"
#include "fastboot/fastboot_manager.h"
#include "jyx/device/data_manager.h"
#include "jyx/jyx.h"

namespace {

#define PRINT(...) CAPIManager::instance()->print(__VA_ARGS__)

const char* text(CTask* task) { return task->data() != nullptr ? task->data()->text : ""; }

// The string member "tag" of the task's arguments; false when there is none.
bool readTag(CTask* task, std::string* tag) {
  rapidjson::Document doc;
  if (!jyx::parseJson(text(task), &doc) || !doc.IsObject()) return false;
  auto it = doc.FindMember("tag");
  if (it == doc.MemberEnd() || !it->value.IsString()) return false;
  tag->assign(it->value.GetString(), it->value.GetStringLength());
  return true;
}

}  // namespace

// Tasks that nobody finishes go back to the pool as soon as their body has
// run instead of being lost with every call; the front end sees the effects
// through the presentation hooks.
void CFastbootManager::addTask(const char* action, std::function<void(CTask*)> body) {
  addHandler(routeName_ + action, [body](CTask* task) {
    body(task);
    CAPIManager::instance()->releaseTask(task);
    return true;
  });
}

void CFastbootManager::addTaskHandlers() {
  registerCommandTasks();
  registerPlanTasks();
  registerImageTasks();
  registerButtonTasks();
  registerDeviceTasks();
}

void CFastbootManager::registerCommandTasks() {
  CJYX* jyx = controller_;
  addTask(":fastboot_command_content", [this](CTask* task) {
    if (checkBusy()) return;
    std::string value;
    if (getArgument(text(task), "value", &value)) command_ = value;
  });
  // Finished when the command has run; a refused task goes back to the pool.
  addHandler(routeName_ + ":fastboot_command", [this](CTask* task) {
    if (checkBusy()) {
      CAPIManager::instance()->releaseTask(task);
      return false;
    }
    markBusy(true);
    execute(command_, [this, task](bool) {
      finishTask(task);
      markBusy(false);
    });
    return false;
  });
  addTask(":load", [this, jyx](CTask*) {
    if (checkBusy()) return;
    jyx->pickFile(true, [this](const std::string& path) {
      if (path.empty()) return;
      configFile_ = path;
      loadConfig();
    });
  });
  addTask(":sector_size", [this, jyx](CTask* task) {
    std::string value;
    if (!getArgument(text(task), "value", &value)) return;
    sectorSize_ = value;
    jyx->publishValue("flash_tool:sector_size", "value", value);
  });
  addTask(":flash_ddr", [this, jyx](CTask* task) {
    bool value = false;
    if (!getArgument(text(task), "value", &value)) return;
    backdoor_ = value;
    jyx->publishValue("flash_tool:flash_ddr", "value", value ? "true" : "false");
  });
}

void CFastbootManager::registerPlanTasks() {
  CJYX* jyx = controller_;
  addTask(":flash_all", [this, jyx](CTask*) {
    if (checkBusy()) return;
    markBusy(true);
    doFlashAll([this, jyx](bool ok) {
      PRINT("flash all %s\n", ok ? "OK" : "FAIL");
      markBusy(false);
      jyx->disconnectManagers();
    });
  });
  addTask(":flash_nor", [this, jyx](CTask*) {
    if (checkBusy()) return;
    markBusy(true);
    doFlashNor([this, jyx](bool ok) {
      PRINT("flash nor %s\n", ok ? "OK" : "FAIL");
      markBusy(false);
      jyx->disconnectManagers();
    });
  });
  addTask(":flash_nvme", [this](CTask*) {
    if (checkBusy()) return;
    markBusy(true);
    doFlashNVME([this](bool ok) {
      PRINT("flash partition %s\n", ok ? "Over" : "FAIL");
      markBusy(false);
    });
  });
}

void CFastbootManager::registerImageTasks() {
  CJYX* jyx = controller_;
  // Finished once the file choice is answered; a refused task goes back to
  // the pool.
  addHandler(routeName_ + ":fastboot_image_select_file", [this, jyx](CTask* task) {
    if (checkBusy()) {
      CAPIManager::instance()->releaseTask(task);
      return true;
    }
    markBusy(true);
    std::string tag;
    // Without a tag busy stays set; the watchdog releases it.
    if (!readTag(task, &tag)) {
      CAPIManager::instance()->releaseTask(task);
      return true;
    }
    if (tag.empty()) {
      markBusy(false);
      CAPIManager::instance()->releaseTask(task);
      return true;
    }
    jyx->pickFile(true, [this, task, tag](const std::string& path) {
      if (!path.empty()) {
        for (fastboot::FlashEntry& entry : flashList_) {
          if (entry.label == tag) {
            entry.nameEx = path;
            break;
          }
        }
      }
      finishTask(task);
      markBusy(false);
    });
    return true;
  });
  addTask(":fastboot_image_flash_file", [this](CTask* task) {
    if (checkBusy()) return;
    markBusy(true);
    watchdogSeconds_ = kPlanWatchdog;
    std::string tag;
    if (!readTag(task, &tag)) return;
    if (tag.empty()) {
      PRINT("No partition to flash.\n");
      markBusy(false);
    } else if (tag.compare(0, 9, "flash gpt") == 0) {
      makeGPT([this](bool) { markBusy(false); });
    } else {
      execute(tag, [this, tag](bool ok) {
        PRINT("%s %s\n", tag.c_str(), ok ? "OK" : "FAIL");
        markBusy(false);
      });
    }
  });
}

void CFastbootManager::registerButtonTasks() {
  CJYX* jyx = controller_;
  addTask(":fastboot_image_erase", [this, jyx](CTask* task) {
    if (backdoor_) {
      jyx->showDialog(nullptr, 1, "Tip", "ddr mode does not support erase.");
      return;
    }
    if (checkBusy()) return;
    markBusy(true);
    watchdogSeconds_ = kPlanWatchdog;
    std::string tag;
    if (!readTag(task, &tag)) return;
    if (tag.empty()) {
      PRINT("No partition to erase.\n");
      markBusy(false);
    } else if (tag == "erase bootloader") {
      markBusy(false);
      jyx->showDialog(nullptr, 1, "Tip", "bootloader does not support erase.");
    } else {
      jyx->showDialog(
          [this, tag](int answer) {
            if (answer != 1) {
              markBusy(false);
              return;
            }
            execute(tag, [this, tag](bool ok) {
              PRINT("%s %s\n", tag.c_str(), ok ? "OK" : "FAIL");
              markBusy(false);
            });
          },
          3, "Note", "erase is an irreversible behavior.\nReally erase?\n");
    }
  });
  addTask(":fastboot_command_button", [this](CTask* task) {
    if (checkBusy()) return;
    markBusy(true);
    std::string tag;
    if (!readTag(task, &tag)) return;
    if (tag.empty()) {
      markBusy(false);
      return;
    }
    execute(tag, [this, tag](bool ok) {
      PRINT("%s %s\n", tag.c_str(), ok ? "OK" : "FAIL");
      markBusy(false);
    });
  });
}

void CFastbootManager::registerDeviceTasks() {
  CJYX* jyx = controller_;
  addTask(":fastboot_dump_gpt", [this, jyx](CTask*) {
    jyx->pickFile(true, [this](const std::string& path) {
      if (!path.empty()) dumpGPT(path, "");
    });
  });
  addTask(":fastboot_reset_device", [this, jyx](CTask*) {
    CJYXDataManager* data = data_;
    if (jyx->wantConnected()) {
      data->powerResetTargetDevice([](CPackage*) { PRINT("reset Over.\n"); });
      return;
    }
    AddressReply reply = [jyx, data](const char* address) {
      if (address == nullptr || strlen(address) <= 7) {
        PRINT("reset device - getIP fail.\n");
        return;
      }
      PRINT("JYX ip address: %s\n", address);
      jyx->setIp(address);
      jyx->connectManagers();
      if (!jyx->isDataManagerConnected()) {
        PRINT("reset device - socket connect to %s fail.\n", address);
        return;
      }
      data->powerResetTargetDevice([jyx](CPackage*) {
        PRINT("reset Over.\n");
        jyx->disconnectManagers();
      });
    };
    if (!controllerAddress_.empty()) {
      reply(controllerAddress_.c_str());
    } else if (addressLookup_) {
      addressLookup_(reply);
    } else {
      reply(nullptr);
    }
  });
}
