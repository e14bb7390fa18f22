// The JTAG routing operations of the bridge: they set the board's routing
// pins and then give the slave MCU its "jyx 24/25" commands through the
// serial manager, so they sit above both.
#include <cstdarg>
#include <functional>
#include <string>
#include <vector>

#include "common/api_manager.h"
#include "common/string_format.h"
#include "jyx/maintenance/ftdi_serial_port.h"
#include "jyx/maintenance/serial_manager.h"

namespace {

// Low-byte value of the board's routing that connects JTAG to the controller.
constexpr uint8_t kRouteJtag = 0x97;

void print(const char* format, ...) __attribute__((format(printf, 1, 2)));
void print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = jyx::stringFormatV(format, args);
  va_end(args);
  CAPIManager::instance()->print("%s", text.c_str());
}

// Step 2 of the JTAG operations: the slave MCU's console on interface D,
// one or two "jyx 24/25" commands, each needing a reply.
void sendJtagCommands(int portD, std::vector<std::string> commands,
                      std::function<void(bool)> done) {
  CJYXSerialManager* serial = CJYXSerialManager::instance();
  if (commands.empty()) {
    serial->close();
    return done(true);
  }
  std::string text = commands.front();
  commands.erase(commands.begin());
  bool last = commands.empty();
  bool sent = serial->sendCommand(text, [portD, commands, done, text, last](const char* reply) {
    CJYXSerialManager* s = CJYXSerialManager::instance();
    if (reply == nullptr) {
      print("[%s] fail.\n", text.c_str());
      s->close();
      return done(false);
    }
    if (last) s->close();
    print("[%s] result: %s\n", text.c_str(), reply);
    sendJtagCommands(portD, commands, done);
  });
  if (!sent) {
    print("[%s] fail.\n", text.c_str());
    serial->close();
    done(false);
  }
}

bool openSlaveConsole(int portD) {
  CJYXSerialManager* serial = CJYXSerialManager::instance();
  serial->close();
  serial->setSlave(true);
  serial->setDeviceName(std::to_string(portD));
  serial->open();
  if (serial->channelValid()) return true;
  print("open the serial(%d) fail\n", portD);
  return false;
}

}  // namespace

void CFTDISerialPort::enableJTAG(int num, std::function<void(bool)> done) {
  int portB = interfaceIndex(num, kInterfaceB);
  int portD = interfaceIndex(num, kInterfaceD);
  print("enableScan step 1, port B: %d to value: 0x%x\n", portB, kRouteJtag);
  bool ok = false;
  const uint8_t value = kRouteJtag;
  mpsseWrite(num, 0xFF, &value, 1, 20, [&ok](bool r) { ok = r; });
  if (!ok) {
    print("enableJTAG fail.\n");
    return done(false);
  }
  print("enableJTAG step 2, port D: %d, enable IO: jyx 24 and jyx 25\n", portD);
  if (!openSlaveConsole(portD)) return done(false);
  sendJtagCommands(portD, {"jyx 24 0", "jyx 25 0"}, std::move(done));
}

void CFTDISerialPort::disableJTAG(int num, std::function<void(bool)> done) {
  int portD = interfaceIndex(num, kInterfaceD);
  print("enableJTAG step 1, port D: %d, enable IO: jyx 25\n", portD);
  if (!openSlaveConsole(portD)) return done(false);
  sendJtagCommands(portD, {"jyx 25 1"}, std::move(done));
}
