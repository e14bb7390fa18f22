#include "main/qel_console_flash_tool.h"

#include <getopt.h>

#include "common/api_manager.h"
#include "fastboot/fastboot_manager.h"
#include "jyx/jyx.h"

namespace {

#define PRINT(...) CAPIManager::instance()->print(__VA_ARGS__)

// Long-only options lie outside the character range so they never clash
// with a short option.
enum { kOptIp = 256 };

const char kShortOptions[] = "hc:f:mabnp:d:os";
const option kLongOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"cmd", required_argument, nullptr, 'c'},
    {"file", required_argument, nullptr, 'f'},
    {"make-gpt", no_argument, nullptr, 'm'},
    {"all", no_argument, nullptr, 'a'},
    {"bootloader", no_argument, nullptr, 'b'},
    {"nvme", no_argument, nullptr, 'n'},
    {"partition", required_argument, nullptr, 'p'},
    {"dump", required_argument, nullptr, 'd'},
    {"oem", no_argument, nullptr, 'o'},
    {"block-size", no_argument, nullptr, 's'},
    {"ip", required_argument, nullptr, kOptIp},
    {nullptr, 0, nullptr, 0},
};

const char kHelp[] =
    "\x1b[1;33m    --flash-tool <options ... >\n"
    "\n"
    "\x1b[m    options:\n"
    "        -h, --help                     show the help information\n"
    "        -c, --cmd <cmd string>         fastboot command\n"
    "        -f, --file <config file>       the config file\n"
    "        -m, --make-gpt                 make gpt image and flash gpt\n"
    "        -a, --all                      flash all(flash-nor and nvme)\n"
    "        -b, --bootloader               flash the bootloader (flash-nor)\n"
    "        -n, --nvme                     flash nvme with the gpt\n"
    "        -d, --dump <gpt image>         dump the gpt image\n"
    "        -o, --oem                      check wether it is ddr mode\n"
    "        -s, --block-size               get the block size of the gpt image\n"
    "            --ip <address>             the controller's address for flash-nor (instead of\n"
    "                                       asking the controller over its USB console)\n"
    "\n";

}  // namespace

const char* CQelConsoleFlashTool::helpText() { return kHelp; }
const option* CQelConsoleFlashTool::longOptions() { return kLongOptions; }
const char* CQelConsoleFlashTool::shortOptions() { return kShortOptions; }

CQelConsoleFlashTool::CQelConsoleFlashTool(int argc, char** argv) { parse(argc, argv); }

void CQelConsoleFlashTool::parse(int argc, char** argv) {
  // getopt keeps its state in globals; 0 makes GNU getopt start afresh.
  optind = 0;
  opterr = 0;  // options not in the table are ignored
  while (true) {
    int c = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr);
    if (c == -1) break;
    switch (c) {
      case 'h':
        PRINT("%s", kHelp);
        help_ = true;
        finish();
        return;
      case 'c':
        cmd_ = optarg;
        break;
      case 'f':
        file_ = optarg;
        break;
      case 'm':
        mode_ = 3;
        break;
      case 'a':
        mode_ = 0;
        break;
      case 'b':
        mode_ = 1;
        break;
      case 'n':
        mode_ = 2;
        break;
      case 'p':
        partition_ = optarg;
        break;
      case 'd':
        dump_ = optarg;
        break;
      case 'o':
        oem_ = true;
        break;
      case 's':
        blockSize_ = true;
        break;
      case kOptIp:
        address_ = optarg;
        break;
      default:
        break;
    }
  }
}

void CQelConsoleFlashTool::finish() {
  g_keepRunning = false;
  CJYX::instance()->setFinished(true);
}

void CQelConsoleFlashTool::run() {
  if (help_) return;
  CFastbootManager* fb = CFastbootManager::instance();
  fb->setControllerAddress(address_);
  if (!dump_.empty()) {
    fb->dumpGPT(dump_, partition_);
    CAPIManager::instance()->startAsyncCall([this]() { finish(); }, 1.0);
    return;
  }
  if (blockSize_) {
    fb->fetchSectorSize([this](const char* size) {
      PRINT("the block size is: %s\n", size);
      finish();
    });
    return;
  }
  if (oem_) {
    fb->fetchBackdoorMode([this](bool ddr) {
      PRINT("backdoor mode: %s\n", ddr ? "ddr" : "nvme");
      finish();
    });
    return;
  }
  if (!cmd_.empty()) {
    fb->execute(cmd_, [this](bool) { finish(); });
    return;
  }
  if (!file_.empty()) {
    fb->setConfigFile(file_);
    fb->loadConfig();
  }
  auto done = [this](bool) { finish(); };
  switch (mode_) {
    case 1:
      fb->doFlashNor(done);
      break;
    case 2:
      fb->doFlashNVME(done);
      break;
    case 3:
      fb->makeGPT(done);
      break;
    default:
      fb->doFlashAll(done);
      break;
  }
}
