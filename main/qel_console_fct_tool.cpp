#include "main/qel_console_fct_tool.h"

#include <getopt.h>

#include <string>

#include "common/api_manager.h"
#include "common/serial_port.h"
#include "fcttool/fct_record.h"
#include "fcttool/fct_tool_manager.h"
#include "jyx/jyx.h"

namespace {

#define PRINT(...) CAPIManager::instance()->print(__VA_ARGS__)

// Long-only options; their values lie outside the character range so they
// never clash with a short option.
enum { kOptSerial = 256, kOptMac };

const char kShortOptions[] = "hu:f:lac:p";
const option kLongOptions[] = {
    {"help", no_argument, nullptr, 'h'},          {"uart", required_argument, nullptr, 'u'},
    {"file", required_argument, nullptr, 'f'},    {"list", no_argument, nullptr, 'l'},
    {"all", no_argument, nullptr, 'a'},           {"case", required_argument, nullptr, 'c'},
    {"list-port", no_argument, nullptr, 'p'},     {"sn", required_argument, nullptr, kOptSerial},
    {"mac", required_argument, nullptr, kOptMac}, {nullptr, 0, nullptr, 0},
};

const char kHelp[] =
    "\x1b[1;33m    --fct-tool <options ... >\n"
    "\n"
    "\x1b[m    options:\n"
    "        -h, --help                     show the help information\n"
    "        -u, --uart <uart port>         the uart\n"
    "        -f, --file <config file>       the config file\n"
    "        -l, --list                     list all cases\n"
    "        -a, --all                      test all\n"
    "        -c, --case <case name>         test the case in the config file\n"
    "        -p, --list-port                list all uart ports\n"
    "            --sn <serial number>       the board's serial number; with it a whole-list run\n"
    "                                       checks the board as the test station does and writes\n"
    "                                       its row to record/record.csv beside the config file\n"
    "                                       (without it a whole-list run fails: SN is blank)\n"
    "            --mac <mac address>        the board's MAC address (pairs of hex digits, ':' or\n"
    "                                       '-' between them allowed); it replaces $MACADDRESS in\n"
    "                                       the commands when the config asks for a MAC\n"
    "\n";

}  // namespace

const char* CQelConsoleFctTool::helpText() { return kHelp; }
const option* CQelConsoleFctTool::longOptions() { return kLongOptions; }
const char* CQelConsoleFctTool::shortOptions() { return kShortOptions; }

CQelConsoleFctTool::CQelConsoleFctTool(int argc, char** argv) { parse(argc, argv); }

void CQelConsoleFctTool::parse(int argc, char** argv) {
  // getopt keeps its state in globals; 0 makes GNU getopt start afresh.
  optind = 0;
  opterr = 0;  // an unknown option prints the help instead
  while (true) {
    int c = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr);
    if (c == -1) break;
    switch (c) {
      case 'u':
        uart_ = optarg;
        break;
      case 'f':
        file_ = optarg;
        break;
      case 'a':
        case_ = "all";
        break;
      case 'c':
        case_ = optarg;
        break;
      case kOptSerial:
        serialNumber_ = optarg;
        serialGiven_ = true;
        break;
      case kOptMac:
        macAddress_ = optarg;
        macGiven_ = true;
        break;
      case 'l':
        CFCTToolManager::instance()->printCases();
        finish();
        return;
      case 'p':
        PRINT("%s\n", listTtyDevices().c_str());
        finish();
        return;
      case 'h':
      default:
        PRINT("%s", kHelp);
        finish();
        return;
    }
  }
}

void CQelConsoleFctTool::finish() {
  done_ = true;
  g_keepRunning = false;
  CJYX::instance()->setFinished(true);
}

void CQelConsoleFctTool::run() {
  if (done_) return;
  CFCTToolManager* fct = CFCTToolManager::instance();
  if (!file_.empty()) {
    fct->setConfigFile(file_);
    fct->loadConfig();
  }
  if (!uart_.empty()) fct->setPort(uart_);
  // Checked before the UART opens, so that a typing error ends the run
  // before any command reaches the board.
  if (serialGiven_ && !fct::isValidSerialNumber(serialNumber_)) {
    PRINT("SN (%s) must be non-empty text without ',', '\"', '/' or control characters.\n",
          serialNumber_.c_str());
    finishFailed();
    return;
  }
  if (macGiven_ && !fct::isValidMac(macAddress_)) {
    PRINT("GBE MAC is wrong.\n");
    finishFailed();
    return;
  }
  fct->setSerialNumber(serialNumber_);
  fct->setMacAddress(macAddress_);
  fct->openUart();
  if (!fct->isUartOpen()) {
    finish();
    return;
  }
  if (case_ == "all" && serialGiven_) {
    runRecordedList();
    return;
  }
  fct->setRunning(true);
  fct->setCommandIndex(0);
  if (case_ != "all") {
    fct->setCaseIndex(fct->findCase(case_));
    std::string name = case_;
    fct->testCase([this, name](const char* result) {
      PRINT("case %s %s\n", name.c_str(), result);
      finish();
    });
    return;
  }
  fct->setCaseIndex(0);
  fct->testAll([this](const char* result) {
    PRINT("test all cases: %s\n", result);
    finish();
  });
}

void CQelConsoleFctTool::runRecordedList() {
  bool started = CFCTToolManager::instance()->startFullRun([this](const char* result) {
    PRINT("test all cases: %s\n", result);
    finish();
  });
  if (!started) finishFailed();
}

void CQelConsoleFctTool::finishFailed() {
  if (case_ == "all") {
    PRINT("test all cases: %s\n", fct::kFail);
  } else {
    PRINT("case %s %s\n", case_.c_str(), fct::kFail);
  }
  finish();
}
