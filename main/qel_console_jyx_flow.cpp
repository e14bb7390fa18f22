// The controller console's network flow: connect the log and device-control
// managers to the controller, then start the one action the options chose.
// Every step after the start runs in manager callbacks on the main thread;
// the callback that ends the action finishes the console.
#include <string>

#include "common/api_manager.h"
#include "jyx/data_manager.h"
#include "jyx/jyx.h"
#include "main/qel_console_jyx.h"

void CQelConsoleJYX::networkFlow() {
  CAPIManager* api = CAPIManager::instance();
  if (address_.empty()) {
    api->print("ip address must exist\n");
    markFinished();
    return;
  }
  CJYX* jyx = CJYX::instance();
  jyx->setIp(address_);
  jyx->connectManagers();
  CJYXDataManager* data = CJYXDataManager::instance();
  if (!data->isConnected()) {
    api->print("socket connect %s fail\n", address_.c_str());
    finish();
    return;
  }

  if (switchUart_ >= 0) {
    // Select the UART, then restart forwarding (off, on) so that the log
    // port carries the new UART from its first line.
    auto fail = [this] {
      CAPIManager::instance()->print("switchUart FAIL\n");
      finish();
    };
    bool started = data->switchLogUart(switchUart_, [this, data, fail](CPackage* r1) {
      if (!r1) return fail();
      bool sent = data->enableUart(0, [this, data, fail](CPackage* r2) {
        if (!r2) return fail();
        bool sentOn = data->enableUart(1, [fail](CPackage* r3) {
          if (!r3) return fail();
          // Streaming goes on until the user stops the program.
          CAPIManager::instance()->print("switchUart OK\n");
        });
        if (!sentOn) markFinished();
      });
      if (!sent) markFinished();
    });
    if (!started) markFinished();
    return;
  }

  if (switchUart_ == -1) {
    data->enableUart(0, [this](CPackage* reply) {
      CAPIManager::instance()->print(reply ? "uartOff OK\n" : "uartOff FAIL\n");
      if (!reply) finish();
    });
    markFinished();
    return;
  }

  if (powerAction_ >= 1 && powerAction_ <= 6) {
    using Operation = bool (CJYXDataManager::*)(PackageCallback);
    static const Operation kActions[] = {
        &CJYXDataManager::powerOnTargetDevice,    &CJYXDataManager::powerOffTargetDevice,
        &CJYXDataManager::powerResetTargetDevice, &CJYXDataManager::powerWakeupTargetDevice,
        &CJYXDataManager::enterFastbootMode,      &CJYXDataManager::exitFastbootMode,
    };
    bool started = (data->*kActions[powerAction_ - 1])([this](CPackage*) { finish(); });
    if (!started) finish();
    return;
  }

  if (!sendText_.empty()) {
    bool started = data->enableStringCmd(1, [this, data](CPackage* r1) {
      if (!r1) {
        CAPIManager::instance()->print("enableStringCmd fail.\n");
        finish();
        return;
      }
      sendText_ = CJYXDataManager::expandNewlines(sendText_);
      int sent = data->sendStringCmd(sendText_, [this](CPackage* r2) {
        if (!r2) {
          CAPIManager::instance()->print("sendStringCmd (%s) fail.\n", sendText_.c_str());
          finish();
          return;
        }
        CAPIManager::instance()->print("sendStringCmd (%s) OK\n", sendText_.c_str());
        // A second for the target to answer on the log port before the end.
        CAPIManager::instance()->startAsyncCall([this] { finish(); }, 1.0);
      });
      if (sent < 1) markFinished();
    });
    if (!started) markFinished();
    return;
  }

  if (getIo_ > 0) {
    int num = getIo_;
    bool sent = data->gpio(0, num, 0, [this, num](CPackage* reply) {
      if (reply) {
        CAPIManager::instance()->print("GPIO_GET %d is %d.\n", num,
                                       (int)reply->payloadU8(jyx::kGpioLevelOffset));
      } else {
        CAPIManager::instance()->print("GPIO_GET io(%d) fail.\n", num);
      }
      finish();
    });
    if (!sent) markFinished();
    return;
  }

  if (setIo_ > 0) {
    int num = setIo_;
    uint8_t level = param_ == "1" ? 1 : 0;
    bool sent = data->gpio(1, num, level, [this, num](CPackage* reply) {
      CAPIManager::instance()->print(
          reply ? "GPIO_SET io(%d) to %s.\n" : "GPIO_SET io(%d) to %s fail.\n", num,
          param_.c_str());
      finish();
    });
    if (!sent) markFinished();
    return;
  }

  if (readSpi_) {
    start_read_spi();
    return;
  }

  if (postcode_) {
    data->postCode([this](CPackage* reply) {
      CAPIManager::instance()->print(reply ? "\n" : "get post code fail\n");
      finish();
    });
    return;
  }

  if (monitor_) {
    start_monitor();
    return;
  }

  if (!image_.empty()) {
    if (checkSpi_) {
      start_check_spi();
    } else {
      start_flash();
    }
    return;
  }

  if (spiRegisterOp_.empty()) {
    api->print("IP address: %s\n", address_.c_str());
    finish();
    return;
  }
  runSpiRegisterOp();
}
