#include "main/qel_console_jyx.h"

#include <getopt.h>
#include <glob.h>

#include <cstdio>
#include <cstring>

#include "common/api_manager.h"
#include "common/number_text.h"
#include "common/string_format.h"
#include "jyx/device/spi_image.h"
#include "jyx/jyx.h"
#include "jyx/maintenance/esp_parser.h"
#include "jyx/maintenance/ftdi_serial_port.h"
#include "jyx/maintenance/serial_manager.h"
#include "jyx/power/power_manager.h"
#include "main/power_report.h"

double g_lastDisplay = 0;
int g_loopCount = 0;

namespace {

// getopt values of the options without a short form.
constexpr int kExitCodeOption = 1000;
constexpr int kPowerReportOption = 1001;
constexpr int kChangedOnlyOption = 1002;
constexpr int kServeOption = 1003;
constexpr int kNoServerOption = 1004;

const char kShortOptions[] =
    "a:c:d:ehi:lm:o:p:r:s:u:vw:xyz0:1:2345:6789ABC:D:E:F:GHIJKM:N:OQRSTUVWX:YZ";

const option kLongOptions[] = {
    {"version", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, 'h'},
    {"list", no_argument, nullptr, 'l'},
    {"cmd", required_argument, nullptr, 'c'},
    {"param", required_argument, nullptr, 'p'},
    {"evb", no_argument, nullptr, 'e'},
    {"ip", required_argument, nullptr, 'a'},
    {"uart", required_argument, nullptr, 'u'},
    {"image", required_argument, nullptr, 'i'},
    {"monitor", required_argument, nullptr, 'm'},
    {"duration", required_argument, nullptr, 'd'},
    {"log", no_argument, nullptr, '9'},
    {"loop", no_argument, nullptr, '8'},
    {"update", no_argument, nullptr, '7'},
    {"reset", no_argument, nullptr, '6'},
    {"retry", required_argument, nullptr, '5'},
    {"shown", no_argument, nullptr, '4'},
    {"postcode", no_argument, nullptr, '3'},
    {"slave", no_argument, nullptr, '2'},
    {"logfilter", required_argument, nullptr, '1'},
    {"len", required_argument, nullptr, '0'},
    {"checkspi", no_argument, nullptr, 'Y'},
    {"getio", required_argument, nullptr, 'M'},
    {"setio", required_argument, nullptr, 'N'},
    {"string", required_argument, nullptr, 's'},
    {"power-on", no_argument, nullptr, 'U'},
    {"power-off", no_argument, nullptr, 'V'},
    {"power-reset", no_argument, nullptr, 'W'},
    {"power-wakeup", no_argument, nullptr, 'H'},
    {"enter-fastboot", no_argument, nullptr, 'J'},
    {"exit-fastboot", no_argument, nullptr, 'K'},
    {"switch-uart", required_argument, nullptr, 'X'},
    {"disable-uart", no_argument, nullptr, 'Z'},
    {"enable-update-firmware", no_argument, nullptr, 'S'},
    {"enable-jtag", no_argument, nullptr, 'T'},
    {"disable-jtag", no_argument, nullptr, 'Q'},
    {"enable-scan", no_argument, nullptr, 'R'},
    {"old-jyx", no_argument, nullptr, 'O'},
    {"security-6M", no_argument, nullptr, 'I'},
    {"security-8M", no_argument, nullptr, 'A'},
    {"security-16M", no_argument, nullptr, 'B'},
    {"main-firmware", required_argument, nullptr, 'C'},
    {"slave-firmware", required_argument, nullptr, 'D'},
    {"esp-offset", required_argument, nullptr, 'E'},
    {"binary-width", required_argument, nullptr, 'F'},
    {"usb-uart", no_argument, nullptr, 'G'},
    {"write-spi-register", required_argument, nullptr, 'w'},
    {"read-spi-register", no_argument, nullptr, 'y'},
    {"unlock-spi", no_argument, nullptr, 'z'},
    {"exit-code", no_argument, nullptr, kExitCodeOption},
    {"power-report", required_argument, nullptr, kPowerReportOption},
    {"changed-only", no_argument, nullptr, kChangedOnlyOption},
    {"serve", no_argument, nullptr, kServeOption},
    {"no-server", no_argument, nullptr, kNoServerOption},
    {nullptr, 0, nullptr, 0},
};

// Line-length limits of the serial manager's line parser: short replies
// while scanning (-Z), whole console logs over a tty (-G).
constexpr int32_t kScanLineLimit = 64;
constexpr int32_t kTtyLineLimit = 10000;

// Bounds of the checked options. More passes than this only delay the
// verdict on a controller that refuses every one of them.
constexpr uint64_t kMaxRetryLimit = 100;
// A read can reach at most the 4 GiB flash address space and its length at
// most the largest flash the controller can describe.
constexpr uint64_t kMaxFlashAddress = 0xFFFFFFFFull;
constexpr uint64_t kMaxReadLength = kSPIMaxImageSize;
// -X: the four log UARTs, or 0xffffffff (-1 in the signed field) for
// forwarding off.
constexpr uint64_t kUartOffSelector = 0xFFFFFFFFull;
constexpr uint64_t kMaxLogUart = 3;
// -w: bits 24-26 of the mask select status registers 1-3; bits 27-31 name
// no register.
constexpr uint32_t kRegisterMaskUnused = 0xF8000000u;

// Controller GPIO lines: the outputs --setio may drive, and the inputs
// --getio may read besides them.
constexpr uint64_t kFirstOutputGpio = 64;
constexpr uint64_t kLastOutputGpio = 79;
constexpr uint64_t kInputGpios[] = {14, 21, 22, 34, 35};

bool isOutputGpio(uint64_t n) { return n >= kFirstOutputGpio && n <= kLastOutputGpio; }
bool isReadableGpio(uint64_t n) {
  for (uint64_t input : kInputGpios) {
    if (n == input) return true;
  }
  return isOutputGpio(n);
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The help body, printed after the version line. Each option line is the
// option padded to column 40 and its description.
const char* const kHelpLines[][2] = {
    {"-v, --version", "show the version information"},
    {"-h, --help", "show the help information"},
    {"-l, --list", "list out the com table"},
    {"-c, --cmd", "jyx command"},
    {nullptr, "00: get sw version (main, slave)"},
    {nullptr, "01: get wifi ip address (main)"},
    {nullptr, "02: get ethernet ip address (main, default)"},
    {nullptr, "03: get ethernet MAC address (main)"},
    {nullptr, "04: get wifi MAC address (main)"},
    {nullptr, "05: get uart baud (main, slave)"},
    {nullptr, "19: firmware reset (main, slave)"},
    {nullptr, "20: set SSID (main)"},
    {nullptr, "21: set wifi password (main)"},
    {nullptr, "22: switch ethernet(0) and wifi(1) (main)"},
    {nullptr, "23: set uart baud (main, slave)"},
    {nullptr, "24: set jtag en IO level (slave)"},
    {nullptr, "25: set jtag swl IO level (slave)"},
    {"-p, --param", "jyx command parameter"},
    {"-a, --ip", "the ip address to connect. if absent, it will come from uart"},
    {"-u, --uart", "the serial port name (default is main, slave with --slave)"},
    {"-2, --slave", "use the slave mcu of JYX"},
    {"-i, --image", "the image file to flash into device"},
    {"-m, --monitor", "monitor the voltage, current, power"},
    {nullptr, "<config>: the config file of the power rails (yaml or json)"},
    {nullptr, "0x<mask>: the 96-bit mask of the rails, bit n enables rail n"},
    {"-d, --duraiton", "the seconds of monitoring, then save to the output file"},
    {"-3, --postcode", "get post code"},
    {"-N, --setio", "set gpio level"},
    {nullptr, "(the level comes from -p, 1 is high)"},
    {nullptr, "64: UART_SEL0      72: PWR_BTN"},
    {nullptr, "65: UART_SEL1      73: PWRGRP"},
    {nullptr, "66: SPI_PRG_EN     74: JTAG_SW_L"},
    {nullptr, "67: SPI_PRG_SEL    75: SOC_RESET1"},
    {nullptr, "68: PWR_OFF        76: POWER_BTN1"},
    {nullptr, "69: RTC_CLR        77: SOC_RESET2"},
    {nullptr, "70: EC_RST         78: POWER_BTN2"},
    {nullptr, "71: WARM_RST       79: JTAG_SW_F"},
    {"-M, --getio", "get gpio level"},
    {nullptr, "(the numbers of --setio and these)"},
    {nullptr, "34: SLP_S5         35: RSMRST"},
    {nullptr, "14: APU_RST        21: SLP_S3"},
    {nullptr, "22: SYS_PWRGD"},
    {"-r, --readspi", "read spi flash content from the offset position"},
    {"-0, --len", "the lenght of reading the spi flash content(default is 1)"},
    {"-o, --output", "the output file"},
    {"-s, --string", "send a string with '\\n' to the uart"},
    {"-U, --power-on", "power on for the target device"},
    {"-V, --power-off", "power off for the target device"},
    {"-W, --power-reset", "power reset for the target device"},
    {"-H, --power-wakeup", "power wakeup for the target device"},
    {"-J, --enter-fastboot", "enter fastboot mode for the target device"},
    {"-K, --exit-fastboot", "exit fastboot mode for the target device"},
    {"-X, --switch-uart",
     "switch and start uart log for the target device (0:UEFI, 1:SFH, "
     "2:CSU_PM, 3:CSU_SE)"},
    {"-Z, --disable-uart", "ask every serial port whether it is JYX"},
    {"-S, --enable-update-firmware", "enable update the firmware of JYX"},
    {"-C, --main-firmware", "flash the firmware of the main mcu of JYX"},
    {"-D, --slave-firmware", "flash the firmware of the slave mcu of JYX"},
    {"-E, --esp-offset", "the flash address of the mcu firmware"},
    {"-F, --binary-width", "the bytes per line of the firmware traffic dump(default is 16)"},
    {"-T, --enable-jtag", "enable jyx jtag"},
    {"-Q, --disable-jtag", "disable jyx jtag and enable other jtag"},
    {"-R, --enable-scan", "enable scan"},
    {"-O, --old-jyx", "adapter to the old jyx"},
    {"-G, --usb-uart", "use uart instead of ftdi"},
    {"-I, --security-6M", "the spi flash is 2M*3"},
    {"-A, --security-8M", "the spi flash is 2M*4"},
    {"-B, --security-16M", "the spi flash is 2M*8"},
    {"-w, --write-spi-register", "write the registers of SPI[0,1,2: value, 3:mask[1,2,4]]"},
    {"-y, --read-spi-register", "read the registers of SPI"},
    {"-z, --unlock-spi", "unlock spi to enable the writable feature of the flash device"},
    {"-x", "keep running after the work is done"},
    {"-e, --evb", "accepted for older scripts; no effect"},
    {"-4, --shown", "accepted for older scripts; no effect"},
    {"-9, --log", "(testing) show the console log of JYX"},
    {"-1, --logfilter", "(testing) only show the log lines with the keyword"},
    {"-5, --retry", "(testing) the retry count of flashing a spi block"},
    {"-8, --loop", "(testing) flash the image again and again"},
    {"-7, --update", "(testing) enable update the firmware of JYX"},
    {"-6, --reset", "(testing) reset JYX"},
    {"-Y, --checkspi", "(testing) check the spi flash content with the image"},
    {"--exit-code", "exit with 1 when the work fails and 2 when an option is refused"},
    {nullptr, "(without it the exit status is 0 after every run)"},
    {"--changed-only", "with -i: write only the sectors that differ, then check the image"},
    {"--power-report", "print the table of a saved power data file and write its csv and svg"},
    {"--serve", "with -a: run the bench server that shares the controller with other jyx runs"},
    {nullptr, "(socket: $XDG_RUNTIME_DIR/jyx/<address>.sock or /tmp/jyx-<uid>/<address>.sock)"},
    {"--no-server", "with -a: talk to the controller directly even when a server runs"},
};

const char kHelpExamples[] =
    "\n"
    "    examples:\n"
    "        get the ip address of JYX from the uart:\n" QEL_GREEN
    "            jyx -c 02 -u <serial port>\n" QEL_NORMAL
    "        set up the wifi of JYX:\n" QEL_GREEN
    "            jyx -c 20 -p <ssid>\n"
    "            jyx -c 21 -p <password>\n"
    "            jyx -c 22 -p 1\n"
    "            jyx -c 01\n" QEL_NORMAL "        flash the image:\n" QEL_GREEN
    "            jyx -i <image file> -a <ip address>\n"
    "            jyx -i <image file>\n" QEL_NORMAL "        monitor the power rails:\n" QEL_GREEN
    "            jyx -m <config file> -p <rails file> -a <ip address>\n"
    "            jyx -m 0x<mask> -d 60 -o <output file> -a <ip address>\n" QEL_NORMAL
    "        testing options:\n" QEL_GREEN
    "            jyx --log\n"
    "            jyx -i <image file> -a <ip address> --retry 3\n"
    "            jyx -i <image file> -a <ip address> --loop\n"
    "            jyx --update -u <device index>\n"
    "            jyx --reset -u <device index>\n"
    "            jyx -i <image file> -a <ip address> --checkspi\n"
    "            jyx -r 0x0 --len 0x1000 -o <output file> -a <ip address>\n"
    "            jyx --read-spi-register -a <ip address>\n" QEL_NORMAL "\n";

}  // namespace

const option* CQelConsoleJYX::longOptions() { return kLongOptions; }
const char* CQelConsoleJYX::shortOptions() { return kShortOptions; }

int32_t CQelConsoleJYX::ruleA(const char* text) { return spiParseNumber(text); }

int32_t CQelConsoleJYX::ruleB(const char* text) {
  return static_cast<int32_t>(static_cast<uint32_t>(parseNumberText(text)));
}

bool CQelConsoleJYX::parseOptionNumber(const char* text, uint64_t max, uint64_t* value) {
  if (text == nullptr || *text == '\0') return false;
  uint64_t base = 10;
  const char* p = text;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    base = 16;
    p += 2;
    if (*p == '\0') return false;
  }
  uint64_t n = 0;
  for (; *p != '\0'; ++p) {
    int digit = base == 16 ? hexDigit(*p) : (*p >= '0' && *p <= '9' ? *p - '0' : -1);
    if (digit < 0) return false;
    // Checked before the multiplication, so no text can wrap into range.
    if (n > (max - static_cast<uint64_t>(digit)) / base) return false;
    n = n * base + static_cast<uint64_t>(digit);
  }
  *value = n;
  return true;
}

int32_t CQelConsoleJYX::ruleC(const char* text) {
  uint32_t value = 0;
  for (const char* p = text; p != nullptr && *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + static_cast<uint32_t>(*p - '0');
  }
  return static_cast<int32_t>(value);
}

void CQelConsoleJYX::parseRailMask(const char* text, uint32_t mask[3]) {
  mask[0] = 1;
  mask[1] = 0;
  mask[2] = 0;
  if (text == nullptr) return;
  size_t length = strlen(text);
  // 24 hex digits fill the 96 bits; digits before those are ignored.
  constexpr size_t kMaxDigits = 24;
  size_t digit = 0;
  for (size_t i = length; i > 2 && digit < kMaxDigits; --i, ++digit) {
    int value = hexDigit(text[i - 1]);
    if (value < 0) break;
    mask[digit / 8] |= static_cast<uint32_t>(value) << (4 * (digit % 8));
  }
}

CQelConsoleJYX::CQelConsoleJYX(int argc, char** argv)
    : uart_(CJYXSerialManager::instance()->deviceName()) {
  // Looked for first: an option refused before --exit-code on the command
  // line must still give status 2.
  for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
    if (strcmp(argv[i], "--") == 0) break;
    if (strcmp(argv[i], "--exit-code") == 0) exitCode_ = true;
  }
  parse(argc, argv);
}

int CQelConsoleJYX::exitStatus() const {
  if (!exitCode_) return 0;
  switch (outcome_) {
    case Outcome::kFailed:
      return 1;
    case Outcome::kRefused:
      return 2;
    case Outcome::kOk:
      break;
  }
  return 0;
}

void CQelConsoleJYX::refuse(const char* option, const char* text, const char* why) {
  CAPIManager::instance()->print("%s %s: %s\n", option, text, why);
  outcome_ = Outcome::kRefused;
  finish();
}

bool CQelConsoleJYX::parseChecked(int c, const char* text) {
  uint64_t n = 0;
  switch (c) {
    case '5':
      if (!parseOptionNumber(text, kMaxRetryLimit, &n) || n < 1) {
        refuse("--retry", text, "give the number of flash passes, 1 to 100");
        return false;
      }
      retryLimit_ = static_cast<int64_t>(n);
      return true;
    case '0':
      // 0 stays accepted: the read flow itself answers it with its fail line.
      if (!parseOptionNumber(text, kMaxReadLength, &n)) {
        refuse("--len", text, "give a length of 0 to 0xffff000 bytes (decimal or 0x hex)");
        return false;
      }
      readLength_ = static_cast<int32_t>(n);
      return true;
    case 'r':
      if (!parseOptionNumber(text, kMaxFlashAddress, &n)) {
        refuse("-r", text, "give a flash offset of 0 to 0xffffffff (decimal or 0x hex)");
        return false;
      }
      // The signed field keeps the 32-bit pattern, as the flows read it.
      readOffset_ = static_cast<int32_t>(static_cast<uint32_t>(n));
      readSpi_ = true;
      return true;
    case 'w':
      if (!parseOptionNumber(text, 0xFFFFFFFFull, &n) ||
          (static_cast<uint32_t>(n) & kRegisterMaskUnused) != 0) {
        refuse("--write-spi-register", text,
               "give 0xMMV3V2V1 with mask MM of 0 to 7 (bit 0-2: registers 1-3)");
        return false;
      }
      spiRegisterOp_ = "spi-write-registers";
      spiRegisterValue_ = static_cast<int32_t>(static_cast<uint32_t>(n));
      return true;
    case 'N':
      if (!parseOptionNumber(text, 0xFFFF, &n) || !isOutputGpio(n)) {
        refuse("--setio", text, "give a controller output, 64 to 79");
        return false;
      }
      setIo_ = static_cast<int32_t>(n);
      return true;
    case 'M':
      if (!parseOptionNumber(text, 0xFFFF, &n) || !isReadableGpio(n)) {
        refuse("--getio", text, "give 64 to 79, 14, 21, 22, 34 or 35");
        return false;
      }
      getIo_ = static_cast<int32_t>(n);
      return true;
    case 'X':
      if (!parseOptionNumber(text, kUartOffSelector, &n) ||
          (n > kMaxLogUart && n != kUartOffSelector)) {
        refuse("--switch-uart", text,
               "give 0 to 3 (UEFI, SFH, CSU_PM, CSU_SE) or 0xffffffff (off)");
        return false;
      }
      switchUart_ = n == kUartOffSelector ? -1 : static_cast<int32_t>(n);
      return true;
    default:
      return true;
  }
}

bool CQelConsoleJYX::checkCombined() {
  if (changedOnly_ && (image_.empty() || checkSpi_)) {
    refuse("--changed-only", image_.empty() ? "without -i" : "with --checkspi",
           "give it with -i <image> to flash only the sectors that differ");
    return false;
  }
  if (changedOnly_ && !flashType_.empty()) {
    refuse("--changed-only", flashType_.c_str(),
           "a security layout erases its copies when programming starts; flash the whole image");
    return false;
  }
  if (readSpi_ && readLength_ > 0 &&
      static_cast<uint64_t>(static_cast<uint32_t>(readOffset_)) + readLength_ >
          kMaxFlashAddress + 1) {
    std::string range =
        jyx::stringFormat("0x%x + %d", static_cast<uint32_t>(readOffset_), readLength_);
    refuse("-r", range.c_str(), "the range ends beyond the 4 GiB flash address space");
    return false;
  }
  return true;
}

void CQelConsoleJYX::parse(int argc, char** argv) {
  // getopt keeps its state in globals; 0 makes GNU getopt start afresh, so
  // a console can be built more than once in a process.
  optind = 0;
  opterr = 0;  // unlisted options print the help instead
  CJYX* jyx = CJYX::instance();
  CAPIManager* api = CAPIManager::instance();
  while (true) {
    int c = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr);
    if (c == -1) break;
    switch (c) {
      case 'v':
        api->print("%s\n", jyx->version().c_str());
        finish();
        return;
      case 'l':
        list_ = true;
        break;
      case 'c':
        command_ = optarg;
        break;
      case 'p':
        param_ = optarg;
        break;
      case 'e':
        break;
      case 'a':
        address_ = optarg;
        break;
      case 'u':
        uart_ = optarg;
        break;
      case 'i':
        image_ = optarg;
        break;
      case 'm':
        monitor_ = true;
        g_keepRunning = true;
        if (strncmp(optarg, "0x", 2) == 0) {
          parseRailMask(optarg, monitorMask_);
          monitorMaskSet_ = true;
        } else {
          // A later configuration file overrides an earlier command-line mask.
          monitorConfig_ = optarg;
          monitorMaskSet_ = false;
        }
        break;
      case 'd':
        duration_ = ruleB(optarg);
        break;
      case '9':
        showLog_ = true;
        CJYXSerialManager::instance()->setShowLog(true);
        break;
      case '8':
        loop_ = true;
        break;
      case '7':
      case '6':
      case 'S':
      case 'T':
      case 'Q':
      case 'R':
        ftdiAction(c);
        return;
      case '5':
      case '0':
      case 'M':
      case 'N':
      case 'X':
      case 'w':
      case 'r':
        if (!parseChecked(c, optarg)) return;
        break;
      case '4':
        break;
      case '3':
        postcode_ = true;
        break;
      case '2':
        slave_ = true;
        break;
      case '1':
        logFilter_ = optarg;
        CJYXSerialManager::instance()->setLogKeyword(logFilter_);
        break;
      case 'Y':
        checkSpi_ = true;
        break;
      case 's':
        sendText_ = optarg;
        break;
      case 'U':
        powerAction_ = 1;
        break;
      case 'V':
        powerAction_ = 2;
        break;
      case 'W':
        powerAction_ = 3;
        break;
      case 'H':
        powerAction_ = 4;
        break;
      case 'J':
        powerAction_ = 5;
        break;
      case 'K':
        powerAction_ = 6;
        break;
      case 'Z':
        serialLineLimit_ = kScanLineLimit;
        scanUart_ = true;
        CJYXSerialManager::instance()->rebuildChannel(serialLineLimit_);
        break;
      case 'O':
        oldJyx_ = true;
        CJYXSerialManager::instance()->setMainInterface(1);
        break;
      case 'I':
        flashType_ = "2M*3";
        break;
      case 'A':
        flashType_ = "2M*4";
        break;
      case 'B':
        flashType_ = "2M*8";
        break;
      case 'C':
        firmware_ = true;
        mainFirmware_ = optarg;
        CJYXSerialManager::instance()->setMainFirmwareFile(mainFirmware_);
        break;
      case 'D':
        firmware_ = true;
        slaveFirmware_ = optarg;
        CJYXSerialManager::instance()->setSlaveFirmwareFile(slaveFirmware_);
        break;
      case 'E':
        espOffset_ = ruleB(optarg);
        break;
      case 'F':
        binaryWidth_ = ruleB(optarg);
        setEspDumpWidth(binaryWidth_);
        break;
      case 'G': {
        usbUart_ = true;
        serialLineLimit_ = kTtyLineLimit;
        CJYXSerialManager* serial = CJYXSerialManager::instance();
        serial->setUsbUart(true);
        serial->rebuildChannel(serialLineLimit_);
        break;
      }
      case 'y':
        spiRegisterOp_ = "spi-read-registers";
        break;
      case 'z':
        spiRegisterOp_ = "spi-unlock";
        break;
      case 'o':
        output_ = optarg;
        break;
      case 'x':
        g_keepRunning = true;
        break;
      case kExitCodeOption:
        exitCode_ = true;
        break;
      case kPowerReportOption:
        powerReport_ = optarg;
        break;
      case kChangedOnlyOption:
        changedOnly_ = true;
        break;
      case kServeOption:
        serve_ = true;
        break;
      case kNoServerOption:
        noServer_ = true;
        break;
      case 'h':
        printHelp();
        finish();
        return;
      default:
        // An option the table does not know: the help, as for -h, but the
        // run counts as refused.
        printHelp();
        outcome_ = Outcome::kRefused;
        finish();
        return;
    }
  }
  checkCombined();
}

void CQelConsoleJYX::ftdiAction(int option) {
  int num = ruleC(uart_.c_str());
  // run() has nothing left to do; the main loop runs until the action
  // reports, since some actions wait for the slave MCU's replies.
  done_ = true;
  auto finished = [this](bool ok) {
    if (ok) {
      finish();
    } else {
      fail();
    }
  };
  CFTDISerialPort::listDevices(false);
  switch (option) {
    case '7':
    case 'S':
      CFTDISerialPort::enableJYXFlash(num, finished);
      break;
    case '6':
      CFTDISerialPort::resetJYX(num, finished);
      break;
    case 'T':
      CFTDISerialPort::enableJTAG(num, finished);
      break;
    case 'Q':
      CFTDISerialPort::disableJTAG(num, finished);
      break;
    default:
      CFTDISerialPort::enableScan(num, finished);
      break;
  }
}

void CQelConsoleJYX::printHelp() {
  CAPIManager* api = CAPIManager::instance();
  std::string text = "    " + CJYX::instance()->version() + "\n";
  text += QEL_YELLOW "    --jyx <options ... >" QEL_NORMAL "\n\n    options:\n";
  // Descriptions start at column 40; sub-lines are indented to it.
  constexpr size_t kColumn = 40;
  for (const auto& line : kHelpLines) {
    std::string left = line[0] != nullptr ? std::string("        ") + line[0] : std::string();
    if (left.size() < kColumn) {
      left.append(kColumn - left.size(), ' ');
    } else {
      left += ' ';
    }
    text += left + line[1] + "\n";
  }
  text += kHelpExamples;
  api->print("%s", text.c_str());
}

void CQelConsoleJYX::finish() {
  done_ = true;
  g_keepRunning = false;
  CJYX::instance()->setFinished(true);
}

void CQelConsoleJYX::fail() {
  if (outcome_ == Outcome::kOk) outcome_ = Outcome::kFailed;
  finish();
}

void CQelConsoleJYX::markFinished() { CJYX::instance()->setFinished(true); }

void CQelConsoleJYX::markFailed() {
  if (outcome_ == Outcome::kOk) outcome_ = Outcome::kFailed;
  markFinished();
}

std::string CQelConsoleJYX::listTtyDevices() {
  std::string devices;
  glob_t found{};
  if (glob("/dev/ttyUSB*", 0, nullptr, &found) == 0) {
    for (size_t i = 0; i < found.gl_pathc; ++i) {
      if (!devices.empty()) devices += ' ';
      devices += found.gl_pathv[i];
    }
  }
  globfree(&found);
  return devices;
}

void CQelConsoleJYX::startFirmwareDownload() {
  CJYXSerialManager* serial = CJYXSerialManager::instance();
  serial->setDeviceName(uart_);
  bool slave = serial->mainFirmwareFile().empty();
  std::string file = slave ? serial->slaveFirmwareFile() : serial->mainFirmwareFile();
  if (file.empty()) {
    finish();
    return;
  }
  auto progress = [this, slave, file](int p) {
    CAPIManager* api = CAPIManager::instance();
    if (p < 0) {
      api->print(
          slave ? "\nFlash slave mcu firmware(%s) fail\n" : "\nFlash main mcu firmware(%s) fail\n",
          file.c_str());
      fail();
    } else if (p > 100) {
      api->print(
          slave ? "\nFlash slave mcu firmware(%s) OK\n" : "\nFlash main mcu firmware(%s) OK\n",
          file.c_str());
      finish();
    } else {
      progressBar(slave ? "slave mcu firmware:" : "main mcu firmware:", p);
    }
  };
  if (slave) {
    serial->flashSlaveFirmware(espOffset_, progress);
  } else {
    serial->flashMainFirmware(espOffset_, progress);
  }
}

void CQelConsoleJYX::run() {
  if (done_) return;
  CAPIManager* api = CAPIManager::instance();
  if (list_) {
    api->print("Device List: %s\n", CJYXSerialManager::instance()->deviceListText().c_str());
    finish();
    return;
  }
  if (firmware_) {
    startFirmwareDownload();
    return;
  }
  if (!powerReport_.empty()) {
    // A saved run needs no controller.
    if (runPowerReport(CJYXPowerManager::instance(), powerReport_)) {
      finish();
    } else {
      fail();
    }
    return;
  }
  if (address_.empty() && uart_.empty()) {
    api->print("one of ip and com must exist\n");
    printHelp();
    outcome_ = Outcome::kRefused;
    finish();
    return;
  }
  g_lastDisplay = api->time() + 99999.0;
  if (serve_) {
    serveFlow();
  } else if (scanUart_) {
    scan_uart_and_disable(listTtyDevices(), 0);
  } else if (!address_.empty()) {
    networkFlow();
  } else {
    serialCommandFlow();
  }
}

void CQelConsoleJYX::update() {
  if (monitor_) updateMonitor(CAPIManager::instance()->time());
}

void CQelConsoleJYX::stop() {
  stopMonitor();
  stopServer();
}
