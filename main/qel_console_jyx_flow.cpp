// The controller console's network flow: connect the log and device-control
// managers to the controller, then start the one action the options chose.
// Every step after the start runs in manager callbacks on the main thread;
// the callback that ends the action finishes the console.
#include <string>

#include "common/api_manager.h"
#include "jyx/device/data_manager.h"
#include "jyx/jyx.h"
#include "main/qel_console_jyx.h"

void CQelConsoleJYX::networkFlow() {
  CAPIManager* api = CAPIManager::instance();
  if (address_.empty()) {
    api->print("ip address must exist\n");
    markFailed();
    return;
  }
  CJYX* jyx = CJYX::instance();
  jyx->setIp(address_);
  useServerIfRunning();
  jyx->connectManagers();
  CJYXDataManager* data = CJYXDataManager::instance();
  if (!data->isConnected()) {
    api->print("socket connect %s fail\n", address_.c_str());
    fail();
    return;
  }
  runChosenFlow(data);
}

// The actions the options can choose, in the order of precedence: the first
// whose option was given runs, and it alone ends the console.
void CQelConsoleJYX::runChosenFlow(CJYXDataManager* data) {
  struct Choice {
    bool (*chosen)(const CQelConsoleJYX& c);
    void (CQelConsoleJYX::*run)(CJYXDataManager* data);
  };
  static const Choice kChoices[] = {
      {[](const CQelConsoleJYX& c) { return c.switchUart_ >= 0; }, &CQelConsoleJYX::flowSwitchUart},
      {[](const CQelConsoleJYX& c) { return c.switchUart_ == -1; }, &CQelConsoleJYX::flowUartOff},
      {[](const CQelConsoleJYX& c) { return c.powerAction_ >= 1 && c.powerAction_ <= 6; },
       &CQelConsoleJYX::flowPowerAction},
      {[](const CQelConsoleJYX& c) { return !c.sendText_.empty(); }, &CQelConsoleJYX::flowSendText},
      {[](const CQelConsoleJYX& c) { return c.getIo_ > 0; }, &CQelConsoleJYX::flowGetIo},
      {[](const CQelConsoleJYX& c) { return c.setIo_ > 0; }, &CQelConsoleJYX::flowSetIo},
      {[](const CQelConsoleJYX& c) { return c.readSpi_; }, &CQelConsoleJYX::flowReadSpi},
      {[](const CQelConsoleJYX& c) { return c.postcode_; }, &CQelConsoleJYX::flowPostcode},
      {[](const CQelConsoleJYX& c) { return c.monitor_; }, &CQelConsoleJYX::flowMonitor},
      {[](const CQelConsoleJYX& c) { return !c.image_.empty(); }, &CQelConsoleJYX::flowImage},
      {[](const CQelConsoleJYX& c) { return !c.spiRegisterOp_.empty(); },
       &CQelConsoleJYX::flowSpiRegister},
  };
  for (const Choice& choice : kChoices) {
    if (!choice.chosen(*this)) continue;
    (this->*choice.run)(data);
    return;
  }
  // No action: the connection itself was the question.
  CAPIManager::instance()->print("IP address: %s\n", address_.c_str());
  finish();
}

void CQelConsoleJYX::flowSwitchUart(CJYXDataManager* data) {
  // Select the UART, then restart forwarding (off, on) so that the log
  // port carries the new UART from its first line.
  auto switchFailed = [this] {
    CAPIManager::instance()->print("switchUart FAIL\n");
    fail();
  };
  bool started = data->switchLogUart(switchUart_, [this, data, switchFailed](CPackage* r1) {
    if (!r1) return switchFailed();
    bool sent = data->enableUart(0, [this, data, switchFailed](CPackage* r2) {
      if (!r2) return switchFailed();
      bool sentOn = data->enableUart(1, [switchFailed](CPackage* r3) {
        if (!r3) return switchFailed();
        // Streaming goes on until the user stops the program.
        CAPIManager::instance()->print("switchUart OK\n");
      });
      if (!sentOn) markFailed();
    });
    if (!sent) markFailed();
  });
  if (!started) markFailed();
}

void CQelConsoleJYX::flowUartOff(CJYXDataManager* data) {
  data->enableUart(0, [this](CPackage* reply) {
    CAPIManager::instance()->print(reply ? "uartOff OK\n" : "uartOff FAIL\n");
    if (!reply) fail();
  });
  markFinished();
}

void CQelConsoleJYX::flowPowerAction(CJYXDataManager* data) {
  using Operation = bool (CJYXDataManager::*)(PackageCallback);
  static const Operation kActions[] = {
      &CJYXDataManager::powerOnTargetDevice,    &CJYXDataManager::powerOffTargetDevice,
      &CJYXDataManager::powerResetTargetDevice, &CJYXDataManager::powerWakeupTargetDevice,
      &CJYXDataManager::enterFastbootMode,      &CJYXDataManager::exitFastbootMode,
  };
  // The sequence goes on past a refused step, so the last reply alone
  // cannot vouch for it: a null or refused one counts as a failure.
  bool started = (data->*kActions[powerAction_ - 1])([this](CPackage* reply) {
    if (reply == nullptr || reply->dataType() == ACK_FAIL) {
      fail();
    } else {
      finish();
    }
  });
  if (!started) fail();
}

void CQelConsoleJYX::flowSendText(CJYXDataManager* data) {
  bool started = data->enableStringCmd(1, [this, data](CPackage* r1) {
    if (!r1) {
      CAPIManager::instance()->print("enableStringCmd fail.\n");
      fail();
      return;
    }
    sendText_ = CJYXDataManager::expandNewlines(sendText_);
    int sent = data->sendStringCmd(sendText_, [this](CPackage* r2) {
      if (!r2) {
        CAPIManager::instance()->print("sendStringCmd (%s) fail.\n", sendText_.c_str());
        fail();
        return;
      }
      CAPIManager::instance()->print("sendStringCmd (%s) OK\n", sendText_.c_str());
      // A second for the target to answer on the log port before the end.
      CAPIManager::instance()->startAsyncCall([this] { finish(); }, 1.0);
    });
    if (sent < 1) markFailed();
  });
  if (!started) markFailed();
}

void CQelConsoleJYX::flowGetIo(CJYXDataManager* data) {
  int num = getIo_;
  bool sent = data->gpio(0, num, 0, [this, num](CPackage* reply) {
    // A refused read (ACK_FAIL) carries no level.
    if (reply && reply->dataType() != ACK_FAIL) {
      CAPIManager::instance()->print("GPIO_GET %d is %d.\n", num,
                                     (int)reply->payloadU8(jyx::kGpioLevelOffset));
      finish();
    } else {
      CAPIManager::instance()->print("GPIO_GET io(%d) fail.\n", num);
      fail();
    }
  });
  if (!sent) markFailed();
}

void CQelConsoleJYX::flowSetIo(CJYXDataManager* data) {
  int num = setIo_;
  uint8_t level = param_ == "1" ? 1 : 0;
  bool sent = data->gpio(1, num, level, [this, num](CPackage* reply) {
    // A refused set (ACK_FAIL) did not change the line.
    bool ok = reply && reply->dataType() != ACK_FAIL;
    CAPIManager::instance()->print(
        ok ? "GPIO_SET io(%d) to %s.\n" : "GPIO_SET io(%d) to %s fail.\n", num, param_.c_str());
    if (ok) {
      finish();
    } else {
      fail();
    }
  });
  if (!sent) markFailed();
}

void CQelConsoleJYX::flowPostcode(CJYXDataManager* data) {
  bool started = data->postCode([this](CPackage* reply) {
    CAPIManager::instance()->print(reply ? "\n" : "get post code fail\n");
    if (reply) {
      finish();
    } else {
      fail();
    }
  });
  if (!started) fail();
}

void CQelConsoleJYX::flowReadSpi(CJYXDataManager*) { start_read_spi(); }

void CQelConsoleJYX::flowMonitor(CJYXDataManager*) { start_monitor(); }

void CQelConsoleJYX::flowImage(CJYXDataManager*) {
  if (checkSpi_) {
    start_check_spi();
  } else if (changedOnly_) {
    start_flash_changed_only();
  } else {
    start_flash();
  }
}

void CQelConsoleJYX::flowSpiRegister(CJYXDataManager*) { runSpiRegisterOp(); }
