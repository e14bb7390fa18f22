#include "jyx/device/data_manager.h"

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>

#include "common/api_manager.h"
#include "jyx/protocol/package_format.h"
#include "jyx/protocol/package_manager.h"

using std::placeholders::_1;

namespace {

void deliver(const PackageCallback& callback, CPackage* reply) {
  if (callback) callback(reply);
}

int clampUart(int num) { return (num < 0 || num > 3) ? 3 : num; }

}  // namespace

CJYXDataManager::CJYXDataManager(CJYXServices* services, const char* host, int port, bool routed)
    : CJYXTaskManager("data", host, port, routed), services_(services) {
  parser_ = new CPackageParser(this, channel_->receiveFifo());
  tracker_.setLastActivity(CAPIManager::instance()->time());
  std::string display = "JYX " + services_->nameText();
  if (routed) {
    services_->setNameText(display);
  }
  displayName_ = display;
  registerTasks();
}

CJYXDataManager::~CJYXDataManager() {
  delete parser_;
  parser_ = nullptr;
}

void CJYXDataManager::channelReplaced() {
  delete parser_;
  parser_ = new CPackageParser(this, channel_->receiveFifo());
}

void CJYXDataManager::drainReceived(double now) { parser_->onUpdate(now); }

double CJYXDataManager::clockNow() { return CAPIManager::instance()->time(); }

void CJYXDataManager::start() {
  setLogUartNum(std::atoi(services_->readSetting("log_uart_num", "3").c_str()));
  spiStartConfig();
  refreshUi();
}

void CJYXDataManager::stop() { disconnect(); }

void CJYXDataManager::setLogUartNum(int num) { logUartNum_ = clampUart(num); }

void CJYXDataManager::setUartForwardingHandler(std::function<void(uint8_t)> handler) {
  uartForwardingHandler_ = std::move(handler);
}

void CJYXDataManager::setPowerReportHandler(std::function<void(CPackage*)> handler) {
  powerReportHandler_ = std::move(handler);
}

void CJYXDataManager::setPowerBlockProvider(
    std::function<void(uint32_t mask[3], uint8_t icAddrs[24])> provider) {
  powerBlockProvider_ = std::move(provider);
}

// ---------------------------------------------------------------------------
// Request tracker

void CJYXDataManager::sendPackage(CPackage* request, PackageCallback onReply) {
  tracker_.track(request, std::move(onReply));
  // A request that did not go out is failed later by the time-out.
  request->send(channel_);
  tracker_.setLastActivity(clockNow());
}

void CJYXDataManager::onPackage(CPackage* package) {
  tracker_.received(clockNow());
  if (packetTrace_) {
    CAPIManager::instance()->print(
        "onPackage:frameNum(%d),cmdType(%s),dataType(%s),checksum(0x%x),dataLen(%d)%s\n",
        (int)package->frameNum(), package->cmdTypeName(), package->dataTypeName(),
        (unsigned)package->checksumField(), (int)package->length(), package->dataPreview());
  }
  if (package->cmdType() == POWER_CTRL && package->dataType() == POWER_DATA) {
    if (powerReportHandler_) powerReportHandler_(package);
    if (powerReportTap_) powerReportTap_(package);
    return;
  }
  if (package->dataType() == ACK_FAIL) {
    CAPIManager::instance()->print("CJYXDataManager::onPackage, cmdType(%s) ACK_FAIL.\n",
                                   package->cmdTypeName());
  }
  PackageCallback callback = tracker_.match(package);
  if (callback) callback(package);
}

void CJYXDataManager::onUpdate(double now) {
  CJYXTaskManager::onUpdate(now);
  bool open = channel_ && channel_->isOpen();
  bool ready = services_->wantConnected();

  // One request a pump at most: its callback may change the list.
  PackageCallback callback = tracker_.expireOne(now, open && ready);
  if (callback) callback(nullptr);

  // The callback may have closed the channel; look again.
  if (channel_ && channel_->isOpen()) {
    if (now - tracker_.lastActivity() > kHeartbeatInterval) {
      CPackage* beat = CPackageManager::instance()->getPackage();
      beat->makeHeartBeat(nextFrameNum());
      sendPackage(beat, PackageCallback());
      tracker_.setLastActivity(now);
    }
  } else {
    loopFlash_ = false;
    spiBusy_ = false;
    tracker_.setLastActivity(now);
  }
  if (spiRefresh_) {
    spiRefresh_ = false;
    if (spiRefreshHook_) spiRefreshHook_();
  }
}

void CJYXDataManager::connect() {
  if (channel_ && !channel_->isOpen()) {
    // The whole list is detached first: a handler may send (it then finds
    // the channel closed) or reconnect without touching the requests failed
    // here.
    for (PackageCallback& callback : tracker_.takeAll()) {
      if (callback) callback(nullptr);
    }
  }
  CJYXTaskManager::connect();
}

// ---------------------------------------------------------------------------
// Controller operations

bool CJYXDataManager::channelOpen(const char* operation) {
  if (channel_ && channel_->isOpen()) return true;
  CAPIManager::instance()->print("jyx.data(%s): channel is not valid.\n", operation);
  return false;
}

void CJYXDataManager::wait(double seconds, std::function<void()> function) {
  CAPIManager::instance()->startAsyncCall(std::move(function), seconds);
}

bool CJYXDataManager::gpio(uint8_t operation, uint16_t num, uint8_t level,
                           PackageCallback callback) {
  if (!channelOpen("gpio")) return false;
  CPackage* request = CPackageManager::instance()->getPackage();
  request->makeGpioCtrl(nextFrameNum(), operation, level, num);
  sendPackage(request, [this, operation, num, callback](CPackage* reply) {
    if (reply && operation == 1 && reply->isAck()) {
      gpioLevels_[num] = reply->payloadU8(jyx::kGpioLevelOffset);
    }
    deliver(callback, reply);
  });
  return true;
}

void CJYXDataManager::gpioStep(uint16_t num, uint8_t level, const char* failFormat,
                               PackageCallback done) {
  bool sent = gpio(1, num, level, [num, level, failFormat, done](CPackage* reply) {
    if (!reply) CAPIManager::instance()->print(failFormat, (int)num, (int)level);
    deliver(done, reply);
  });
  if (!sent) deliver(done, nullptr);
}

void CJYXDataManager::runSteps(std::shared_ptr<const std::vector<GpioStep>> steps, size_t index,
                               PackageCallback callback) {
  const GpioStep& step = (*steps)[index];
  gpioStep(step.num, step.level, step.failFormat, [this, steps, index, callback](CPackage* r) {
    if (!r || index + 1 == steps->size()) return deliver(callback, r);
    wait((*steps)[index].waitAfter,
         [this, steps, index, callback] { runSteps(steps, index + 1, callback); });
  });
}

bool CJYXDataManager::startSteps(const char* operation, std::vector<GpioStep> steps,
                                 PackageCallback callback) {
  if (!channelOpen(operation)) {
    deliver(callback, nullptr);
    return false;
  }
  runSteps(std::make_shared<const std::vector<GpioStep>>(std::move(steps)), 0, std::move(callback));
  return true;
}

namespace {
const char* const kPwrOffFail = "PWR_OFF: FAIL (num:%d, level:%d)\n";
const char* const kPwrBtnFail = "PWR_BTN: FAIL (num:%d, level:%d)\n";
const char* const kPwrBtn2Fail = "PWR_BTN2: FAIL (num:%d, level:%d)\n";
const char* const kPowerOffFail = "powerOff: FAIL (num:%d, level:%d)\n";
const char* const kPowerResetFail = "powerReset: FAIL (num:%d, level:%d)\n";
}  // namespace

bool CJYXDataManager::powerOnTargetDevice(PackageCallback callback) {
  // PWR_OFF high, then a PWR_BTN pulse high-low-high, 0.5 s between steps.
  return startSteps("powerOnTargetDevice",
                    {{GPIO_PWR_OFF, 1, kPwrOffFail, 0.5},
                     {GPIO_PWR_BTN, 1, kPwrBtnFail, 0.5},
                     {GPIO_PWR_BTN, 0, kPwrBtnFail, 0.5},
                     {GPIO_PWR_BTN, 1, kPwrBtnFail, 0}},
                    std::move(callback));
}

bool CJYXDataManager::powerOffTargetDevice(PackageCallback callback) {
  return startSteps("powerOffTargetDevice", {{GPIO_PWR_OFF, 0, kPowerOffFail, 0}},
                    std::move(callback));
}

bool CJYXDataManager::powerResetTargetDevice(PackageCallback callback) {
  return startSteps(
      "powerResetTargetDevice",
      {{GPIO_WARM_RST, 0, kPowerResetFail, 0.2}, {GPIO_WARM_RST, 1, kPowerResetFail, 0}},
      std::move(callback));
}

bool CJYXDataManager::powerWakeupTargetDevice(PackageCallback callback) {
  return startSteps("powerWakeupTargetDevice",
                    {{GPIO_PWR_BTN, 0, kPwrBtnFail, 0.2}, {GPIO_PWR_BTN, 1, kPwrBtnFail, 0}},
                    std::move(callback));
}

bool CJYXDataManager::fastbootSequence(const char* operation, uint8_t strap,
                                       PackageCallback callback) {
  if (!channelOpen(operation)) {
    deliver(callback, nullptr);
    return false;
  }
  // Power off (whatever its outcome), set the POWER_BTN2 strap the target
  // samples at power-on (low: fastboot), power on.
  powerOffTargetDevice([this, strap, callback](CPackage*) {
    wait(0.5, [this, strap, callback] {
      gpioStep(GPIO_POWER_BTN2, strap, kPwrBtn2Fail, [this, callback](CPackage* reply) {
        if (!reply) return deliver(callback, nullptr);
        wait(0.5, [this, callback] { powerOnTargetDevice(callback); });
      });
    });
  });
  return true;
}

bool CJYXDataManager::enterFastbootMode(PackageCallback callback) {
  return fastbootSequence("enterFastbootMode", 0, std::move(callback));
}

bool CJYXDataManager::exitFastbootMode(PackageCallback callback) {
  return fastbootSequence("exitFastbootMode", 1, std::move(callback));
}

bool CJYXDataManager::switchLogUart(uint8_t num, PackageCallback callback) {
  setLogUartNum(num);
  logUartSwitched_ = true;
  int sel1 = (logUartNum_ >> 1) & 1;
  int sel0 = logUartNum_ & 1;
  bool sent = gpio(1, GPIO_UART_SEL1, sel1, [this, sel1, sel0, callback](CPackage* r1) {
    if (!r1) {
      CAPIManager::instance()->print("UART_SEL1 to %d fail.\n", sel1);
      notice("UART_SEL1 fail.");
      return deliver(callback, nullptr);
    }
    bool sent0 = gpio(1, GPIO_UART_SEL0, sel0, [this, sel0, callback](CPackage* r2) {
      if (!r2) {
        CAPIManager::instance()->print("UART_SEL0 to %d fail.\n", sel0);
        notice("UART_SEL0 fail.");
        return deliver(callback, nullptr);
      }
      deliver(callback, r2);
    });
    if (!sent0) deliver(callback, nullptr);
  });
  if (!sent) deliver(callback, nullptr);
  return true;
}

bool CJYXDataManager::enableUart(uint8_t enable, PackageCallback callback) {
  if (!channelOpen("enableUart")) return false;
  CPackage* request = CPackageManager::instance()->getPackage();
  request->makeUartCtrl(nextFrameNum(), enable);
  sendPackage(request, [this, callback](CPackage* reply) {
    if (reply) {
      uartForwarding_ = reply->payloadU8(jyx::kUartEnableOffset) != 0 ? 1 : 0;
      if (uartForwardingHandler_) uartForwardingHandler_(uartForwarding_);
    }
    deliver(callback, reply);
  });
  return true;
}

bool CJYXDataManager::enablePower(uint8_t enable, const uint32_t mask[3], const uint8_t icAddrs[24],
                                  PackageCallback callback) {
  if (!channelOpen("enablePower")) return false;
  CPackage* request = CPackageManager::instance()->getPackage();
  request->makePowerCtrl(nextFrameNum(), enable, mask, icAddrs);
  sendPackage(request, [this, enable, callback](CPackage* reply) {
    if (reply) powerEnabled_ = enable != 0;
    deliver(callback, reply);
  });
  return true;
}

bool CJYXDataManager::enablePower(uint8_t enable, PackageCallback callback) {
  uint32_t mask[3] = {0, 0, 0};
  uint8_t icAddrs[24] = {0};
  if (powerBlockProvider_) powerBlockProvider_(mask, icAddrs);
  return enablePower(enable, mask, icAddrs, std::move(callback));
}

bool CJYXDataManager::postCode(PackageCallback callback) {
  if (!channelOpen("getPostCode")) {
    deliver(callback, nullptr);
    return false;
  }
  postCodes_.clear();
  CPackage* request = CPackageManager::instance()->getPackage();
  request->makePostCtrl(nextFrameNum());
  sendPackage(request, [this, callback](CPackage* reply) {
    if (reply) {
      uint32_t n = reply->payloadU32(jyx::kPostCountOffset);
      CAPIManager::instance()->print("--get post code: len(%d)\n", (int)n);
      // Two bytes per code; a count larger than the payload is cut to it.
      uint32_t held = reply->payloadLength();
      held = held > jyx::kPostCodesOffset ? held - jyx::kPostCodesOffset : 0;
      if (n > held) n = held;
      char code[8];
      for (uint32_t i = 0; i + 1 < n; i += 2) {
        snprintf(code, sizeof(code), "0x%.2x%.2x", reply->payloadU8(jyx::kPostCodesOffset + i),
                 reply->payloadU8(jyx::kPostCodesOffset + i + 1));
        if (!postCodes_.empty()) postCodes_ += ' ';
        postCodes_ += code;
      }
      CAPIManager::instance()->print("%s", postCodes_.c_str());
    }
    deliver(callback, reply);
  });
  return true;
}

int CJYXDataManager::sendStringCmd(const std::string& text, PackageCallback callback) {
  if (text.empty()) {
    CAPIManager::instance()->print("jyx.data(sendStringCmd): the length is zero.\n");
    deliver(callback, nullptr);
    return 0;
  }
  if (!channelOpen("sendStringCmd")) {
    deliver(callback, nullptr);
    return 0;
  }
  CPackage* request = CPackageManager::instance()->getPackage();
  request->makeStringCmd(nextFrameNum(), text.c_str());
  sendPackage(request, std::move(callback));
  return 1;
}

bool CJYXDataManager::sendHeartBeat(PackageCallback callback) {
  if (!channelOpen("sendHeartBeat")) return false;
  CPackage* request = CPackageManager::instance()->getPackage();
  request->makeHeartBeat(nextFrameNum());
  sendPackage(request, std::move(callback));
  return true;
}

std::string CJYXDataManager::expandNewlines(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'n') {
      out += '\n';
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

bool CJYXDataManager::enableStringCmd(uint8_t enable, PackageCallback callback) {
  CPackage* fresh = CPackageManager::instance()->getPackage();
  deliver(callback, fresh);
  CPackageManager::instance()->releasePackage(fresh);
  return true;
}
