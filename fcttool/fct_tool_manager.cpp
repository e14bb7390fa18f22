#include "fcttool/fct_tool_manager.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "common/api_manager.h"
#include "common/file_util.h"
#include "common/json_text.h"
#include "common/serial_port.h"
#include "common/string_format.h"
#include "common/terminal_filter.h"
#include "fcttool/fct_record.h"
#include "jyx/jyx.h"

namespace {

#define PRINT(...) CAPIManager::instance()->print(__VA_ARGS__)

// One row per board: even a large factory lot stays far below this.
constexpr size_t kMaxRecordBytes = 256u << 20;
// Bytes without a line end after which the pending text is matched anyway,
// so a target that never ends its line cannot fill the receive FIFO.
constexpr int32_t kLineLimit = 64 * 1024;
// "Never" for the timers: a time-out or dialog delay that is not armed.
constexpr double kNever = 99999999.0;
// openUart pushes the command clock this far ahead so that no time-out
// fires while the UART is idle.
constexpr double kIdleOffset = 1e7;
// After the operator answered a manual command, the verdict waits this long
// (seconds) so that the target can react to the message sent.
constexpr double kManualSettle = 1.0;

const char kMacPlaceholder[] = "$MACADDRESS";
const char kUartInvalid[] = "串口未连接，先选择并打开串口。";
const uint32_t kBaudRates[] = {1500000, 460800, 115200, 57600, 19200, 9600};

// [{"value":v,"title":v},...]
std::string itemsJson(const std::vector<std::string>& values) {
  std::string json = "[";
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) json += ",";
    std::string v = jyx::jsonQuoted(values[i]);
    json += "{\"value\":" + v + ",\"title\":" + v + "}";
  }
  return json + "]";
}

// Writes a kept file whole through a temporary file and a rename: a
// non-empty text after the UTF-8 byte-order mark, an empty one as an empty
// file. A failure prints its reason and "open file (<path>) FAIL.".
bool writeKeptFile(const std::string& path, const std::string& text) {
  jyx::CAtomicFile file;
  std::string err;
  bool ok = file.open(path, &err);
  if (ok && !text.empty()) ok = file.write(fct::kBom, 3, &err) && file.write(text, &err);
  if (ok) ok = file.commit(&err);
  if (!ok) {
    file.abort();
    PRINT("%s\n", err.c_str());
    PRINT("open file (%s) FAIL.\n", path.c_str());
  }
  return ok;
}

bool makeDirectory(const std::string& path) {
  if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return true;
  PRINT("cannot create directory %s: %s\n", path.c_str(), jyx::errnoText(errno).c_str());
  return false;
}

}  // namespace

CFCTToolManager* CFCTToolManager::instance() {
  // Never destroyed: the channel's pool threads may use it until exit.
  static CFCTToolManager* manager = new CFCTToolManager(CJYX::instance(), true);
  return manager;
}

CFCTToolManager::CFCTToolManager(CJYX* controller, bool routed) : controller_(controller) {
  setName(routeName_);
  channel_ = new CSerialPort(this);
  parser_ = new CStringParser(this, channel_->receiveFifo());
  parser_->setLineLimit(kLineLimit);
  lastPortRefresh_ = CAPIManager::wallClock() + 10000.0;
  if (routed) {
    CAPIManager::instance()->registerTaskManager(routeName_, this);
    addTaskHandlers();
  }
}

CFCTToolManager::~CFCTToolManager() {
  delete parser_;
  parser_ = nullptr;
  // Stops the channel's threads before anything they report to goes away.
  delete channel_;
  channel_ = nullptr;
}

// The wall clock, not the pump time: a command-line run sends its first
// command before the first pump, when the pump time is still the program's
// start, and a time-out counted from there would end the command early.
// Pump times taken later are never behind it, so onUpdate's comparisons hold.
double CFCTToolManager::clockNow() { return CAPIManager::wallClock(); }

const std::string& CFCTToolManager::name() {
  static std::string text;
  text = "{\"title\":" + jyx::jsonQuoted("FCT " + controller_->version()) +
         ", \"sub_title\":" + jyx::jsonQuoted(title_) + "}";
  return text;
}

void CFCTToolManager::start() {
  CJYX* jyx = controller_;
  port_ = jyx->readSetting("fct_uart_port", "");
  configFile_ = jyx->readSetting("fct_config", "");
}

void CFCTToolManager::stop() { closeUart(); }

bool CFCTToolManager::isUartOpen() { return channel_->isOpen(); }

void CFCTToolManager::openUart() {
  if (isUartOpen()) return;
  commandStart_ = clockNow() + kIdleOffset;
  channel_->setPath(port_);
  channel_->setBaudRate(static_cast<int>(baudRate_));
  // Bytes left from an earlier session are not answers to this one.
  channel_->flush();
  PRINT("connect to uart, port: %s, baudrage: %d\n", port_.c_str(), static_cast<int>(baudRate_));
  channel_->open();
}

void CFCTToolManager::closeUart() {
  if (isUartOpen()) channel_->close();
}

int CFCTToolManager::onMessage(CHANNEL_MSG_TYPE type, int code, const char* message) {
  if (type == CHANNEL_MSG_ERROR) {
    PRINT("error-%s-manager: %s\n", routeName_.c_str(), message != nullptr ? message : "");
  }
  return 0;
}

bool CFCTToolManager::checkBusy() {
  if (busy_) {
    PRINT("System is busy, try again after a moment.\n");
    return true;
  }
  commandStart_ = clockNow();
  return false;
}

void CFCTToolManager::refreshPorts() {
  lastPortRefresh_ = clockNow();
  std::vector<std::string> sorted = fct::sortPorts(listTtyDevices());
  if (sorted == ports_) return;
  ports_ = sorted;
  CJYX* jyx = controller_;
  jyx->publishValue("fct_tool:select_uart", "items", itemsJson(ports_));
  bool known = false;
  for (const std::string& name : ports_) known = known || name == port_;
  if (!known) port_ = ports_.front();
  jyx->publishValue("fct_tool:select_uart", "value", port_);
  std::vector<std::string> rates;
  bool listed = false;
  for (uint32_t rate : kBaudRates) {
    rates.push_back(std::to_string(rate));
    listed = listed || rate == baudRate_;
  }
  if (!listed) rates.push_back(std::to_string(baudRate_));
  jyx->publishValue("fct_tool:uart_baud", "items", itemsJson(rates));
  jyx->publishValue("fct_tool:uart_baud", "value", std::to_string(baudRate_));
}

bool CFCTToolManager::checkReady() {
  CJYX* jyx = controller_;
  auto refuse = [jyx](const char* line, const char* text) {
    if (line != nullptr) PRINT("%s", line);
    jyx->showMessage(nullptr, 1, text, "提示", "确定", "", 1.0);
    return false;
  };
  if (running_) return refuse(nullptr, "还有任务正在处理，请稍后。");
  if (serialNumber_.empty()) return refuse("SN is absent.\n", "请输入序列号！！！");
  if (macRequired_ && macAddress_.empty()) {
    return refuse("GBE MAC is absent.\n", "请输入MAC地址！！！");
  }
  if (macRequired_ && !fct::isValidMac(macAddress_)) {
    return refuse("GBE MAC is wrong.\n", "非法MAC地址，请输入正确MAC地址！！！");
  }
  if (!isUartOpen()) return refuse("uart channel is not valid.\n", kUartInvalid);
  return true;
}

void CFCTToolManager::execute(const std::string& command, Done done) {
  std::string text = command;
  if (macRequired_) {
    size_t at = text.find(kMacPlaceholder);
    if (at != std::string::npos) text.replace(at, strlen(kMacPlaceholder), macAddress_);
  }
  PRINT("%s\n", text.c_str());
  if (!isUartOpen()) {
    PRINT("uart channel is not valid.\n");
    if (done) done(fct::kFail);
    return;
  }
  pendingResult_ = std::move(done);
  // The tty may take a long command in pieces; a write that makes no
  // progress ends the attempt rather than spinning.
  size_t sent = 0;
  while (sent < text.size()) {
    int n = channel_->write(text.data() + sent, static_cast<int>(text.size() - sent));
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  if (sent < text.size()) {
    PRINT("uart write failed: %zu of %zu bytes sent\n", sent, text.size());
    Done failed = std::move(pendingResult_);
    pendingResult_ = nullptr;
    if (failed) failed(fct::kFail);
  }
}

void CFCTToolManager::onString(const char* received) {
  if (received == nullptr) return;
  if (received[0] == '\0') {
    // The line limit was reached: take the pending text as one line.
    parser_->flush();
    return;
  }
  // The parser's buffer is only lent for the call, and a verdict below may
  // start the next command; keep a copy.
  const std::string line = received;
  PRINT("%s", terminalText(line).c_str());
  if (pendingResult_ && !infoKey_.empty()) {
    size_t at = line.find(infoKey_);
    if (at != std::string::npos) {
      std::string rest = line.substr(at + infoKey_.size());
      // The line end is not part of the value ("\n", or "\r\n" from a
      // target that ends its lines the terminal way).
      if (!rest.empty() && rest.back() == '\n') rest.pop_back();
      if (!rest.empty() && rest.back() == '\r') rest.pop_back();
      info_ = "(" + rest + ")";
    }
  }
  if (pendingResult_ && !okKey_.empty() && line.find(okKey_) != std::string::npos) {
    Done done = std::move(pendingResult_);
    pendingResult_ = nullptr;
    done(fct::kPass);
  }
  // After a pass this is already the next command's fail key: the line that
  // passed one command can fail the next.
  if (pendingResult_ && !failKey_.empty() && line.find(failKey_) != std::string::npos) {
    Done done = std::move(pendingResult_);
    pendingResult_ = nullptr;
    done(fct::kFail);
  }
}

void CFCTToolManager::startCommand(const CFCTCommand& command, double now) {
  okKey_ = command.okKey;
  failKey_ = command.failKey;
  infoKey_ = command.infoKey;
  manualConfirm_ = command.manualConfirm;
  manualTitle_ = command.manualTitle;
  manualOk_ = command.manualOk;
  manualFail_ = command.manualFail;
  manualScale_ = command.manualScale;
  message_ = command.message;
  PRINT("pass key: %s\n", okKey_.c_str());
  PRINT("fail key: %s\n", failKey_.c_str());
  timeoutSeconds_ = command.timeout / 1000.0;
  delaySeconds_ = command.delay / 1000.0;
  commandStart_ = now;
}

void CFCTToolManager::testCase(Done done) {
  if (!running_) {
    PRINT("Force Stopped!!!\n");
    done(fct::kFail);
    return;
  }
  if (!isUartOpen()) {
    PRINT("uart channel is not valid.\n");
    controller_->showMessage(nullptr, 1, kUartInvalid, "提示", "确定", "", 1.0);
    done(fct::kFail);
    return;
  }
  int32_t count = static_cast<int32_t>(cases_.size());
  if (caseIndex_ < 0 || caseIndex_ >= count) {
    PRINT("Invalid case index (%d / %d)\n", caseIndex_, count);
    done(fct::kFail);
    return;
  }
  const CFCTCase& current = cases_[static_cast<size_t>(caseIndex_)];
  int32_t commands = static_cast<int32_t>(current.commands.size());
  if (commandIndex_ < 0 || commandIndex_ >= commands) {
    PRINT("Invalid command index (%d / %d)\n", commandIndex_, commands);
    done(fct::kFail);
    return;
  }
  const CFCTCommand& command = current.commands[static_cast<size_t>(commandIndex_)];
  startCommand(command, clockNow());
  if (commandIndex_ == 0) PRINT("\n---%s---\n", current.name.c_str());
  std::string text = command.cmd;
  execute(text, [this, text, done](const char* result) {
    PRINT("execute(%s): %s\n", text.c_str(), result);
    manualConfirm_.clear();
    if (strcmp(result, fct::kPass) == 0) {
      commandIndex_ += 1;
      int32_t count = static_cast<int32_t>(cases_.size());
      if (running_ && caseIndex_ >= 0 && caseIndex_ < count &&
          commandIndex_ <
              static_cast<int32_t>(cases_[static_cast<size_t>(caseIndex_)].commands.size())) {
        testCase(done);
        return;
      }
    }
    done(result);
  });
}

void CFCTToolManager::recordCaseResult(int32_t index, const char* result) {
  CFCTCase& c = cases_[static_cast<size_t>(index)];
  if (c.status != result) {
    c.status = result;
    c.info = info_;
  }
}

void CFCTToolManager::testAll(Done done) {
  info_.clear();
  if (!running_) {
    PRINT("Force Stopped!!!\n");
    done(fct::kFail);
    return;
  }
  if (!isUartOpen()) {
    PRINT("uart channel is not valid.\n");
    controller_->showMessage(nullptr, 1, kUartInvalid, "提示", "确定", "", 1.0);
    done(fct::kFail);
    return;
  }
  if (serialNumber_.empty()) {
    PRINT("SN is blank.\n");
    done(fct::kFail);
    return;
  }
  int32_t count = static_cast<int32_t>(cases_.size());
  while (caseIndex_ >= 0 && caseIndex_ < count && !cases_[static_cast<size_t>(caseIndex_)].enable) {
    caseIndex_ += 1;
    commandIndex_ = 0;
  }
  if (caseIndex_ < 0 || caseIndex_ >= count) {
    done(fct::kNotTested);
    return;
  }
  testCase([this, done](const char* result) {
    int32_t count = static_cast<int32_t>(cases_.size());
    if (caseIndex_ >= 0 && caseIndex_ < count) {
      recordCaseResult(caseIndex_, result);
      PRINT("case %s %s%s\n", cases_[static_cast<size_t>(caseIndex_)].name.c_str(), result,
            terminalText(info_).c_str());
    }
    caseIndex_ += 1;
    commandIndex_ = 0;
    commandStart_ = clockNow();
    testAll(done);
  });
}

bool CFCTToolManager::startFullRun(Done finished) {
  if (!checkReady() || checkBusy()) return false;
  busy_ = true;
  caseIndex_ = 0;
  commandIndex_ = 0;
  for (CFCTCase& c : cases_) {
    c.status = fct::kNotTested;
    c.info.clear();
  }
  controller_->clearLog();
  running_ = true;
  testAll([this, finished](const char* result) {
    std::string text = result;
    processResult([finished, text] {
      if (finished) finished(text.c_str());
    });
    busy_ = false;
    PRINT("\n---SN:%s End---\n", serialNumber_.c_str());
    if (!running_) caseIndex_ = static_cast<int32_t>(cases_.size());
    running_ = false;
  });
  return true;
}

bool CFCTToolManager::startSingleCase(const std::string& tag, Done finished) {
  if (!checkReady() || checkBusy()) return false;
  busy_ = true;
  if (tag.empty()) {
    busy_ = false;
    return false;
  }
  caseIndex_ = findCase(tag);
  commandIndex_ = 0;
  commandStart_ = clockNow();
  running_ = true;
  info_.clear();
  testCase([this, tag, finished](const char* result) {
    int32_t count = static_cast<int32_t>(cases_.size());
    if (caseIndex_ >= 0 && caseIndex_ < count) recordCaseResult(caseIndex_, result);
    PRINT("case %s %s%s\n", tag.c_str(), result, terminalText(info_).c_str());
    busy_ = false;
    if (!running_) caseIndex_ = count;
    running_ = false;
    if (finished) finished(result);
  });
  return true;
}

double CFCTToolManager::nextDeadline(double now) {
  double next = std::min(lastPortRefresh_ + portRefreshSeconds_, commandStart_ + timeoutSeconds_);
  if (delaySeconds_ > 0.001 && !manualConfirm_.empty()) {
    next = std::min(next, commandStart_ + delaySeconds_);
  }
  return next;
}

void CFCTToolManager::onUpdate(double now) {
  if (delaySeconds_ > 0.001 && !manualConfirm_.empty() && now - commandStart_ > delaySeconds_) {
    delaySeconds_ = kNever;
    commandStart_ = now;
    std::string message = message_;
    controller_->showMessage(
        [this, message](int answer) {
          if (!message.empty() && isUartOpen()) {
            channel_->write(message.data(), static_cast<int>(message.size()));
          }
          const char* verdict = answer == 1 ? fct::kPass : fct::kFail;
          CAPIManager::instance()->startAsyncCall(
              [this, verdict] {
                if (!pendingResult_) return;
                Done done = std::move(pendingResult_);
                pendingResult_ = nullptr;
                done(verdict);
              },
              kManualSettle);
        },
        3, manualConfirm_, manualTitle_, manualOk_, manualFail_, manualScale_);
  }
  if (now - commandStart_ > timeoutSeconds_) {
    timeoutSeconds_ = kNever;
    commandStart_ = now;
    if (pendingResult_) {
      Done done = std::move(pendingResult_);
      pendingResult_ = nullptr;
      done(fct::kFail);
    } else {
      busy_ = false;
    }
  }
  if (now - lastPortRefresh_ > portRefreshSeconds_) refreshPorts();
}

int32_t CFCTToolManager::findCase(const std::string& name) {
  for (size_t i = 0; i < cases_.size(); ++i) {
    if (cases_[i].name == name) return static_cast<int32_t>(i);
  }
  return kNoCase;
}

void CFCTToolManager::printCases() {
  for (CFCTCase& c : cases_) {
    PRINT("%s\n", c.name.c_str());
    c.status = fct::kNotTested;
    c.info.clear();
  }
}

bool CFCTToolManager::writeRecord(const std::string& directory) {
  std::string path = directory + "record.csv";
  std::string text, err;
  struct stat st;
  // A missing record is an empty one. One that exists but cannot be read is
  // never replaced: that would lose every other board's row.
  if (stat(path.c_str(), &st) == 0 || errno != ENOENT) {
    if (!jyx::readRegularFile(path, kMaxRecordBytes, &text, &err)) {
      PRINT("%s\n", err.c_str());
      PRINT("open file (%s) FAIL.\n", path.c_str());
      return false;
    }
    text = fct::stripBom(std::move(text));
  }
  if (text.size() < 10) {
    text = "SN";
    for (const CFCTCase& c : cases_) text += "," + c.name;
    text += "\n";
  }
  std::string row = serialNumber_;
  for (const CFCTCase& c : cases_) row += "," + fct::recordCell(c.status, c.info);
  return writeKeptFile(path, fct::mergeRecordRow(text, serialNumber_, row));
}

void CFCTToolManager::processResult(std::function<void()> written) {
  CJYX* jyx = controller_;
  std::string separator = jyx->pathSeparator().empty() ? "/" : jyx->pathSeparator();
  std::string directory = configDir_ + "record" + separator;
  std::string logDirectory = directory + "log";
  bool ok = true;
  if (!fct::isValidSerialNumber(serialNumber_)) {
    PRINT("serial number (%s) cannot name a record row or log file\n", serialNumber_.c_str());
    ok = false;
  }
  ok = ok && makeDirectory(directory) && makeDirectory(logDirectory) && writeRecord(directory);
  if (!ok) {
    if (written) written();
    return;
  }
  std::string logPath = logDirectory + separator + serialNumber_ + ".txt";
  jyx->getLog([logPath, written](const std::string& text) {
    writeKeptFile(logPath, text);
    if (written) written();
  });
}
