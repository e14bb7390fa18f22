#include "fastboot/fastboot_manager.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "common/api_manager.h"
#include "common/exec_channel.h"
#include "common/file_util.h"
#include "common/string_format.h"
#include "common/terminal_filter.h"
#include "jyx/device/data_manager.h"
#include "jyx/jyx.h"

using fastboot::shellQuote;

namespace {

#define PRINT(...) CAPIManager::instance()->print(__VA_ARGS__)

// A command prints a few lines; one without a line end is still cut after
// this many bytes so that it cannot fill the receive FIFO.
constexpr int32_t kLineLimit = 64 * 1024;
// After the SPI programming mode was left, the controller settles this long
// (seconds) before programming starts again.
constexpr double kSpiSettleSeconds = 1.0;
// An address shorter than "1.2.3.4" plus one character is no address.
constexpr size_t kMinAddressLength = 7;

const char kBusyText[] = "System is busy, try again after a moment.";

}  // namespace

CFastbootManager* CFastbootManager::instance() {
  static CFastbootManager* manager =
      new CFastbootManager(CJYX::instance(), CJYXDataManager::instance(), true);
  return manager;
}

CFastbootManager::CFastbootManager(CJYX* controller, CJYXDataManager* data, bool routed)
    : controller_(controller), data_(data) {
  setName(routeName_);
  channel_ = new CExecChannel(this);
  parser_ = new CStringParser(this, channel_->receiveFifo());
  parser_->setLineLimit(kLineLimit);
  if (routed) {
    CAPIManager::instance()->registerTaskManager(routeName_, this);
    addTaskHandlers();
  }
}

CFastbootManager::~CFastbootManager() {
  delete parser_;
  parser_ = nullptr;
  // Waits for a command still running on a pool thread before the flags it
  // sets go away.
  channel_->shutdown();
  delete channel_;
  channel_ = nullptr;
}

const std::string& CFastbootManager::name() {
  displayName_ = "FLASH TOOL " + controller_->version();
  return displayName_;
}

std::string CFastbootManager::commandPrefix(const std::string& path) {
  return jyx::stringFormat("timeout -k 10 %d ", kCommandSeconds) + shellQuote(path);
}

double CFastbootManager::pumpTime() { return CAPIManager::instance()->time(); }

void CFastbootManager::start() {
  CJYX* jyx = controller_;
  toolDir_ = jyx->appPath() + jyx->pathSeparator() + "fb" + jyx->pathSeparator();
  fastbootPath_ = toolDir_ + "fastboot";
  bpttoolPath_ = toolDir_ + "bpttool";
  channel_->setPrefix(commandPrefix(fastbootPath_));
  configFile_ = jyx->readSetting("flashtool_config", "");
  commandsJson_ = "[]";
  flashList_.clear();
  eraseList_.clear();
}

int CFastbootManager::onMessage(CHANNEL_MSG_TYPE type, int code, const char* message) {
  if (type == CHANNEL_MSG_ERROR) {
    PRINT("error-%s-manager: %s\n", routeName_.c_str(), message != nullptr ? message : "");
  }
  return 0;
}

double CFastbootManager::nextDeadline(double now) {
  // The send job sets commandEnded_ before it wakes the loop, so a pump
  // always follows the end of a command.
  if (pendingDone_ && commandEnded_.load()) return now;
  return busy_ ? lastActivity_ + watchdogSeconds_ : kNoDeadline;
}

void CFastbootManager::onUpdate(double now) {
  if (now - lastActivity_ > watchdogSeconds_) {
    if (busy_) markBusy(false);
    lastActivity_ = now;
  }
  // The channel pushed every output byte before it reported the end, so
  // once the parser has passed on the complete lines and the remainder, the
  // command's whole output has been seen.
  if (pendingDone_ && commandEnded_.load()) {
    parser_->onUpdate(now);
    parser_->flush();
    commandEnded_ = false;
    Done done = std::move(pendingDone_);
    pendingDone_ = nullptr;
    done(commandResult_.load());
  }
}

void CFastbootManager::onString(const char* line) {
  PRINT("%s", terminalText(line).c_str());
  fastboot::interpretLine(currentCommand_, line, &sectorSize_, &backdoor_);
}

void CFastbootManager::execute(const std::string& command, Done done) {
  PRINT("%s\n", command.c_str());
  currentCommand_ = command;
  if (pendingDone_) {
    // Plans run one command at a time; a second one would lose the first's
    // completion.
    PRINT("%s: another command is still running\n", command.c_str());
    if (done) done(false);
    return;
  }
  commandEnded_ = false;
  pendingDone_ = done ? std::move(done) : Done([](bool) {});
  channel_->sendBuffer(command.c_str(), [this](bool ok) {
    commandResult_ = ok;
    commandEnded_ = true;
  });
}

void CFastbootManager::markBusy(bool busy) {
  busy_ = busy;
  controller_->publishValue("PAGE_MASK", "visible", busy ? "true" : "false");
}

bool CFastbootManager::checkBusy() {
  if (busy_) {
    PRINT("%s\n", kBusyText);
    controller_->showDialog(nullptr, 1, "Tip", kBusyText);
    return true;
  }
  watchdogSeconds_ = kIdleWatchdog;
  lastActivity_ = pumpTime();
  return false;
}

void CFastbootManager::refreshWatchdog() { lastActivity_ = pumpTime(); }

void CFastbootManager::loadConfig() {
  commandsJson_ = "[]";
  flashList_.clear();
  eraseList_.clear();
  if (configFile_.empty()) return;
  CJYX* jyx = controller_;
  const std::string separator = jyx->pathSeparator().empty() ? "/" : jyx->pathSeparator();
  size_t last = configFile_.rfind(separator);
  if (last == std::string::npos) {
    toolDir_.clear();
  } else if (last != 0 || configFile_.find(separator, 1) != std::string::npos) {
    toolDir_ = configFile_.substr(0, last + separator.size());
  }
  std::string path = configFile_;
  // The answer may come during a later pump (a file the host is asked for),
  // so the flag outlives this call.
  auto answered = std::make_shared<bool>(false);
  jyx->getFileContent(path, [this, path, answered](const std::string& content) {
    *answered = true;
    if (content.empty()) {
      PRINT("flash tool config (%s) cannot be read.\n", path.c_str());
      configFile_.clear();
      return;
    }
    if (controller_->readSetting("flashtool_config", "") != configFile_) {
      controller_->writeSetting("flashtool_config", configFile_);
      controller_->saveSettings();
    }
    applyConfig(content);
  });
  // An existing but empty file gives no answer at all; say why nothing
  // was loaded.
  uint64_t size = 0;
  std::string err;
  if (!*answered && jyx::checkRegularFile(path, CJYX::kMaxLoadedFileBytes, &size, &err) &&
      size == 0) {
    PRINT("flash tool config (%s) is empty.\n", path.c_str());
  }
}

void CFastbootManager::applyConfig(const std::string& content) {
  fastboot::FlashLists lists;
  std::string err;
  if (!fastboot::parseFlashConfig(content, toolDir_, &lists, &err)) {
    PRINT("flash tool config (%s) refused: %s\n", configFile_.c_str(), err.c_str());
    return;
  }
  platform_ = lists.platform;
  commandsJson_ = lists.commandsJson;
  if (!lists.gptImage.empty()) gptImage_ = lists.gptImage;
  flashList_ = std::move(lists.flash);
  eraseList_ = std::move(lists.erase);
  PRINT("GPT platform: %s\n", platform_.c_str());
}

// --- Plan steps ---

void CFastbootManager::fetchSectorSize(std::function<void(const char*)> done) {
  execute("getvar block-size", [this, done](bool ok) {
    if (!ok) PRINT("fetchSectorSize fail.\n");
    done(sectorSize_.c_str());
  });
}

void CFastbootManager::fetchBackdoorMode(std::function<void(bool)> done) {
  execute("getvar backdoor", [this, done](bool ok) {
    if (!ok) PRINT("fetchBackdoorMode fail.\n");
    done(backdoor_);
  });
}

void CFastbootManager::makeGPT(Done done) {
  fetchSectorSize([this, done](const char*) {
    channel_->setPrefix(commandPrefix(bpttoolPath_));
    std::string table = "make_table --input " + shellQuote(configFile_) + " --output_gpt " +
                        shellQuote(gptImage_) + " --output_json " +
                        shellQuote(toolDir_ + "gpt.bpt") + " --disk_vector_size " +
                        shellQuote(sectorSize_);
    execute(table, [this, done](bool) {
      channel_->setPrefix(commandPrefix(fastbootPath_));
      execute("flash gpt " + shellQuote(gptImage_), [this, done](bool) {
        channel_->setPrefix(commandPrefix(fastbootPath_));
        done(true);
      });
    });
  });
}

void CFastbootManager::erasePartition(Done done) {
  if (backdoor_ || eraseIndex_ >= eraseList_.size()) {
    done(true);
    return;
  }
  std::string command = "erase " + shellQuote(eraseList_[eraseIndex_]);
  execute(command, [this, command, done](bool ok) {
    if (!ok) {
      PRINT("%s FAIL.\n", command.c_str());
      done(false);
      return;
    }
    eraseIndex_ += 1;
    refreshWatchdog();
    erasePartition(done);
  });
}

void CFastbootManager::flashNVME(Done done) {
  while (flashIndex_ < flashList_.size() && flashList_[flashIndex_].name.empty()) {
    flashIndex_ += 1;
    refreshWatchdog();
  }
  if (flashIndex_ >= flashList_.size()) {
    done(true);
    return;
  }
  const fastboot::FlashEntry& entry = flashList_[flashIndex_];
  std::string command = "flash " + shellQuote(entry.label) + " " + shellQuote(entry.name);
  execute(command, [this, command, done](bool ok) {
    if (!ok) {
      PRINT("%s FAIL.\n", command.c_str());
      done(false);
      return;
    }
    flashIndex_ += 1;
    refreshWatchdog();
    flashNVME(done);
  });
}

void CFastbootManager::flashNor(Done done) {
  if (flashList_.empty()) {
    PRINT("flashNor - no config.\n");
    done(false);
    return;
  }
  if (flashList_[0].label != "bootloader") {
    PRINT("flashNor - no bootloader config.\n");
    done(false);
    return;
  }
  AddressReply reply = [this, done](const char* address) {
    if (address == nullptr || strlen(address) <= kMinAddressLength) {
      PRINT("flashNor - getIP fail.\n");
      done(false);
      return;
    }
    flashNorAt(address, done);
  };
  if (!controllerAddress_.empty()) {
    reply(controllerAddress_.c_str());
  } else if (addressLookup_) {
    addressLookup_(reply);
  } else {
    PRINT("no way to discover the controller's address in this build; give it with --ip\n");
    reply(nullptr);
  }
}

void CFastbootManager::flashNorAt(const std::string& address, Done done) {
  PRINT("JYX ip address: %s\n", address.c_str());
  CJYX* jyx = controller_;
  jyx->setIp(address);
  jyx->connectManagers();
  if (!jyx->isDataManagerConnected()) {
    PRINT("flashNor - socket connect to %s fail.\n", address.c_str());
    done(false);
    return;
  }
  std::string image = flashList_[0].name;
  data_->setImagePath(image);
  data_->stopSPI([this, image, done]() {
    CAPIManager::instance()->startAsyncCall(
        [this, image, done]() {
          data_->startFlashSPI([this, image, done](int progress) {
            if (progress < 0) {
              for (const std::string& reason : data_->spiFailReasons()) {
                PRINT("\n%s", reason.c_str());
              }
              PRINT("\nflashing image(%s) fail\n", image.c_str());
              done(false);
            } else if (progress > 100) {
              PRINT("\nflashing image(%s) OK\n", image.c_str());
              done(true);
            } else {
              refreshWatchdog();
            }
          });
        },
        kSpiSettleSeconds);
  });
}

void CFastbootManager::afterResetWait(Done next) {
  CAPIManager::instance()->startAsyncCall([next]() { next(true); }, kResetSettleSeconds);
}

void CFastbootManager::doReboot(Done done) {
  if (platform_ == "linux" && !backdoor_) {
    bool sent = data_->powerResetTargetDevice([this, done](CPackage*) { afterResetWait(done); });
    if (!sent) done(false);
    return;
  }
  execute("oem qelboot", [done](bool) { done(true); });
}

void CFastbootManager::flashAll(Done done) {
  flashNor([this, done](bool ok) {
    if (!ok) {
      done(false);
      return;
    }
    eraseIndex_ = 0;
    refreshWatchdog();
    PRINT("reboot ...\n");
    // A sequence that fails part way calls back with null after printing
    // its reason; the target may then not be in fastboot mode, and the
    // fastboot steps below say so in their own output.
    bool sent = data_->powerResetTargetDevice([this, done](CPackage*) {
      afterResetWait([this, done](bool) { flashAllAfterReset(done); });
    });
    if (!sent) done(false);
  });
}

void CFastbootManager::flashAllAfterReset(Done done) {
  fetchBackdoorMode([this, done](bool) {
    makeGPT([this, done](bool) {
      erasePartition([this, done](bool ok) {
        if (!ok) {
          done(false);
          return;
        }
        flashIndex_ = 2;
        eraseIndex_ = 0;
        refreshWatchdog();
        flashNVME([this, done](bool flashed) {
          if (!flashed) {
            done(false);
            return;
          }
          PRINT("reboot again...\n");
          doReboot(done);
        });
      });
    });
  });
}

void CFastbootManager::doFlashAll(Done done) {
  watchdogSeconds_ = kPlanWatchdog;
  flashAll(std::move(done));
}

void CFastbootManager::doFlashNor(Done done) {
  watchdogSeconds_ = kPlanWatchdog;
  flashNor(std::move(done));
}

void CFastbootManager::doFlashNVME(Done done) {
  fetchBackdoorMode([this, done](bool) {
    watchdogSeconds_ = kPlanWatchdog;
    eraseIndex_ = 0;
    makeGPT([this, done](bool) {
      erasePartition([this, done](bool ok) {
        if (!ok) {
          PRINT("erase partitions FAIL\n");
          done(false);
          return;
        }
        flashIndex_ = 2;
        eraseIndex_ = 0;
        flashNVME([this, done](bool) { doReboot(done); });
      });
    });
  });
}

void CFastbootManager::dumpGPT(const std::string& path, const std::string& partition) {
  std::string data, err;
  // Only the first 128 KiB matter; a larger disk image is fine, a FIFO or
  // device is refused with its reason.
  uint64_t size = 0;
  bool readable = jyx::checkRegularFile(path, UINT64_MAX >> 1, &size, &err);
  if (readable) {
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) {
      err = path + ": " + jyx::errnoText(errno);
      readable = false;
    } else {
      data.resize(fastboot::kGptDumpBytes);
      size_t n = fread(&data[0], 1, data.size(), f);
      if (ferror(f)) {
        err = path + ": " + jyx::errnoText(errno);
        readable = false;
      }
      data.resize(n);
      fclose(f);
    }
  }
  if (!readable) PRINT("%s\n", err.c_str());
  std::string text = fastboot::gptDumpText(
      path, readable ? reinterpret_cast<const uint8_t*>(data.data()) : nullptr,
      readable ? data.size() : 0, partition);
  PRINT("%s", text.c_str());
}
