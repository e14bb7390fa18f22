#include "jyx/maintenance/serial_manager.h"

#include <cstdlib>
#include <cstring>

#include "common/api_manager.h"
#include "common/number_text.h"
#include "common/serial_port.h"
#include "common/string_format.h"
#include "common/terminal_filter.h"
#include "jyx/maintenance/firmware_download_tool.h"
#include "jyx/maintenance/ftdi_serial_port.h"
#include "jyx/services.h"

namespace {

const char kReplyPrefix[] = "[JYX]: ";
// Address replies are "IP:" followed by the dotted address.
const char kIpMarker[] = "IP:";
// The controller's negative acknowledge.
const char kNack[] = "ack 0";
// A discovered address is longer than this ("0.0.0.0" is not an address).
constexpr size_t kMinAddressLength = 7;
// Flash address of the MCU firmware downloads started by tasks.
constexpr int kFirmwareAddress = 0x10000;

struct BaudCode {
  const char* baud;
  int code;
};
constexpr BaudCode kBaudCodes[] = {{"9600", 0},   {"19200", 1},  {"57600", 2},
                                   {"115200", 3}, {"460800", 4}, {"1500000", 5}};

}  // namespace

CJYXSerialManager::CJYXSerialManager(CJYXServices* services, bool routed)
    : services_(services), routed_(routed) {
  name_ = "serial";
  rebuildChannel(0);
  registerTasks();
  if (routed_) CAPIManager::instance()->registerTaskManager(name_, this);
  deadline_ = clockNow() + kParkedDeadline;
  if (routed_) {
    // The process-wide manager uses the first bridge found as its device.
    CFTDISerialPort::setDeviceListListener([this](const std::vector<int>& list) {
      if (!list.empty()) setDeviceName(std::to_string(list[0]));
    });
    std::vector<int> found = CFTDISerialPort::deviceList();
    if (!found.empty()) setDeviceName(std::to_string(found[0]));
  }
}

void CJYXSerialManager::setMainInterface(uint32_t value) {
  mainInterface_ = value;
  CFTDISerialPort::setBoardLinesInterface(value == 2 ? CFTDISerialPort::kInterfaceB
                                                     : CFTDISerialPort::kInterfaceC);
}

CJYXSerialManager::~CJYXSerialManager() {
  if (routed_) CFTDISerialPort::setDeviceListListener(nullptr);
  if (routed_) CAPIManager::instance()->unregisterTaskManager(name_, this);
  delete parser_;
  delete channel_;
}

// Wall clock: a stamp from the pump time could be stale after the FTDI
// sequences that hold the main loop.
double CJYXSerialManager::clockNow() { return CAPIManager::wallClock(); }

void CJYXSerialManager::setDeviceName(const std::string& name) {
  deviceName_ = name;
  if (auto* ftdi = dynamic_cast<CFTDISerialPort*>(channel_)) ftdi->setName(name);
  if (auto* tty = dynamic_cast<CSerialPort*>(channel_)) tty->setPath(name);
}

void CJYXSerialManager::setMainFirmwareFile(const std::string& path) {
  mainFirmwareFile_ = path;
  services_->writeSetting("main_firmware_file", path);
}

void CJYXSerialManager::setSlaveFirmwareFile(const std::string& path) {
  slaveFirmwareFile_ = path;
  services_->writeSetting("slave_firmware_file", path);
}

void CJYXSerialManager::rebuildChannel(int32_t lineLimit) {
  if (channel_ != nullptr) channel_->close();
  delete parser_;
  delete channel_;
  if (usbUart_) {
    channel_ = new CSerialPort(this);
  } else {
    channel_ = new CFTDISerialPort(this);
  }
  parser_ = new CStringParser(this, channel_->receiveFifo());
  if (lineLimit > 0) parser_->setLineLimit(lineLimit);
  opened_ = false;
}

bool CJYXSerialManager::channelValid() { return channel_ != nullptr && channel_->isOpen(); }

bool CJYXSerialManager::open() {
  if (usbUart_) {
    auto* tty = static_cast<CSerialPort*>(channel_);
    tty->setPath(deviceName_);
    tty->setBaudRate(baudrate_);
    tty->setParity(parity_);
    tty->setDataBits(databit_);
    tty->setStopBits(stopbit_);
    channel_->start();
  } else {
    auto* ftdi = static_cast<CFTDISerialPort*>(channel_);
    // The index arithmetic needs a current device list.
    if (CFTDISerialPort::deviceList().empty()) CFTDISerialPort::listDevices(false);
    int num = atoi(deviceName_.c_str());
    CFTDISerialPort::Interface which =
        slave_
            ? CFTDISerialPort::kInterfaceD
            : (mainInterface_ == 2 ? CFTDISerialPort::kInterfaceC : CFTDISerialPort::kInterfaceB);
    ftdi->setName(std::to_string(CFTDISerialPort::interfaceIndex(num, which)));
    ftdi->setBaud(baudrate_);
    ftdi->setParity(parity_);
    ftdi->setDataBits(databit_);
    ftdi->setStopBits(0);
    channel_->start();
  }
  opened_ = channel_->isOpen();
  pendingReply_ = nullptr;
  deadline_ = clockNow() + kParkedDeadline;
  return opened_;
}

void CJYXSerialManager::close() {
  if (channel_ != nullptr) channel_->close();
  opened_ = false;
}

void CJYXSerialManager::stop() { close(); }

bool CJYXSerialManager::sendCommand(const std::string& text, ReplyCallback reply) {
  if (!channelValid()) return false;
  deadline_ = clockNow();
  pendingReply_ = std::move(reply);
  if (!pendingReply_) deadline_ = clockNow() + kParkedDeadline;
  int n = channel_->write(text.data(), static_cast<int>(text.size()));
  if (n != static_cast<int>(text.size())) {
    pendingReply_ = nullptr;
    deadline_ = clockNow() + kParkedDeadline;
    return false;
  }
  return true;
}

std::string CJYXSerialManager::stripAnsi(const std::string& line) {
  std::string out;
  out.reserve(line.size());
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '\x1b' && i + 1 < line.size() && line[i + 1] == '[') {
      size_t end = line.find('m', i + 2);
      if (end != std::string::npos) {
        i = end;
        continue;
      }
    }
    out += line[i];
  }
  return out;
}

int CJYXSerialManager::parseReply(const std::string& line, std::string* reply) {
  size_t at = line.find(kReplyPrefix);
  if (at == std::string::npos) return -1;
  std::string rest = line.substr(at + sizeof(kReplyPrefix) - 1);
  size_t ip = rest.find(kIpMarker);
  if (ip != std::string::npos) {
    size_t pos = ip + sizeof(kIpMarker) - 1;
    while (pos < rest.size() && rest[pos] == ' ') ++pos;
    size_t end = pos;
    while (end < rest.size() && ((rest[end] >= '0' && rest[end] <= '9') || rest[end] == '.')) {
      ++end;
    }
    *reply = rest.substr(pos, end - pos);
    return 1;
  }
  if (rest.find(kNack) != std::string::npos) return 0;
  *reply = rest.substr(0, rest.find_first_of("\r\n"));
  return 1;
}

// The console's lines and replies are printed, copied and published as
// text; an MCU's console carries boot-ROM noise at the wrong rate and
// whatever its firmware prints, so control and escape sequences are made
// visible before anything sees the line.
void CJYXSerialManager::onString(const char* text) {
  if (text == nullptr || text[0] == '\0') return;
  std::string line = terminalText(stripAnsi(text));
  CAPIManager* api = CAPIManager::instance();
  if (showLog_) api->print("%s", line.c_str());
  if (!logKeyword_.empty() && line.find(logKeyword_) != std::string::npos) {
    api->print("\n%s", line.c_str());
  }
  if (!pendingReply_) return;
  std::string reply;
  int kind = parseReply(line, &reply);
  if (kind < 0) return;
  ReplyCallback callback = std::move(pendingReply_);
  pendingReply_ = nullptr;
  deadline_ = clockNow() + kParkedDeadline;
  callback(kind == 0 ? nullptr : reply.c_str());
}

double CJYXSerialManager::nextDeadline(double now) {
  return pendingReply_ ? deadline_ + kReplyTimeout : kNoDeadline;
}

void CJYXSerialManager::onUpdate(double now) {
  if (!channelValid() || !pendingReply_) return;
  if (now - deadline_ > kReplyTimeout) {
    ReplyCallback callback = std::move(pendingReply_);
    pendingReply_ = nullptr;
    deadline_ = now + kParkedDeadline;
    callback(nullptr);
  }
}

int CJYXSerialManager::onMessage(CHANNEL_MSG_TYPE type, int code, const char* message) {
  if (type == CHANNEL_MSG_ERROR) {
    CAPIManager::instance()->print("error-%s-manager: %s\n", "serial", message);
  }
  return 0;
}

void CJYXSerialManager::refresh() {
  std::string text = deviceListText();
  devices_.clear();
  size_t start = 0;
  while (start < text.size()) {
    size_t blank = text.find(' ', start);
    std::string name =
        text.substr(start, blank == std::string::npos ? std::string::npos : blank - start);
    if (!name.empty()) devices_.push_back(name);
    if (blank == std::string::npos) break;
    start = blank + 1;
  }
  if (devices_.empty()) devices_.push_back("none");
  setDeviceName(devices_.front());
}

std::string CJYXSerialManager::deviceListText() {
  if (usbUart_) return listTtyDevices();
  return CFTDISerialPort::listDevices(false);
}

void CJYXSerialManager::getIP(ReplyCallback done) {
  CAPIManager* api = CAPIManager::instance();
  close();
  refresh();
  if (devices_.empty() || devices_.front() == "none") {
    api->print("no JYX device is found.\n");
    return done(nullptr);
  }
  int first = atoi(devices_.front().c_str());
  setDeviceName(
      std::to_string(CFTDISerialPort::interfaceIndex(first, CFTDISerialPort::kInterfaceC)));
  api->print("Serial device name: %s\n", deviceName_.c_str());
  open();
  if (!channelValid()) {
    api->print("JYX Serial is invalid.\n");
    return done(nullptr);
  }
  // A bare line end first: it ends whatever the console had half-typed.
  sendCommand("\n", nullptr);
  api->startAsyncCall(
      [this, done] {
        CAPIManager* a = CAPIManager::instance();
        bool sent = sendCommand("jyx 02", [this, done](const char* eth) {
          if (eth != nullptr && strlen(eth) > kMinAddressLength) {
            close();
            return done(eth);
          }
          bool sentWifi = sendCommand("jyx 01", [this, done](const char* wifi) {
            close();
            if (wifi != nullptr && strlen(wifi) > kMinAddressLength) return done(wifi);
            CAPIManager::instance()->print("get ip address(%s) FAIL.\n", wifi ? wifi : "");
            done(nullptr);
          });
          if (!sentWifi) {
            close();
            CAPIManager::instance()->print("send jyx 01 FAIL.\n");
            done(nullptr);
          }
        });
        if (!sent) {
          close();
          a->print("send jyx 02 FAIL.\n");
          done(nullptr);
        }
      },
      1.0);
}

int CJYXSerialManager::baudCode(const std::string& baud) {
  for (const BaudCode& entry : kBaudCodes) {
    if (baud == entry.baud) return entry.code;
  }
  return -1;
}

bool CJYXSerialManager::commandText(const std::string& command, const std::string& param,
                                    std::string* text) {
  *text = "jyx " + command;
  if (command == "23") {
    int code = baudCode(param);
    if (code < 0) {
      CAPIManager::instance()->print(
          "the baud(%s) is not in (9600,19200,57600,115200,460800,1500000)\n", param.c_str());
      return false;
    }
    *text += " " + std::to_string(code);
  } else if (atoi(command.c_str()) > 19 && !param.empty()) {
    *text += " " + param;
  }
  return true;
}

void CJYXSerialManager::runCommand(bool slave) {
  std::string text;
  if (!commandText(slave ? commandSlave_ : command_, slave ? paramSlave_ : param_, &text)) return;
  CAPIManager::instance()->print("%s\n", text.c_str());
  sendCommand(text, [this, slave](const char* reply) {
    if (reply == nullptr) return;
    CAPIManager::instance()->print("%s\n", reply);
    (slave ? lastReplySlave_ : lastReply_) = reply;
    services_->toClipboard(reply);
    services_->publishValue("SERIAL_REPLY", slave ? "slave" : "main", reply);
  });
}

void CJYXSerialManager::flashMainFirmware(int address, std::function<void(int)> progress) {
  flashFirmware(false, address, std::move(progress));
}

void CJYXSerialManager::flashSlaveFirmware(int address, std::function<void(int)> progress) {
  flashFirmware(true, address, std::move(progress));
}

void CJYXSerialManager::flashFirmware(bool slave, int address, std::function<void(int)> progress) {
  CAPIManager* api = CAPIManager::instance();
  api->print(slave ? "start flash the slave firmware.\n" : "start flash the main firmware.\n");
  if (CFTDISerialPort::deviceList().empty()) CFTDISerialPort::listDevices(false);
  int num = atoi(deviceName_.c_str());
  bool reset = false;
  CFTDISerialPort::enableJYXFlash(num, [&reset](bool ok) { reset = ok; });
  if (!reset) {
    api->print("enable JYX flash fail.\n");
    // Reported as a failure: a caller waiting for the end of the download
    // would otherwise wait for ever on a progress of 0.
    return progress(-1);
  }
  CFTDISerialPort::Interface which =
      slave ? CFTDISerialPort::kInterfaceD
            : (mainInterface_ == 2 ? CFTDISerialPort::kInterfaceC : CFTDISerialPort::kInterfaceB);
  CJYXFirmwareDownloadTool* tool = CJYXFirmwareDownloadTool::instance();
  tool->setPortName(std::to_string(CFTDISerialPort::interfaceIndex(num, which)));
  tool->flashFirmwareFile(slave ? slaveFirmwareFile_ : mainFirmwareFile_, address,
                          std::move(progress));
}

bool CJYXSerialManager::taskValue(CTask* task, std::string* value) {
  const char* json = task->data() ? task->data()->text : nullptr;
  if (json == nullptr) return false;
  if (getArgument(json, "value", value)) return true;
  int number = 0;
  if (getArgument(json, "value", &number)) {
    *value = std::to_string(number);
    return true;
  }
  return false;
}

void CJYXSerialManager::addTask(const char* action, std::function<void(CTask*)> run) {
  addHandler(name_ + ":" + action, [this, run](CTask* task) {
    run(task);
    finishTask(task);
    return true;
  });
}

void CJYXSerialManager::registerTasks() {
  registerPortTasks();
  registerFtdiTasks();
  registerMpsseTasks();
  registerFirmwareTasks();
}

void CJYXSerialManager::registerPortTasks() {
  auto add = [this](const char* action, std::function<void(CTask*)> run) {
    addTask(action, std::move(run));
  };
  add("connect", [this](CTask* task) {
    open();
    setResultText(task, "1");
  });
  add("disconnect", [this](CTask* task) {
    close();
    setResultText(task, "1");
  });
  add("refresh", [this](CTask*) { refresh(); });
  add("select", [this](CTask* task) {
    std::string value;
    if (taskValue(task, &value)) setDeviceName(value);
  });
  add("open", [this](CTask* task) {
    if (!channelValid() && deviceName_ == "none") {
      services_->showDialog(nullptr, 0, "Error", "no UART can open.");
      return;
    }
    if (channelValid()) {
      close();
    } else {
      open();
    }
    services_->publishValue("SERIAL_OPEN", "state", channelValid() ? "open" : "close");
  });
  add("slave", [this](CTask* task) {
    if (channelValid()) {
      services_->showDialog(nullptr, 0, "Warning",
                            "please close the device before switch the main and slave mode.");
      return;
    }
    bool value = false;
    if (task->data() && getArgument(task->data()->text, "value", &value)) slave_ = value;
  });
  add("command", [this](CTask* task) {
    std::string v;
    if (taskValue(task, &v)) {
      command_ = v;
      param_.clear();
    }
  });
  add("param", [this](CTask* task) { taskValue(task, &param_); });
  add("run", [this](CTask*) { runCommand(false); });
  add("command_slave", [this](CTask* task) {
    std::string v;
    if (taskValue(task, &v)) {
      commandSlave_ = v;
      paramSlave_.clear();
    }
  });
  add("param_slave", [this](CTask* task) { taskValue(task, &paramSlave_); });
  add("run_slave", [this](CTask*) { runCommand(true); });
  add("jyx_log", [this](CTask* task) {
    bool value = false;
    if (task->data() && getArgument(task->data()->text, "value", &value)) showLog_ = value;
  });
}

void CJYXSerialManager::registerFtdiTasks() {
  auto add = [this](const char* action, std::function<void(CTask*)> run) {
    addTask(action, std::move(run));
  };
  using Op = void (*)(int, std::function<void(bool)>);
  const std::pair<const char*, Op> ops[] = {
      {"enable_jyx_flash", CFTDISerialPort::enableJYXFlash},
      {"enable_jtag", CFTDISerialPort::enableJTAG},
      {"disable_jtag", CFTDISerialPort::disableJTAG},
      {"enable_scan", CFTDISerialPort::enableScan},
      {"reset_jyx", CFTDISerialPort::resetJYX},
      {"ac_bit_bang", CFTDISerialPort::acBitBang},
  };
  for (const auto& op : ops) {
    Op call = op.second;
    std::string label = op.first;
    add(op.first, [this, call, label](CTask*) {
      call(atoi(deviceName_.c_str()), [label](bool ok) {
        CAPIManager::instance()->print("%s %s\n", label.c_str(), ok ? "ok" : "fail");
      });
    });
  }
  add("enable_jyx_flash_b",
      [this](CTask*) { CFTDISerialPort::enableJYXFlash(atoi(deviceName_.c_str()), [](bool) {}); });
  add("enable_jyx_flash_d",
      [this](CTask*) { CFTDISerialPort::enableJYXFlash(atoi(deviceName_.c_str()), [](bool) {}); });
  auto bitBangNow = [this] {
    CFTDISerialPort::bitBang(atoi(deviceName_.c_str()), bitBangMode_, bitBangValue_, [](bool ok) {
      CAPIManager::instance()->print(ok ? "bit bang ok\n" : "bit bang fail\n");
    });
  };
  add("bit_bang_mode", [this, bitBangNow](CTask* task) {
    std::string v;
    if (taskValue(task, &v)) {
      bitBangMode_ = static_cast<uint8_t>(parseNumberText(v.c_str()));
      services_->writeSetting("bit_bang_mode", jyx::stringFormat("0x%x", bitBangMode_));
    }
    bitBangNow();
  });
  add("bit_bang_value", [this, bitBangNow](CTask* task) {
    std::string v;
    if (taskValue(task, &v)) {
      bitBangValue_ = static_cast<uint8_t>(parseNumberText(v.c_str()));
      services_->writeSetting("bit_bang_value", jyx::stringFormat("0x%x", bitBangValue_));
    }
    bitBangNow();
  });
  add("bit_bang", [bitBangNow](CTask*) { bitBangNow(); });
}

void CJYXSerialManager::registerMpsseTasks() {
  auto add = [this](const char* action, std::function<void(CTask*)> run) {
    addTask(action, std::move(run));
  };
  add("mpsse_port", [this](CTask* task) { taskValue(task, &mpssePort_); });
  add("mpsse_bit_direction", [this](CTask* task) {
    std::string v;
    if (taskValue(task, &v)) mpsseDirection_ = static_cast<uint8_t>(parseNumberText(v.c_str()));
  });
  add("mpsse_bit_value", [this](CTask* task) {
    std::string v;
    if (taskValue(task, &v)) mpsseValue_ = static_cast<uint8_t>(parseNumberText(v.c_str()));
  });
  add("mpsse_write", [this](CTask*) {
    uint8_t value = mpsseValue_;
    CFTDISerialPort::mpsseWrite(
        atoi(deviceName_.c_str()), mpsseDirection_, &value, 1, 100, [](bool ok) {
          CAPIManager::instance()->print(ok ? "MPSSE write IO ok\n" : "MPSSE write IO fail\n");
        });
  });
  add("mpsse_read", [this](CTask*) {
    bool ok = false;
    uint8_t value =
        CFTDISerialPort::mpsseRead(atoi(deviceName_.c_str()), [&ok](bool r) { ok = r; });
    if (ok) {
      mpsseValue_ = value;
      CAPIManager::instance()->print("MPSSE read IO: 0x%x\n", value);
    } else {
      CAPIManager::instance()->print("MPSSE read IO fail\n");
    }
  });
}

void CJYXSerialManager::registerFirmwareTasks() {
  auto add = [this](const char* action, std::function<void(CTask*)> run) {
    addTask(action, std::move(run));
  };
  add("select_main_firmware", [this](CTask*) {
    services_->pickFile(true, [this](const std::string& path) {
      if (!path.empty()) setMainFirmwareFile(path);
    });
  });
  add("select_slave_firmware", [this](CTask*) {
    services_->pickFile(true, [this](const std::string& path) {
      if (!path.empty()) setSlaveFirmwareFile(path);
    });
  });
  for (bool slave : {false, true}) {
    add(slave ? "flash_slave_firmware" : "flash_main_firmware", [this, slave](CTask*) {
      std::string file = slave ? slaveFirmwareFile_ : mainFirmwareFile_;
      flashFirmware(slave, kFirmwareAddress, [this, slave, file](int p) {
        CAPIManager* api = CAPIManager::instance();
        services_->publishValue("SERIAL_FLASH", "progress", std::to_string(p / 100.0));
        if (p < 0) {
          api->print(slave ? "\nFlash slave mcu firmware(%s) fail\n"
                           : "\nFlash main mcu firmware(%s) fail\n",
                     file.c_str());
        } else if (p > 100) {
          api->print(
              slave ? "\nFlash slave mcu firmware(%s) OK\n" : "\nFlash main mcu firmware(%s) OK\n",
              file.c_str());
        }
      });
    });
  }
}
