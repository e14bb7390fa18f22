// Serial side of the controller console: controller commands over the MCU
// console line (-c, or no -a), address discovery followed by the network
// flow, and the UART scan (-Z).
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/api_manager.h"
#include "jyx/maintenance/serial_manager.h"
#include "main/qel_console_jyx.h"

namespace {

// A reply is an address when it is longer than this ("0.0.0.0" is not).
constexpr size_t kMinAddressLength = 7;
// Pause before asking for the other address (s).
constexpr double kSecondAskDelay = 0.2;
// Time a scanned device gets to answer "jyx 00" (s).
constexpr double kScanTimeout = 5.0;

}  // namespace

void CQelConsoleJYX::serialCommandFlow() {
  CAPIManager* api = CAPIManager::instance();
  CJYXSerialManager* serial = CJYXSerialManager::instance();
  serial->setDeviceName(uart_);
  serial->setSlave(slave_);
  serial->open();
  if (!serial->channelValid()) {
    api->print("open the serial fail\n");
    fail();
    return;
  }
  std::string text = "jyx " + command_;
  int n = atoi(command_.c_str());
  if (n == 23) {
    int code = CJYXSerialManager::baudCode(param_);
    if (code < 0) {
      api->print("the baud(%s) is not in (9600,19200,57600,115200,460800,1500000)\n",
                 param_.c_str());
      serial->setShowLog(true);
      fail();
      return;
    }
    param_ = std::to_string(code);
  }
  if (n > 19 && !param_.empty()) {
    text += " " + param_;
    api->print("%s\n", text.c_str());
  }
  sendSerialCommand(n, text);
}

void CQelConsoleJYX::sendSerialCommand(int n, const std::string& text) {
  CAPIManager* api = CAPIManager::instance();
  CJYXSerialManager* serial = CJYXSerialManager::instance();
  auto sendOrFail = [this, serial, text](CJYXSerialManager::ReplyCallback reply) {
    if (serial->sendCommand(text, std::move(reply))) return true;
    CAPIManager::instance()->print("send %s fail\n", text.c_str());
    fail();
    return false;
  };
  switch (n) {
    case 20:
    case 21:
    case 22:
    case 23:
    case 24:
    case 25: {
      static const char* const kDone[] = {"set wifi SSID: %s\n", "set wifi password: %s\n",
                                          "set net mode: %s\n",  "set uart baud: %s\n",
                                          "set JTAG_SW_F: %s\n", "set JTAG_SW_L baud: %s\n"};
      const char* format = kDone[n - 20];
      sendOrFail([this, format](const char*) {
        CAPIManager::instance()->print(format, param_.c_str());
        finish();
      });
      return;
    }
    case 19:
      if (!sendOrFail(nullptr)) return;
      api->print("reset JYX firmware\n");
      finish();
      return;
    case 0:
    case 3:
    case 4:
    case 5:
      sendOrFail([this](const char* reply) {
        if (reply != nullptr) CAPIManager::instance()->print("%s\n", reply);
        finish();
      });
      return;
    case 1:
    case 2:
      sendOrFail([this](const char* reply) { addressFromReply(reply); });
      return;
    default:
      api->print("not support the jyx command: %s\n", text.c_str());
      fail();
      return;
  }
}

void CQelConsoleJYX::addressFromReply(const char* reply) {
  if (reply != nullptr && strlen(reply) > kMinAddressLength) {
    address_ = reply;
    networkFlow();
    return;
  }
  CAPIManager* api = CAPIManager::instance();
  if (readSpi_ || postcode_ || monitor_ || !image_.empty()) {
    command_ = command_ == "01" ? "02" : "01";
    std::string text = "jyx " + command_;
    if (!param_.empty()) text += " " + param_;
    api->startAsyncCall(
        [this, text] {
          CJYXSerialManager* serial = CJYXSerialManager::instance();
          bool sent = serial->sendCommand(text, [this](const char* second) {
            if (second != nullptr && strlen(second) > kMinAddressLength) {
              address_ = second;
              networkFlow();
              return;
            }
            CAPIManager::instance()->print("cannot get ip address from uart.\n");
            fail();
          });
          if (!sent) {
            CAPIManager::instance()->print("cannot get ip address from uart.\n");
            fail();
          }
        },
        kSecondAskDelay);
    return;
  }
  api->print("cannot get ip address from uart.\n");
  fail();
}

void CQelConsoleJYX::scan_uart_and_disable(std::string devices, unsigned long position) {
  if (position >= devices.size()) {
    finish();
    return;
  }
  size_t blank = devices.find(' ', position);
  std::string name =
      devices.substr(position, blank == std::string::npos ? std::string::npos : blank - position);
  unsigned long next = blank == std::string::npos ? devices.size() : blank + 1;
  CJYXSerialManager* serial = CJYXSerialManager::instance();
  serial->close();
  serial->setDeviceName(name);
  serial->open();
  if (!serial->channelValid()) {
    CAPIManager::instance()->print("open the serial(%s) fail\n", name.c_str());
    scan_uart_and_disable(devices, next);
    return;
  }
  scanAnswered_ = false;
  scanPosition_ = static_cast<int32_t>(next);
  // Each probe moves on exactly once: by its reply or by its time-out,
  // whichever comes first.
  auto movedOn = std::make_shared<bool>(false);
  CAPIManager::instance()->startAsyncCall(
      [this, devices, next, movedOn] {
        if (*movedOn) return;
        *movedOn = true;
        CJYXSerialManager::instance()->close();
        scan_uart_and_disable(devices, next);
      },
      kScanTimeout);
  bool sent = serial->sendCommand("jyx 00", [this, devices, next, movedOn](const char* text) {
    if (*movedOn) return;
    *movedOn = true;
    scanPosition_ = static_cast<int32_t>(next);
    scanAnswered_ = true;
    CAPIManager* api = CAPIManager::instance();
    if (text != nullptr) {
      api->print("result: %s\n", text);
      if (strncmp(text, "Main Version:", 13) == 0 || strncmp(text, "Slave Version:", 14) == 0) {
        api->print("%s is JYX\n", text);
      }
    }
    CJYXSerialManager::instance()->close();
    scan_uart_and_disable(devices, next);
  });
  if (!sent) {
    *movedOn = true;
    serial->close();
    scan_uart_and_disable(devices, next);
  }
}
